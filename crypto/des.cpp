#include "crypto/des.h"

#include "crypto/byte_order.h"
#include "crypto/des_tables.h"

#include <utility>

namespace kestrel {
namespace {

using namespace des_detail;

constexpr std::size_t DES_BLOCK_BYTES = 8;

constexpr uint32_t rotr32(uint32_t v, int s) { return (v >> s) | (v << ((32 - s) & 31)); }

// Exchanges the bits of a selected by (mask << shift) with the bits of b
// selected by mask. Applying it twice restores both words.
constexpr void swapBits(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
    const uint32_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
}

// The initial permutation as five exchanges, leaving both halves rotated left by
// one bit, the form the round function works in.
constexpr void initialPermutation(uint32_t& left, uint32_t& right) {
    swapBits(left, right, 4, 0x0F0F0F0Fu);
    swapBits(left, right, 16, 0x0000FFFFu);
    swapBits(right, left, 2, 0x33333333u);
    swapBits(right, left, 8, 0x00FF00FFu);
    swapBits(left, right, 1, 0x55555555u);
    left = rotl32(left, 1);
    right = rotl32(right, 1);
}

constexpr void finalPermutation(uint32_t& left, uint32_t& right) {
    left = rotr32(left, 1);
    right = rotr32(right, 1);
    swapBits(left, right, 1, 0x55555555u);
    swapBits(right, left, 8, 0x00FF00FFu);
    swapBits(right, left, 2, 0x33333333u);
    swapBits(left, right, 16, 0x0000FFFFu);
    swapBits(left, right, 4, 0x0F0F0F0Fu);
}

constexpr uint64_t referenceInitialPermutation(uint64_t in) {
    uint64_t out = 0;
    for (int i = 0; i < 64; ++i) {
        if (in & (uint64_t(1) << (64 - INITIAL_PERMUTATION[i]))) out |= uint64_t(1) << (63 - i);
    }
    return out;
}

// Proves at compile time that the exchanges are the published permutation and
// that the final permutation undoes them, one input bit at a time.
constexpr bool exchangesMatchPermutation() {
    for (int bit = 0; bit < 64; ++bit) {
        const uint64_t in = uint64_t(1) << bit;
        uint32_t left = uint32_t(in >> 32);
        uint32_t right = uint32_t(in);
        initialPermutation(left, right);
        const uint64_t got = (uint64_t(rotr32(left, 1)) << 32) | rotr32(right, 1);
        if (got != referenceInitialPermutation(in)) return false;
        finalPermutation(left, right);
        if (((uint64_t(left) << 32) | right) != in) return false;
    }
    return true;
}
static_assert(exchangesMatchPermutation());

// The eight lookups are combined as a tree, not a chain, so that their results
// need not be folded in one after another. The compiler flattens a tree of one
// operator back into a chain;
// mixing operators keeps it, and since each S-box feeds its own four output
// bits (see spTablesAreDisjoint), |, + and ^ all give the same word here.
[[gnu::always_inline]] inline uint32_t feistel(uint32_t right, const uint32_t* roundKey) {
    const auto& sp = SP_TABLES;
    const uint32_t odd = rotr32(right, 4) ^ roundKey[0];
    const uint32_t even = right ^ roundKey[1];
    const uint32_t a = sp[0][(odd >> 24) & 0x3F] | sp[2][(odd >> 16) & 0x3F];
    const uint32_t b = sp[4][(odd >> 8) & 0x3F] | sp[6][odd & 0x3F];
    const uint32_t c = sp[1][(even >> 24) & 0x3F] | sp[3][(even >> 16) & 0x3F];
    const uint32_t d = sp[5][(even >> 8) & 0x3F] | sp[7][even & 0x3F];
    return (a + b) ^ (c + d);
}

// One DES block on halves already in round form. The caller's halves come back
// exchanged as the standard's last round leaves them (R16, L16).
template <bool Encrypt>
[[gnu::always_inline]] inline void desRounds(const DesKeySchedule& schedule, uint32_t& left, uint32_t& right) {
    const uint32_t* k = schedule.subkeys;
#pragma GCC unroll 8
    for (int round = 0; round < 16; round += 2) {
        const int first = Encrypt ? round : 15 - round;
        const int second = Encrypt ? round + 1 : 14 - round;
        left ^= feistel(right, k + 2 * first);
        right ^= feistel(left, k + 2 * second);
    }
    const uint32_t t = left;
    left = right;
    right = t;
}

template <bool Encrypt>
[[gnu::always_inline]] inline void desBlock(const DesKeySchedule& schedule, uint32_t& left, uint32_t& right) {
    initialPermutation(left, right);
    desRounds<Encrypt>(schedule, left, right);
    finalPermutation(left, right);
}

// Two blocks in step. CBC decryption has no chain between the blocks' rounds,
// and one block's rounds are bound by the latency of each lookup on the one
// before, so a second independent block fills the waits.
[[gnu::always_inline]] inline void desDecryptPair(const DesKeySchedule& schedule, uint32_t& left0,
                                                  uint32_t& right0, uint32_t& left1, uint32_t& right1) {
    initialPermutation(left0, right0);
    initialPermutation(left1, right1);
    const uint32_t* k = schedule.subkeys;
#pragma GCC unroll 8
    for (int round = 15; round > 0; round -= 2) {
        left0 ^= feistel(right0, k + 2 * round);
        left1 ^= feistel(right1, k + 2 * round);
        right0 ^= feistel(left0, k + 2 * (round - 1));
        right1 ^= feistel(left1, k + 2 * (round - 1));
    }
    // The last round's exchange, as in desRounds, then out of round form.
    std::swap(left0, right0);
    std::swap(left1, right1);
    finalPermutation(left0, right0);
    finalPermutation(left1, right1);
}

// C||D through the nibble tables; bits 63..56 of the key word hold key byte 0.
uint64_t choice1(uint64_t key) {
    uint64_t cd = 0;
    for (int n = 0; n < 16; ++n) {
        cd |= CHOICE_1_TABLES[n][(key >> (60 - 4 * n)) & 0xF];
    }
    return cd;
}

uint64_t choice2(uint32_t c, uint32_t d) {
    const uint64_t cd = (uint64_t(c) << 28) | d;
    uint64_t pair = 0;
    for (int n = 0; n < 14; ++n) {
        pair |= CHOICE_2_TABLES[n][(cd >> (52 - 4 * n)) & 0xF];
    }
    return pair;
}

constexpr uint32_t rotl28(uint32_t v, int s) { return ((v << s) | (v >> (28 - s))) & 0x0FFFFFFFu; }

} // namespace

void desSetKey(const uint8_t key[8], DesKeySchedule& schedule) {
    const uint64_t keyWord = (uint64_t(loadBe32(key)) << 32) | loadBe32(key + 4);
    const uint64_t cd = choice1(keyWord);
    uint32_t c = uint32_t(cd >> 28) & 0x0FFFFFFFu;
    uint32_t d = uint32_t(cd) & 0x0FFFFFFFu;
    for (int round = 0; round < 16; ++round) {
        c = rotl28(c, KEY_SHIFTS[round]);
        d = rotl28(d, KEY_SHIFTS[round]);
        const uint64_t pair = choice2(c, d);
        schedule.subkeys[2 * round] = uint32_t(pair >> 32);
        schedule.subkeys[2 * round + 1] = uint32_t(pair);
    }
}

void desCbcEncrypt(const DesKeySchedule& schedule, uint8_t iv[8], uint8_t* destination,
                   const uint8_t* source, std::size_t length) {
    uint32_t chainLeft = loadBe32(iv);
    uint32_t chainRight = loadBe32(iv + 4);
    for (std::size_t i = 0; i + DES_BLOCK_BYTES <= length; i += DES_BLOCK_BYTES) {
        chainLeft ^= loadBe32(source + i);
        chainRight ^= loadBe32(source + i + 4);
        desBlock<true>(schedule, chainLeft, chainRight);
        storeBe32(destination + i, chainLeft);
        storeBe32(destination + i + 4, chainRight);
    }
    storeBe32(iv, chainLeft);
    storeBe32(iv + 4, chainRight);
}

void desCbcDecrypt(const DesKeySchedule& schedule, uint8_t iv[8], uint8_t* destination,
                   const uint8_t* source, std::size_t length) {
    uint32_t chainLeft = loadBe32(iv);
    uint32_t chainRight = loadBe32(iv + 4);
    std::size_t i = 0;
    // Whole input blocks are read before anything is written, so destination
    // may be source.
    for (; i + 2 * DES_BLOCK_BYTES <= length; i += 2 * DES_BLOCK_BYTES) {
        const uint32_t in0Left = loadBe32(source + i);
        const uint32_t in0Right = loadBe32(source + i + 4);
        const uint32_t in1Left = loadBe32(source + i + 8);
        const uint32_t in1Right = loadBe32(source + i + 12);
        uint32_t left0 = in0Left, right0 = in0Right, left1 = in1Left, right1 = in1Right;
        desDecryptPair(schedule, left0, right0, left1, right1);
        storeBe32(destination + i, left0 ^ chainLeft);
        storeBe32(destination + i + 4, right0 ^ chainRight);
        storeBe32(destination + i + 8, left1 ^ in0Left);
        storeBe32(destination + i + 12, right1 ^ in0Right);
        chainLeft = in1Left;
        chainRight = in1Right;
    }
    if (i + DES_BLOCK_BYTES <= length) {
        const uint32_t inLeft = loadBe32(source + i);
        const uint32_t inRight = loadBe32(source + i + 4);
        uint32_t left = inLeft;
        uint32_t right = inRight;
        desBlock<false>(schedule, left, right);
        storeBe32(destination + i, left ^ chainLeft);
        storeBe32(destination + i + 4, right ^ chainRight);
        chainLeft = inLeft;
        chainRight = inRight;
    }
    storeBe32(iv, chainLeft);
    storeBe32(iv + 4, chainRight);
}

void tripleDesEncrypt(TripleDesState& state, uint8_t* destination, const uint8_t* source,
                      std::size_t length) {
    desCbcEncrypt(state.schedule1, state.iv1, destination, source, length);
    desCbcDecrypt(state.schedule2, state.iv2, destination, destination, length);
    desCbcEncrypt(state.schedule3, state.iv3, destination, destination, length);
}

void tripleDesDecrypt(TripleDesState& state, uint8_t* destination, const uint8_t* source,
                      std::size_t length) {
    desCbcDecrypt(state.schedule3, state.iv3, destination, source, length);
    desCbcEncrypt(state.schedule2, state.iv2, destination, destination, length);
    desCbcDecrypt(state.schedule1, state.iv1, destination, destination, length);
}

} // namespace kestrel
