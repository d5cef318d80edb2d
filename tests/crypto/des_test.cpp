#include "crypto/des.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/crypto/hex.h"

namespace kestrel {
namespace {

using test::fromHex;
using test::patternBytes;
using test::toHex;

struct DesVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// NBS/FIPS validation sets (variable plaintext, variable key) and the classic
// worked examples; every published value, in the standard's byte order.
const DesVector DES_VECTORS[] = {
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"0101010101010101", "1000000000000000", "4BD388FF6CD81D4F"},
    {"0101010101010101", "0800000000000000", "20B9E767B2FB1456"},
    {"0101010101010101", "0400000000000000", "55579380D77138EF"},
    {"0101010101010101", "0200000000000000", "6CC5DEFAAF04512F"},
    {"0101010101010101", "0100000000000000", "0D9F279BA5D87260"},
    {"0101010101010101", "0080000000000000", "D9031B0271BD5A0A"},
    {"0101010101010101", "0040000000000000", "424250B37C3DD951"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
    {"1001010101010101", "0000000000000000", "D3746294CA6A6CF3"},
    {"0801010101010101", "0000000000000000", "809F5F873C1FD761"},
    {"0401010101010101", "0000000000000000", "C02FAFFEC989D1FC"},
    {"0201010101010101", "0000000000000000", "4615AA1D33E72F10"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0E329232EA6D0D73", "8787878787878787", "0000000000000000"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
};

DesKeySchedule scheduleFor(const std::vector<uint8_t>& key) {
    DesKeySchedule schedule;
    desSetKey(key.data(), schedule);
    return schedule;
}

// One block of CBC from a zero IV is the bare block function.
TEST(Des, PublishedVectorsEncryptAndDecrypt) {
    for (const auto& v : DES_VECTORS) {
        SCOPED_TRACE(v.key + std::string(" ") + v.plain);
        const auto schedule = scheduleFor(fromHex(v.key));
        auto block = fromHex(v.plain);
        uint8_t iv[8] = {};
        desCbcEncrypt(schedule, iv, block.data(), block.data(), 8);
        EXPECT_EQ(toHex(block), v.cipher);
        EXPECT_EQ(toHex(iv, 8), v.cipher);
        uint8_t iv2[8] = {};
        desCbcDecrypt(schedule, iv2, block.data(), block.data(), 8);
        EXPECT_EQ(toHex(block), v.plain);
    }
}

TEST(Des, ParityBitsAreIgnored) {
    auto key = fromHex("133457799BBCDFF1");
    const auto reference = scheduleFor(key);
    for (auto& b : key) b ^= 1;
    const auto flipped = scheduleFor(key);
    EXPECT_EQ(0, std::memcmp(&reference, &flipped, sizeof reference));
}

TEST(Des, CbcChainsAcrossCallsAndBlocks) {
    const auto schedule = scheduleFor(fromHex("0123456789ABCDEF"));
    const auto plain = patternBytes(64, 1);

    uint8_t ivWhole[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> whole(64);
    desCbcEncrypt(schedule, ivWhole, whole.data(), plain.data(), 64);

    // Same stream in uneven pieces, block by block chaining by hand.
    uint8_t ivPieces[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> pieces(64);
    desCbcEncrypt(schedule, ivPieces, pieces.data(), plain.data(), 8);
    desCbcEncrypt(schedule, ivPieces, pieces.data() + 8, plain.data() + 8, 40);
    desCbcEncrypt(schedule, ivPieces, pieces.data() + 48, plain.data() + 48, 16);
    EXPECT_EQ(whole, pieces);
    EXPECT_EQ(0, std::memcmp(ivWhole, ivPieces, 8));
    EXPECT_EQ(0, std::memcmp(ivWhole, whole.data() + 56, 8));

    uint8_t ivBack[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<uint8_t> back(64);
    desCbcDecrypt(schedule, ivBack, back.data(), whole.data(), 64);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(0, std::memcmp(ivBack, whole.data() + 56, 8));
}

TripleDesState tripleKeyed(const std::vector<uint8_t>& key24) {
    TripleDesState s{};
    desSetKey(key24.data(), s.schedule1);
    desSetKey(key24.data() + 8, s.schedule2);
    desSetKey(key24.data() + 16, s.schedule3);
    return s;
}

// Passes 1 and 2 cancel when the keys are equal, so the three chains must
// collapse to one single-DES chain, including across packets.
TEST(TripleDes, EqualKeysGiveSingleDesCbcAcrossPackets) {
    const auto k = fromHex("0123456789ABCDEF");
    std::vector<uint8_t> key24;
    for (int i = 0; i < 3; ++i) key24.insert(key24.end(), k.begin(), k.end());
    auto triple = tripleKeyed(key24);
    const auto single = scheduleFor(k);
    uint8_t singleIv[8] = {};
    for (uint32_t packet = 0; packet < 5; ++packet) {
        const auto plain = patternBytes(8 * (packet + 1), packet);
        std::vector<uint8_t> viaTriple(plain.size());
        std::vector<uint8_t> viaSingle(plain.size());
        tripleDesEncrypt(triple, viaTriple.data(), plain.data(), plain.size());
        desCbcEncrypt(single, singleIv, viaSingle.data(), plain.data(), plain.size());
        EXPECT_EQ(viaTriple, viaSingle) << "packet " << packet;
    }
}

// A session in miniature: one sender and one receiver state, keyed once, the
// sender working in place and a twin sender on separate buffers.
TEST(TripleDes, PacketStreamRoundTripsInPlaceAndNeverRepeats) {
    const auto key24 = patternBytes(24, 3);
    auto sender = tripleKeyed(key24);
    auto twin = tripleKeyed(key24);
    auto receiver = tripleKeyed(key24);
    const auto plain = patternBytes(48, 4);
    std::vector<uint8_t> previous;
    for (int packet = 0; packet < 6; ++packet) {
        auto wire = plain;
        tripleDesEncrypt(sender, wire.data(), wire.data(), wire.size());
        std::vector<uint8_t> separate(plain.size());
        tripleDesEncrypt(twin, separate.data(), plain.data(), plain.size());
        EXPECT_EQ(wire, separate) << "packet " << packet;
        EXPECT_NE(wire, previous) << "chains must continue, packet " << packet;
        previous = wire;
        tripleDesDecrypt(receiver, wire.data(), wire.data(), wire.size());
        EXPECT_EQ(wire, plain) << "packet " << packet;
    }
    const auto before = sender;
    uint8_t untouched[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    tripleDesEncrypt(sender, untouched, untouched, 0);
    tripleDesDecrypt(sender, untouched, untouched, 0);
    EXPECT_EQ(0, std::memcmp(&before, &sender, sizeof before));
    EXPECT_EQ(untouched[0], 9);
}

// Only whole blocks are processed; a ragged tail is neither read into the
// chain nor overwritten.
TEST(TripleDes, RaggedTailIsLeftAlone) {
    auto state = tripleKeyed(patternBytes(24, 9));
    auto data = patternBytes(13, 10);
    const auto before = data;
    tripleDesEncrypt(state, data.data(), data.data(), data.size());
    EXPECT_NE(0, std::memcmp(data.data(), before.data(), 8));
    EXPECT_EQ(0, std::memcmp(data.data() + 8, before.data() + 8, 5));
}

} // namespace
} // namespace kestrel
