#include "setup/core/setup_layout.h"

#include <cstdlib>
#include <cstring>

namespace {

std::uint8_t component(std::uint8_t start, std::uint8_t end, int bandHeight, int band, int screenHeight) {
    long long step = (static_cast<long long>(end) - start) * bandHeight * band / screenHeight;
    return static_cast<std::uint8_t>((start + step) & 0xFF);
}

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

bool knownDepth(std::uint16_t bits) {
    return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

} // namespace

int gradientBandHeight(int screenHeight) { return screenHeight > 0 ? screenHeight / GRADIENT_BAND_DIVISOR : 0; }

int gradientBandCount(int screenHeight) {
    int h = gradientBandHeight(screenHeight);
    if (h == 0)
        return 0;
    int fitting = screenHeight / h;
    return fitting < GRADIENT_BANDS ? fitting : GRADIENT_BANDS;
}

Colour gradientBandColour(Colour top, Colour bottom, int band, int screenHeight) {
    int h = gradientBandHeight(screenHeight);
    if (h == 0)
        return top;
    return {component(top.red, bottom.red, h, band, screenHeight),
            component(top.green, bottom.green, h, band, screenHeight),
            component(top.blue, bottom.blue, h, band, screenHeight)};
}

std::string appManagerCommandLine(const std::string& programPath, const std::string& folder,
                                  const std::string& applicationName) {
    std::string line = programPath + " \"" + folder;
    if (folder.empty() || folder.back() != '\\')
        line += '\\';
    return line + applicationName + ".ini\"";
}

BitmapStatus parseBitmapFile(const std::uint8_t* file, std::size_t size, BitmapLayout& layout) {
    const std::size_t headers = BITMAP_FILE_HEADER_BYTES + BITMAP_INFO_HEADER_BYTES;
    if (size < headers)
        return BitmapStatus::TOO_SHORT;
    if (file[0] != 'B' || file[1] != 'M' || size > MAX_SPLASH_FILE_BYTES)
        return BitmapStatus::NOT_A_BITMAP;
    const std::uint8_t* info = file + BITMAP_FILE_HEADER_BYTES;
    if (le32(info) != BITMAP_INFO_HEADER_BYTES)
        return BitmapStatus::OTHER_HEADER;
    if (le32(info + 16) != 0)
        return BitmapStatus::COMPRESSED;
    BitmapLayout found{};
    found.width = static_cast<std::int32_t>(le32(info + 4));
    found.height = static_cast<std::int32_t>(le32(info + 8));
    found.bitsPerPixel = le16(info + 14);
    if (le16(info + 12) != 1 || !knownDepth(found.bitsPerPixel))
        return BitmapStatus::BAD_FORMAT;
    if (found.width <= 0 || found.width > MAX_SPLASH_SIDE || found.height == 0 || found.height > MAX_SPLASH_SIDE ||
        found.height < -MAX_SPLASH_SIDE)
        return BitmapStatus::BAD_SIZE;
    found.colourTableOffset = headers;
    std::uint32_t coloursUsed = le32(info + 32);
    if (found.bitsPerPixel <= 8) {
        std::uint32_t colours = 1u << found.bitsPerPixel;
        if (coloursUsed > colours)
            return BitmapStatus::BAD_FORMAT;
        found.colourTableBytes = 4u * (coloursUsed != 0 ? coloursUsed : colours);
    }
    found.pixelOffset = le32(file + 10);
    std::size_t stride = (static_cast<std::size_t>(found.width) * found.bitsPerPixel + 31) / 32 * 4;
    found.pixelBytes = stride * static_cast<std::size_t>(std::abs(found.height));
    if (found.pixelOffset < headers + found.colourTableBytes || found.pixelOffset > size ||
        size - found.pixelOffset < found.pixelBytes)
        return BitmapStatus::TRUNCATED;
    layout = found;
    return BitmapStatus::OK;
}

std::vector<std::uint32_t> platformBitmapInfo(const std::uint8_t* file, const BitmapLayout& layout) {
    constexpr std::size_t COLOURS_USED_AT = 32;
    std::vector<std::uint32_t> info((BITMAP_INFO_HEADER_BYTES + layout.colourTableBytes + 3) / 4);
    auto* bytes = reinterpret_cast<std::uint8_t*>(info.data());
    std::memcpy(bytes, file + BITMAP_FILE_HEADER_BYTES, BITMAP_INFO_HEADER_BYTES);
    std::memcpy(bytes + BITMAP_INFO_HEADER_BYTES, file + layout.colourTableOffset, layout.colourTableBytes);
    if (layout.colourTableBytes == 0)
        std::memset(bytes + COLOURS_USED_AT, 0, 4);
    return info;
}
