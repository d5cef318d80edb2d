#include "crypto/blowfish.h"

#include <cstring>

#include "crypto/blowfish_tables.h"
#include "crypto/byte_order.h"

namespace kestrel {
namespace {

using namespace blowfish_detail;

constexpr std::size_t BLOWFISH_BLOCK_BYTES = 8;
constexpr int BLOWFISH_P_WORDS = 18;

[[gnu::always_inline]] inline uint32_t mix(const BlowfishState& s, uint32_t x) {
    return ((s.sbox[0][x >> 24] + s.sbox[1][(x >> 16) & 0xFF]) ^ s.sbox[2][(x >> 8) & 0xFF]) +
           s.sbox[3][x & 0xFF];
}

// Two rounds; the sixteen are written out through eight of these so that the
// P words are constant offsets and nothing loops.
template <int First, int Second>
[[gnu::always_inline]] inline void roundPair(const BlowfishState& s, uint32_t& left, uint32_t& right) {
    // The P word joins first, off the path that waits for the S-box loads.
    right = (right ^ s.parray[First]) ^ mix(s, left);
    left = (left ^ s.parray[Second]) ^ mix(s, right);
}

[[gnu::always_inline]] inline void encryptHalves(const BlowfishState& s, uint32_t& left, uint32_t& right) {
    left ^= s.parray[0];
    roundPair<1, 2>(s, left, right);
    roundPair<3, 4>(s, left, right);
    roundPair<5, 6>(s, left, right);
    roundPair<7, 8>(s, left, right);
    roundPair<9, 10>(s, left, right);
    roundPair<11, 12>(s, left, right);
    roundPair<13, 14>(s, left, right);
    roundPair<15, 16>(s, left, right);
    const uint32_t t = left;
    left = right ^ s.parray[17];
    right = t;
}

[[gnu::always_inline]] inline void decryptHalves(const BlowfishState& s, uint32_t& left, uint32_t& right) {
    left ^= s.parray[17];
    roundPair<16, 15>(s, left, right);
    roundPair<14, 13>(s, left, right);
    roundPair<12, 11>(s, left, right);
    roundPair<10, 9>(s, left, right);
    roundPair<8, 7>(s, left, right);
    roundPair<6, 5>(s, left, right);
    roundPair<4, 3>(s, left, right);
    roundPair<2, 1>(s, left, right);
    const uint32_t t = left;
    left = right ^ s.parray[0];
    right = t;
}

} // namespace

void blowfishSetKey(BlowfishState& state, const uint8_t* key, uint16_t keyLength) {
    std::memcpy(state.sbox, BLOWFISH_INITIAL_S, sizeof state.sbox);
    std::memcpy(state.parray, BLOWFISH_INITIAL_P, sizeof state.parray);
    // An empty key would make the cycling below divide by zero; it is taken
    // as "no key bytes" instead, leaving the P-array as published.
    if (keyLength > 0) {
        std::size_t next = 0;
        for (int j = 0; j < BLOWFISH_P_WORDS; ++j) {
            uint32_t word = 0;
            for (int b = 0; b < 4; ++b) {
                word = (word << 8) | key[next];
                next = (next + 1) % keyLength;
            }
            state.parray[j] ^= word;
        }
    }
    uint32_t left = 0;
    uint32_t right = 0;
    for (int j = 0; j < BLOWFISH_P_WORDS; j += 2) {
        encryptHalves(state, left, right);
        state.parray[j] = left;
        state.parray[j + 1] = right;
    }
    for (auto& box : state.sbox) {
        for (int j = 0; j < 256; j += 2) {
            encryptHalves(state, left, right);
            box[j] = left;
            box[j + 1] = right;
        }
    }
}

void blowfishEncryptBlock(const BlowfishState& state, uint32_t& left, uint32_t& right) {
    encryptHalves(state, left, right);
}

void blowfishDecryptBlock(const BlowfishState& state, uint32_t& left, uint32_t& right) {
    decryptHalves(state, left, right);
}

void blowfishCbcEncrypt(BlowfishState& state, uint8_t* destination, const uint8_t* source,
                        std::size_t length) {
    uint32_t chainLeft = loadLe32(state.iv);
    uint32_t chainRight = loadLe32(state.iv + 4);
    for (std::size_t i = 0; i + BLOWFISH_BLOCK_BYTES <= length; i += BLOWFISH_BLOCK_BYTES) {
        chainLeft ^= loadLe32(source + i);
        chainRight ^= loadLe32(source + i + 4);
        encryptHalves(state, chainLeft, chainRight);
        storeLe32(destination + i, chainLeft);
        storeLe32(destination + i + 4, chainRight);
    }
    storeLe32(state.iv, chainLeft);
    storeLe32(state.iv + 4, chainRight);
}

void blowfishCbcDecrypt(BlowfishState& state, uint8_t* destination, const uint8_t* source,
                        std::size_t length) {
    uint32_t chainLeft = loadLe32(state.iv);
    uint32_t chainRight = loadLe32(state.iv + 4);
    for (std::size_t i = 0; i + BLOWFISH_BLOCK_BYTES <= length; i += BLOWFISH_BLOCK_BYTES) {
        // The ciphertext is read in full before the plaintext overwrites it.
        const uint32_t inLeft = loadLe32(source + i);
        const uint32_t inRight = loadLe32(source + i + 4);
        uint32_t left = inLeft;
        uint32_t right = inRight;
        decryptHalves(state, left, right);
        storeLe32(destination + i, left ^ chainLeft);
        storeLe32(destination + i + 4, right ^ chainRight);
        chainLeft = inLeft;
        chainRight = inRight;
    }
    storeLe32(state.iv, chainLeft);
    storeLe32(state.iv + 4, chainRight);
}

} // namespace kestrel
