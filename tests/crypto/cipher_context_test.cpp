#include "crypto/cipher_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "tests/crypto/hex.h"

namespace kestrel {
namespace {

using test::patternBytes;

// Contexts are large; the program keeps two static ones, tests use the heap.
std::unique_ptr<CipherContext> freshContext() {
    auto c = std::make_unique<CipherContext>();
    std::memset(c.get(), 0xA5, sizeof *c); // keying must not depend on prior contents
    return c;
}

DesKeySchedule scheduleOf(const std::vector<uint8_t>& bytes8) {
    DesKeySchedule s;
    desSetKey(bytes8.data(), s);
    return s;
}

bool sameSchedule(const DesKeySchedule& a, const DesKeySchedule& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::vector<uint8_t> padded(const std::vector<uint8_t>& key, std::size_t from) {
    std::vector<uint8_t> out(8, 0);
    for (std::size_t i = 0; i < 8 && from + i < key.size(); ++i) out[i] = key[from + i];
    return out;
}

TEST(CipherContext, TripleDesKeyLengthRules) {
    for (std::size_t length : {0u, 5u, 8u, 12u, 16u, 17u, 24u, 32u}) {
        SCOPED_TRACE(length);
        const auto key = patternBytes(length, uint32_t(length) + 100);
        auto c = freshContext();
        cipherKeyTripleDes(*c, key.data(), key.size());
        EXPECT_EQ(c->type, CIPHER_TRIPLE_DES);
        const auto& s = c->state.tripleDes;
        EXPECT_TRUE(sameSchedule(s.schedule1, scheduleOf(padded(key, 0))));
        EXPECT_TRUE(sameSchedule(s.schedule2, scheduleOf(padded(key, 8))));
        const std::size_t third = length > 16 ? 16 : 0;
        EXPECT_TRUE(sameSchedule(s.schedule3, scheduleOf(padded(key, third))));
        const uint8_t zero[8] = {};
        EXPECT_EQ(0, std::memcmp(s.iv1, zero, 8));
        EXPECT_EQ(0, std::memcmp(s.iv2, zero, 8));
        EXPECT_EQ(0, std::memcmp(s.iv3, zero, 8));
    }
}

TEST(CipherContext, KeyBytesPastTheUsedOnesPlayNoPart) {
    const auto long40 = patternBytes(40, 1);
    auto a = freshContext();
    auto b = freshContext();
    auto c = freshContext();
    cipherKeyTripleDes(*a, long40.data(), 40);
    cipherKeyTripleDes(*b, long40.data(), 32);
    cipherKeyTripleDes(*c, long40.data(), 24);
    EXPECT_EQ(0, std::memcmp(a.get(), b.get(), sizeof *a));
    EXPECT_EQ(0, std::memcmp(a.get(), c.get(), sizeof *a));

    // Blowfish uses every byte up to 72, and nothing beyond.
    const auto long100 = patternBytes(100, 2);
    cipherKeyBlowfish(*a, long100.data(), 100);
    cipherKeyBlowfish(*b, long100.data(), 72);
    cipherKeyBlowfish(*c, long100.data(), 71);
    EXPECT_EQ(0, std::memcmp(a.get(), b.get(), sizeof *a));
    EXPECT_NE(0, std::memcmp(a.get(), c.get(), sizeof *a));

    // A length past 16 bits must not wrap to a short key.
    std::vector<uint8_t> huge(65536 + 3);
    for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = uint8_t(i % 72);
    cipherKeyBlowfish(*c, huge.data(), huge.size());
    cipherKeyBlowfish(*b, huge.data(), 72);
    EXPECT_EQ(0, std::memcmp(b.get(), c.get(), sizeof *b));
}

TEST(CipherContext, BlowfishKeyingClearsAndRecordsType) {
    const auto key = patternBytes(32, 3);
    auto c = freshContext();
    cipherKeyBlowfish(*c, key.data(), key.size());
    EXPECT_EQ(c->type, CIPHER_BLOWFISH);
    const uint8_t zero[8] = {};
    EXPECT_EQ(0, std::memcmp(c->state.blowfish.iv, zero, 8));
    BlowfishState direct{};
    blowfishSetKey(direct, key.data(), uint16_t(key.size()));
    EXPECT_EQ(0, std::memcmp(&direct, &c->state.blowfish, sizeof direct));
}

// Re-keying for a new session returns every chain to zero.
TEST(CipherContext, RekeyingRestartsChains) {
    const auto key = patternBytes(32, 4);
    const auto plain = patternBytes(32, 5);
    for (bool blowfish : {false, true}) {
        SCOPED_TRACE(blowfish ? "blowfish" : "triple-des");
        auto c = freshContext();
        auto key_ = [&](CipherContext& ctx) {
            if (blowfish) cipherKeyBlowfish(ctx, key.data(), key.size());
            else cipherKeyTripleDes(ctx, key.data(), key.size());
        };
        key_(*c);
        auto first = plain;
        cipherEncrypt(*c, first.data(), first.size());
        auto second = plain;
        cipherEncrypt(*c, second.data(), second.size());
        EXPECT_NE(first, second);
        key_(*c);
        auto again = plain;
        cipherEncrypt(*c, again.data(), again.size());
        EXPECT_EQ(first, again);

        auto receiver = freshContext();
        key_(*receiver);
        cipherDecrypt(*receiver, first.data(), first.size());
        cipherDecrypt(*receiver, second.data(), second.size());
        EXPECT_EQ(first, plain);
        EXPECT_EQ(second, plain);
    }
}

TEST(CipherContext, NoneAndClearLeaveNothingBehind) {
    auto c = freshContext();
    cipherKeyNone(*c);
    EXPECT_EQ(c->type, CIPHER_NONE);
    auto data = patternBytes(24, 6);
    const auto before = data;
    cipherEncrypt(*c, data.data(), data.size());
    cipherDecrypt(*c, data.data(), data.size());
    EXPECT_EQ(data, before);

    const auto key = patternBytes(32, 7);
    cipherKeyBlowfish(*c, key.data(), key.size());
    cipherClear(*c);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.get());
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof *c, [](uint8_t b) { return b == 0; }));
}

} // namespace
} // namespace kestrel
