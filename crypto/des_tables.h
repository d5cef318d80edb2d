// Compile-time DES tables. The FIPS 46-3 tables are kept in their published
// form and everything the fast code needs (S-boxes merged with P, nibble tables
// for the key schedule) is derived from them here, so no hand-expanded table
// can drift from the standard. Internal to crypto/.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel::des_detail {

// Bits are numbered as in the standard: bit 1 is the most significant.
static constexpr uint8_t INITIAL_PERMUTATION[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7,
};

static constexpr uint8_t P_PERMUTATION[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

static constexpr uint8_t PERMUTED_CHOICE_1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

static constexpr uint8_t PERMUTED_CHOICE_2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

static constexpr uint8_t KEY_SHIFTS[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

static constexpr uint8_t S_BOXES[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// A typo in a table above would silently give a non-standard cipher; these
// checks catch the kinds a known-answer test might not point at.
template <std::size_t N>
constexpr bool isPermutation(const uint8_t (&table)[N]) {
    bool seen[N + 1] = {};
    for (uint8_t v : table) {
        if (v < 1 || v > N || seen[v]) return false;
        seen[v] = true;
    }
    return true;
}

constexpr bool sBoxRowsArePermutations() {
    for (const auto& box : S_BOXES) {
        for (const auto& row : box) {
            unsigned mask = 0;
            for (uint8_t v : row) mask |= 1u << v;
            if (mask != 0xFFFFu) return false;
        }
    }
    return true;
}

constexpr bool choice2IsInjective() {
    bool seen[57] = {};
    for (uint8_t v : PERMUTED_CHOICE_2) {
        if (v < 1 || v > 56 || seen[v]) return false;
        seen[v] = true;
    }
    return true;
}

static_assert(isPermutation(INITIAL_PERMUTATION));
static_assert(isPermutation(P_PERMUTATION));
static_assert(sBoxRowsArePermutations());
static_assert(choice2IsInjective());

constexpr uint32_t rotl32(uint32_t v, int s) { return (v << s) | (v >> ((32 - s) & 31)); }

// The round keeps both halves rotated left by one bit, which lines every
// 6-bit group of the expansion up on a byte of either R or R rotated right by 4
// (groups 1,3,5,7 and 2,4,6,8). Each table entry is therefore P(S(x)) rotated
// left by one, and S-box j is looked up with the 6 expansion bits in
// standard order, first bit most significant.
using SpTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr SpTables makeSpTables() {
    SpTables sp{};
    for (int box = 0; box < 8; ++box) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int column = (v >> 1) & 15;
            const uint32_t sOut = uint32_t(S_BOXES[box][row][column]) << (28 - 4 * box);
            uint32_t permuted = 0;
            for (int i = 0; i < 32; ++i) {
                if (sOut & (0x80000000u >> (P_PERMUTATION[i] - 1))) permuted |= 0x80000000u >> i;
            }
            sp[box][v] = rotl32(permuted, 1);
        }
    }
    return sp;
}

// A fixed bit permutation (or selection) from an input word to an output word
// applied four input bits at a time: entry [n][v] holds the output bits fed by
// nibble n of the input when that nibble is v. Input nibble 0 is the most
// significant of inputBits.
template <int Nibbles>
using NibbleTables = std::array<std::array<uint64_t, 16>, Nibbles>;

// outputPosition(i) gives, for input bit i (1 = most significant of inputBits),
// the output bit position (0 = least significant) or -1 when the bit is dropped.
template <int Nibbles, typename Map>
constexpr NibbleTables<Nibbles> makeNibbleTables(Map outputPosition) {
    NibbleTables<Nibbles> t{};
    for (int n = 0; n < Nibbles; ++n) {
        for (int v = 0; v < 16; ++v) {
            uint64_t out = 0;
            for (int b = 0; b < 4; ++b) {
                const int pos = (v & (8 >> b)) ? outputPosition(4 * n + b + 1) : -1;
                if (pos >= 0) out |= uint64_t(1) << pos;
            }
            t[n][v] = out;
        }
    }
    return t;
}

// Key (64 bits) to the 56-bit C||D register: C in bits 55..28, D in 27..0.
constexpr int choice1Position(int keyBit) {
    for (int i = 0; i < 56; ++i) {
        if (PERMUTED_CHOICE_1[i] == keyBit) return 55 - i;
    }
    return -1; // parity bit
}

// C||D (56 bits) to the round-key pair, first word in bits 63..32. Round-key
// group g (six bits, first bit most significant) goes to the low six bits of
// byte 3 - g/2 of word g%2, matching the round's lookups.
constexpr int choice2Position(int cdBit) {
    for (int i = 0; i < 48; ++i) {
        if (PERMUTED_CHOICE_2[i] != cdBit) continue;
        const int group = i / 6;
        const int inGroup = 5 - i % 6;
        return (group % 2 == 0 ? 32 : 0) + 8 * (3 - group / 2) + inGroup;
    }
    return -1;
}

static constexpr SpTables SP_TABLES = makeSpTables();

// Each S-box output lands on bits no other S-box touches, which the round
// relies on to combine lookups with any of |, + and ^.
constexpr bool spTablesAreDisjoint() {
    uint32_t seen = 0;
    for (const auto& table : SP_TABLES) {
        uint32_t mask = 0;
        for (uint32_t v : table) mask |= v;
        if ((mask & seen) != 0) return false;
        seen |= mask;
    }
    return seen == 0xFFFFFFFFu;
}
static_assert(spTablesAreDisjoint());
static constexpr NibbleTables<16> CHOICE_1_TABLES = makeNibbleTables<16>(choice1Position);
static constexpr NibbleTables<14> CHOICE_2_TABLES = makeNibbleTables<14>(choice2Position);

} // namespace kestrel::des_detail
