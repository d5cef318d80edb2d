// setup.bmp as the wizard reads it. An accepted file's colour table and
// pixels lie inside the file and do not overlap, and its size is a picture's;
// the fuzzer reads every byte the layout names, so that the sanitizer sees
// any range that leaves the buffer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "setup/core/setup_layout.h"

namespace {

void fail(int line) {
    std::fprintf(stderr, "splash_bitmap_fuzzer: check at line %d failed\n", line);
    std::abort();
}

#define check(condition) ((condition) ? (void)0 : fail(__LINE__))

unsigned touch(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i)
        sum += bytes[i];
    return sum;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy: the sanitizer then catches a read one byte past it.
    std::vector<std::uint8_t> file(data, data + size);
    BitmapLayout layout{};
    if (parseBitmapFile(file.data(), file.size(), layout) != BitmapStatus::OK)
        return 0;
    check(layout.width > 0 && layout.width <= MAX_SPLASH_SIDE);
    check(layout.height != 0 && layout.height >= -MAX_SPLASH_SIDE && layout.height <= MAX_SPLASH_SIDE);
    check(layout.colourTableOffset == BITMAP_FILE_HEADER_BYTES + BITMAP_INFO_HEADER_BYTES);
    check(layout.colourTableBytes <= file.size() - layout.colourTableOffset);
    check(layout.pixelOffset >= layout.colourTableOffset + layout.colourTableBytes);
    check(layout.pixelOffset <= file.size() && layout.pixelBytes <= file.size() - layout.pixelOffset);
    // A row is the picture's width at its depth, padded to four bytes.
    std::size_t rowBits = static_cast<std::size_t>(layout.width) * layout.bitsPerPixel;
    check(layout.pixelBytes % 4 == 0 && layout.pixelBytes * 8 >= rowBits);
    volatile unsigned sink = touch(file.data() + layout.colourTableOffset, layout.colourTableBytes) +
                             touch(file.data() + layout.pixelOffset, layout.pixelBytes);
    (void)sink;
    return 0;
}
