// Geometry and byte layouts of the setup wizard that need no window system:
// the background gradient's bands, the Application Manager's command line and
// the splash picture's file layout.
#pragma once

#include "setup/core/setup_text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int GRADIENT_BANDS = 255;
constexpr int GRADIENT_BAND_DIVISOR = 200;

// Band height for a screen height; 0 means no band is painted.
int gradientBandHeight(int screenHeight);
// Number of whole bands that fit the screen.
int gradientBandCount(int screenHeight);
Colour gradientBandColour(Colour top, Colour bottom, int band, int screenHeight);

// programPath "folder\file.ini" in double quotes, with no doubled backslash
// when the folder is a drive root.
std::string appManagerCommandLine(const std::string& programPath, const std::string& folder,
                                  const std::string& applicationName);

constexpr std::size_t BITMAP_FILE_HEADER_BYTES = 14;
constexpr std::size_t BITMAP_INFO_HEADER_BYTES = 40;
// A splash picture wider or higher than any screen is a damaged file.
constexpr std::int32_t MAX_SPLASH_SIDE = 8192;
// Several full screens of true colour; reading more is never needed.
constexpr std::size_t MAX_SPLASH_FILE_BYTES = 64u * 1024u * 1024u;

enum class BitmapStatus { OK, TOO_SHORT, NOT_A_BITMAP, OTHER_HEADER, COMPRESSED, BAD_FORMAT, BAD_SIZE, TRUNCATED };

// Where the parts of an uncompressed bitmap file lie; offsets into the file.
struct BitmapLayout {
    std::int32_t width;
    std::int32_t height;
    std::uint16_t bitsPerPixel;
    std::size_t colourTableOffset;
    std::size_t colourTableBytes;
    std::size_t pixelOffset;
    std::size_t pixelBytes;
};

BitmapStatus parseBitmapFile(const std::uint8_t* file, std::size_t size, BitmapLayout& layout);

// The information header and colour table handed to the platform, as 32-bit
// words (the platform's structure needs their alignment). Its colour-used
// count never asks for more entries than follow it: at 16, 24 and 32 bits
// per pixel the file's optional table only suggests a palette, and the count
// is set to 0 so that none is read.
std::vector<std::uint32_t> platformBitmapInfo(const std::uint8_t* file, const BitmapLayout& layout);
