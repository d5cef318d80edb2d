#include "crypto/crc32.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/crypto/hex.h"

namespace kestrel {
namespace {

uint32_t crcOf(const std::string& s) {
    return crc32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// The definition itself, one bit at a time: the slicing code must agree
// with it at every length and alignment.
uint32_t bitwiseCrc(const uint8_t* data, std::size_t length) {
    uint32_t r = 0;
    for (std::size_t i = 0; i < length; ++i) {
        r ^= data[i];
        for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return r;
}

TEST(Crc32, KnownValuesWithZeroStartAndNoInversion) {
    EXPECT_EQ(crc32(nullptr, 0), 0u);
    EXPECT_EQ(crcOf("a"), 0x3AB551CEu);
    EXPECT_EQ(crcOf("abc"), 0xCA6598D0u);
    EXPECT_EQ(crcOf("The quick brown fox jumps over the lazy dog"), 0xB9C60808u);
    EXPECT_NE(crcOf("abc"), 0x352441C2u) << "that is the inverted (zlib) CRC";
}

TEST(Crc32, EveryLengthAndAlignmentMatchesTheDefinition) {
    const auto data = test::patternBytes(200, 31);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; offset + length <= data.size(); length += (length < 40 ? 1 : 13)) {
            ASSERT_EQ(crc32(data.data() + offset, length), bitwiseCrc(data.data() + offset, length))
                << "offset " << offset << " length " << length;
        }
    }
}

} // namespace
} // namespace kestrel
