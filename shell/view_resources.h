// What the layout makes for the painting: the paint line buffer and the
// cursor block. Private to the view's files.
#pragma once

#include <windows.h>

#include <vector>

namespace kestrel {

struct ViewResources {
    std::vector<wchar_t> paintLine;
    HDC cursorDc = nullptr;
    HBITMAP cursorBitmap = nullptr;
    HBITMAP previousCursorBitmap = nullptr;
};

ViewResources& viewResources();

}  // namespace kestrel
