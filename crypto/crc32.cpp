#include "crypto/crc32.h"

#include <array>

#include "crypto/byte_order.h"

namespace kestrel {
namespace {

constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320u;

// Slicing-by-8: table k advances a byte through k further zero bytes, so eight
// input bytes are folded into the register with eight independent lookups.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables makeCrcTables() {
    CrcTables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) ? (c >> 1) ^ CRC_POLYNOMIAL : c >> 1;
        }
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        for (std::size_t k = 1; k < 8; ++k) {
            const uint32_t prev = t[k - 1][n];
            t[k][n] = t[0][prev & 0xFF] ^ (prev >> 8);
        }
    }
    return t;
}

static constexpr CrcTables CRC_TABLES = makeCrcTables();

} // namespace

uint32_t crc32(const uint8_t* data, std::size_t length) {
    const auto& t = CRC_TABLES;
    uint32_t crc = 0;
    while (length >= 8) {
        const uint32_t lo = crc ^ loadLe32(data);
        const uint32_t hi = loadLe32(data + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        length -= 8;
    }
    while (length-- > 0) {
        crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

} // namespace kestrel
