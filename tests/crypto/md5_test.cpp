#include "crypto/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/crypto/hex.h"

namespace kestrel {
namespace {

using test::patternBytes;
using test::toHex;

std::string digestHex(const uint8_t* data, std::size_t length) {
    Md5Context context;
    md5Init(context);
    md5Update(context, data, uint32_t(length));
    uint8_t digest[16];
    md5Final(digest, context);
    return toHex(digest, 16);
}

std::string digestHex(const std::string& s) {
    return digestHex(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(Md5, Rfc1321Suite) {
    EXPECT_EQ(digestHex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(digestHex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(digestHex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(digestHex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(digestHex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(digestHex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(digestHex("1234567890123456789012345678901234567890"
                        "1234567890123456789012345678901234567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

// The padding boundaries: at 55 bytes the 0x80 and the length share the last
// block, at 56 and 63 they need an extra block, at 64 a whole padding block.
TEST(Md5, PaddingBoundaries) {
    const struct {
        std::size_t length;
        const char* digest;
    } cases[] = {
        {55, "EF1772B6DFF9A122358552954AD0DF65"}, {56, "3B0C8AC703F828B04C6C197006D17218"},
        {63, "B06521F39153D618550606BE297466D5"}, {64, "014842D480B571495A4A0363793F7367"},
        {65, "C743A45E0D2E6A95CB859ADAE0248435"}, {127, "020406E1D05CDC2AA287641F7AE2CC39"},
        {128, "E510683B3F5FFE4093D021808BC6FF70"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digestHex(std::string(c.length, 'a')), c.digest) << c.length;
    }
}

TEST(Md5, SplitUpdatesEqualOneCall) {
    const auto message = patternBytes(1000, 21);
    const std::string whole = digestHex(message.data(), message.size());
    for (std::size_t piece : {1u, 7u, 63u, 64u, 65u, 128u, 129u, 999u}) {
        Md5Context context;
        md5Init(context);
        for (std::size_t at = 0; at < message.size(); at += piece) {
            md5Update(context, message.data() + at, uint32_t(std::min(piece, message.size() - at)));
        }
        md5Update(context, nullptr, 0);
        uint8_t digest[16];
        md5Final(digest, context);
        EXPECT_EQ(toHex(digest, 16), whole) << "pieces of " << piece;
    }
}

// The low count word wraps after 2^29 bytes; the carry must reach the high
// word, which ends up in the padding.
TEST(Md5, BitCountCarriesIntoHighWord) {
    Md5Context context;
    md5Init(context);
    context.bitCountLow = 0xFFFFFFF8u; // 63 bytes waiting, as after 2^29 - 1 bytes
    std::memset(context.block, 0, sizeof context.block);
    const uint8_t one = 'x';
    md5Update(context, &one, 1);
    EXPECT_EQ(context.bitCountLow, 0u);
    EXPECT_EQ(context.bitCountHigh, 1u);

    md5Init(context);
    std::vector<uint8_t> big(1u << 20);
    md5Update(context, big.data(), uint32_t(big.size()));
    EXPECT_EQ(context.bitCountLow, 8u << 20);
    EXPECT_EQ(context.bitCountHigh, 0u);
}

TEST(Md5, FinalClearsTheWholeContext) {
    Md5Context context;
    md5Init(context);
    md5Update(context, reinterpret_cast<const uint8_t*>("secret"), 6);
    uint8_t digest[16];
    md5Final(digest, context);
    const Md5Context zero{};
    EXPECT_EQ(0, std::memcmp(&context, &zero, sizeof context));
}

// The random pool calls the compression alone on its own words: it must
// touch exactly the four words it is given and not the block.
TEST(Md5, TransformChangesOnlyItsFourWords) {
    uint32_t words[6] = {0xDEADBEEF, 0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xCAFEF00D};
    // "abc" padded by hand: one block whose compression from the initial
    // words is the digest of "abc".
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[56] = 24;
    uint8_t blockCopy[64];
    std::memcpy(blockCopy, block, 64);
    md5Transform(words + 1, block);
    EXPECT_EQ(words[0], 0xDEADBEEFu);
    EXPECT_EQ(words[5], 0xCAFEF00Du);
    EXPECT_EQ(0, std::memcmp(block, blockCopy, 64));
    EXPECT_EQ(words[1], 0x98500190u); // 90 01 50 98 read least significant byte first
    EXPECT_EQ(words[4], 0x727FE128u);
}

} // namespace
} // namespace kestrel
