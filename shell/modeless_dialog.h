// The Font and Terminal Settings dialogs: modeless, one copy at a time, OK
// applies and closes, Cancel closes.
#pragma once

#include <windows.h>

namespace kestrel {

struct ModelessDialog {
    int templateId;
    void (*initialise)(HWND dialog);
    void (*accept)(HWND dialog);
    HWND window = nullptr;
};

// Opens the dialog, or brings forward the copy already open: a second copy
// would later apply and save the values it showed when it opened over the
// newer choice.
void openModelessDialog(ModelessDialog& dialog);

} // namespace kestrel
