#include "crypto/blowfish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "crypto/byte_order.h"
#include "tests/crypto/hex.h"

namespace kestrel {
namespace {

using test::fromHex;
using test::patternBytes;
using test::toHex;

struct BlowfishVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// The published ECB test set (8-byte keys), in the published byte order.
const BlowfishVector BLOWFISH_VECTORS[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

// The state is 4 KiB; keep it off the test's stack.
std::unique_ptr<BlowfishState> keyed(const std::vector<uint8_t>& key) {
    auto s = std::make_unique<BlowfishState>();
    std::memset(s.get(), 0, sizeof *s);
    blowfishSetKey(*s, key.data(), uint16_t(key.size()));
    return s;
}

std::vector<uint8_t> reverseEachWord(std::vector<uint8_t> v) {
    for (std::size_t i = 0; i + 4 <= v.size(); i += 4) {
        std::swap(v[i], v[i + 3]);
        std::swap(v[i + 1], v[i + 2]);
    }
    return v;
}

TEST(Blowfish, BlockFunctionMatchesPublishedVectors) {
    for (const auto& v : BLOWFISH_VECTORS) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        const auto s = keyed(fromHex(v.key));
        const auto plain = fromHex(v.plain);
        uint32_t left = loadBe32(plain.data());
        uint32_t right = loadBe32(plain.data() + 4);
        blowfishEncryptBlock(*s, left, right);
        uint8_t out[8];
        storeBe32(out, left);
        storeBe32(out + 4, right);
        EXPECT_EQ(toHex(out, 8), v.cipher);
        blowfishDecryptBlock(*s, left, right);
        EXPECT_EQ(left, loadBe32(plain.data()));
        EXPECT_EQ(right, loadBe32(plain.data() + 4));
    }
}

// The protocol reads each half least significant byte first: the published
// results appear only with every 4-byte group reversed on the way in and out.
TEST(Blowfish, CbcUsesProtocolByteOrder) {
    for (const auto& v : BLOWFISH_VECTORS) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        auto s = keyed(fromHex(v.key));
        auto block = reverseEachWord(fromHex(v.plain));
        blowfishCbcEncrypt(*s, block.data(), block.data(), 8);
        EXPECT_EQ(toHex(reverseEachWord(block)), v.cipher);

        auto direct = keyed(fromHex(v.key));
        auto unreversed = fromHex(v.plain);
        blowfishCbcEncrypt(*direct, unreversed.data(), unreversed.data(), 8);
        EXPECT_NE(toHex(unreversed), v.cipher);
    }
}

// P words take the key cyclically across word boundaries, so a key and the
// same key repeated out to the 72 bytes the P-array consumes are one key.
TEST(Blowfish, KeyIsUsedCyclically) {
    for (std::size_t length : {1u, 3u, 5u, 7u, 32u, 56u}) {
        SCOPED_TRACE(length);
        const auto key = patternBytes(length, uint32_t(length));
        std::vector<uint8_t> stretched(72);
        for (std::size_t i = 0; i < stretched.size(); ++i) stretched[i] = key[i % length];
        const auto a = keyed(key);
        const auto b = keyed(stretched);
        EXPECT_EQ(0, std::memcmp(a.get(), b.get(), sizeof *a));
    }
    // And a key is not mistaken for its own prefix.
    const auto three = keyed({1, 2, 3});
    const auto four = keyed({1, 2, 3, 4});
    EXPECT_NE(0, std::memcmp(three->parray, four->parray, sizeof three->parray));
}

// An empty key must not divide by zero; it leaves the P-array as published,
// exactly as a key of zero bytes does.
TEST(Blowfish, EmptyKeyActsAsZeroKey) {
    const uint8_t none = 0;
    auto empty = std::make_unique<BlowfishState>();
    blowfishSetKey(*empty, &none, 0);
    const auto zero = keyed({0});
    EXPECT_EQ(0, std::memcmp(empty.get(), zero.get(), sizeof *zero));
}

TEST(Blowfish, CbcStreamRoundTripsInPlaceAndContinuesChain) {
    const auto key = patternBytes(32, 11);
    auto sender = keyed(key);
    auto receiver = keyed(key);
    auto separate = keyed(key);
    const auto plain = patternBytes(56, 12);
    std::vector<uint8_t> previous;
    for (int packet = 0; packet < 5; ++packet) {
        auto wire = plain;
        blowfishCbcEncrypt(*sender, wire.data(), wire.data(), wire.size());
        std::vector<uint8_t> copy(plain.size());
        blowfishCbcEncrypt(*separate, copy.data(), plain.data(), plain.size());
        EXPECT_EQ(wire, copy) << "in place must equal separate buffers";
        EXPECT_NE(wire, previous) << "chain must continue, packet " << packet;
        EXPECT_EQ(0, std::memcmp(sender->iv, wire.data() + wire.size() - 8, 8));
        previous = wire;
        blowfishCbcDecrypt(*receiver, wire.data(), wire.data(), wire.size());
        EXPECT_EQ(wire, plain) << "packet " << packet;
    }
    uint8_t ivBefore[8];
    std::memcpy(ivBefore, sender->iv, 8);
    uint8_t untouched[8] = {5, 5, 5, 5, 5, 5, 5, 5};
    blowfishCbcEncrypt(*sender, untouched, untouched, 0);
    blowfishCbcDecrypt(*sender, untouched, untouched, 0);
    EXPECT_EQ(0, std::memcmp(ivBefore, sender->iv, 8));
    EXPECT_EQ(untouched[7], 5);
}

} // namespace
} // namespace kestrel
