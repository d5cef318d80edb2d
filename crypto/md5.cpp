#include "crypto/md5.h"

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/secure_zero.h"

namespace kestrel {
namespace {

constexpr uint32_t MD5_BLOCK_BYTES = 64;
// Where the 64-bit message length goes in the final block.
constexpr uint32_t MD5_LENGTH_OFFSET = 56;

// Round mixers F, H and I (G is folded into stepG below); F in a form that
// needs one operation fewer than the textbook one and gives the same bits.
inline uint32_t mixF(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t mixH(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t mixI(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

inline uint32_t rotl(uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

template <uint32_t (*Mix)(uint32_t, uint32_t, uint32_t)>
inline void step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t wordPlusConstant, int s) {
    a = b + rotl(a + Mix(b, c, d) + wordPlusConstant, s);
}

// G's two terms select disjoint bits, so they may be added one at a time; the
// term without b (the word just computed) is then ready before b is.
inline void stepG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t wordPlusConstant, int s) {
    a = b + rotl(a + wordPlusConstant + (c & ~d) + (b & d), s);
}

} // namespace

void md5Transform(uint32_t state[4], const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = loadLe32(block + 4 * i);
    }
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];

    step<mixF>(a, b, c, d, x[0] + 0xD76AA478u, 7);
    step<mixF>(d, a, b, c, x[1] + 0xE8C7B756u, 12);
    step<mixF>(c, d, a, b, x[2] + 0x242070DBu, 17);
    step<mixF>(b, c, d, a, x[3] + 0xC1BDCEEEu, 22);
    step<mixF>(a, b, c, d, x[4] + 0xF57C0FAFu, 7);
    step<mixF>(d, a, b, c, x[5] + 0x4787C62Au, 12);
    step<mixF>(c, d, a, b, x[6] + 0xA8304613u, 17);
    step<mixF>(b, c, d, a, x[7] + 0xFD469501u, 22);
    step<mixF>(a, b, c, d, x[8] + 0x698098D8u, 7);
    step<mixF>(d, a, b, c, x[9] + 0x8B44F7AFu, 12);
    step<mixF>(c, d, a, b, x[10] + 0xFFFF5BB1u, 17);
    step<mixF>(b, c, d, a, x[11] + 0x895CD7BEu, 22);
    step<mixF>(a, b, c, d, x[12] + 0x6B901122u, 7);
    step<mixF>(d, a, b, c, x[13] + 0xFD987193u, 12);
    step<mixF>(c, d, a, b, x[14] + 0xA679438Eu, 17);
    step<mixF>(b, c, d, a, x[15] + 0x49B40821u, 22);
    stepG(a, b, c, d, x[1] + 0xF61E2562u, 5);
    stepG(d, a, b, c, x[6] + 0xC040B340u, 9);
    stepG(c, d, a, b, x[11] + 0x265E5A51u, 14);
    stepG(b, c, d, a, x[0] + 0xE9B6C7AAu, 20);
    stepG(a, b, c, d, x[5] + 0xD62F105Du, 5);
    stepG(d, a, b, c, x[10] + 0x02441453u, 9);
    stepG(c, d, a, b, x[15] + 0xD8A1E681u, 14);
    stepG(b, c, d, a, x[4] + 0xE7D3FBC8u, 20);
    stepG(a, b, c, d, x[9] + 0x21E1CDE6u, 5);
    stepG(d, a, b, c, x[14] + 0xC33707D6u, 9);
    stepG(c, d, a, b, x[3] + 0xF4D50D87u, 14);
    stepG(b, c, d, a, x[8] + 0x455A14EDu, 20);
    stepG(a, b, c, d, x[13] + 0xA9E3E905u, 5);
    stepG(d, a, b, c, x[2] + 0xFCEFA3F8u, 9);
    stepG(c, d, a, b, x[7] + 0x676F02D9u, 14);
    stepG(b, c, d, a, x[12] + 0x8D2A4C8Au, 20);
    step<mixH>(a, b, c, d, x[5] + 0xFFFA3942u, 4);
    step<mixH>(d, a, b, c, x[8] + 0x8771F681u, 11);
    step<mixH>(c, d, a, b, x[11] + 0x6D9D6122u, 16);
    step<mixH>(b, c, d, a, x[14] + 0xFDE5380Cu, 23);
    step<mixH>(a, b, c, d, x[1] + 0xA4BEEA44u, 4);
    step<mixH>(d, a, b, c, x[4] + 0x4BDECFA9u, 11);
    step<mixH>(c, d, a, b, x[7] + 0xF6BB4B60u, 16);
    step<mixH>(b, c, d, a, x[10] + 0xBEBFBC70u, 23);
    step<mixH>(a, b, c, d, x[13] + 0x289B7EC6u, 4);
    step<mixH>(d, a, b, c, x[0] + 0xEAA127FAu, 11);
    step<mixH>(c, d, a, b, x[3] + 0xD4EF3085u, 16);
    step<mixH>(b, c, d, a, x[6] + 0x04881D05u, 23);
    step<mixH>(a, b, c, d, x[9] + 0xD9D4D039u, 4);
    step<mixH>(d, a, b, c, x[12] + 0xE6DB99E5u, 11);
    step<mixH>(c, d, a, b, x[15] + 0x1FA27CF8u, 16);
    step<mixH>(b, c, d, a, x[2] + 0xC4AC5665u, 23);
    step<mixI>(a, b, c, d, x[0] + 0xF4292244u, 6);
    step<mixI>(d, a, b, c, x[7] + 0x432AFF97u, 10);
    step<mixI>(c, d, a, b, x[14] + 0xAB9423A7u, 15);
    step<mixI>(b, c, d, a, x[5] + 0xFC93A039u, 21);
    step<mixI>(a, b, c, d, x[12] + 0x655B59C3u, 6);
    step<mixI>(d, a, b, c, x[3] + 0x8F0CCC92u, 10);
    step<mixI>(c, d, a, b, x[10] + 0xFFEFF47Du, 15);
    step<mixI>(b, c, d, a, x[1] + 0x85845DD1u, 21);
    step<mixI>(a, b, c, d, x[8] + 0x6FA87E4Fu, 6);
    step<mixI>(d, a, b, c, x[15] + 0xFE2CE6E0u, 10);
    step<mixI>(c, d, a, b, x[6] + 0xA3014314u, 15);
    step<mixI>(b, c, d, a, x[13] + 0x4E0811A1u, 21);
    step<mixI>(a, b, c, d, x[4] + 0xF7537E82u, 6);
    step<mixI>(d, a, b, c, x[11] + 0xBD3AF235u, 10);
    step<mixI>(c, d, a, b, x[2] + 0x2AD7D2BBu, 15);
    step<mixI>(b, c, d, a, x[9] + 0xEB86D391u, 21);


    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void md5Init(Md5Context& context) {
    context.state[0] = 0x67452301u;
    context.state[1] = 0xEFCDAB89u;
    context.state[2] = 0x98BADCFEu;
    context.state[3] = 0x10325476u;
    context.bitCountLow = 0;
    context.bitCountHigh = 0;
}

void md5Update(Md5Context& context, const uint8_t* data, uint32_t length) {
    if (length == 0) {
        return; // data may then be null, which memcpy must never see
    }
    const uint32_t waiting = (context.bitCountLow >> 3) % MD5_BLOCK_BYTES;
    const uint32_t oldLow = context.bitCountLow;
    context.bitCountLow += length << 3;
    if (context.bitCountLow < oldLow) {
        ++context.bitCountHigh;
    }
    context.bitCountHigh += length >> 29;

    if (waiting != 0) {
        const uint32_t room = MD5_BLOCK_BYTES - waiting;
        if (length < room) {
            std::memcpy(context.block + waiting, data, length);
            return;
        }
        std::memcpy(context.block + waiting, data, room);
        md5Transform(context.state, context.block);
        data += room;
        length -= room;
    }
    // Whole blocks are compressed straight from the caller's bytes; the
    // result is the same as staging them in the block buffer first.
    for (; length >= MD5_BLOCK_BYTES; length -= MD5_BLOCK_BYTES, data += MD5_BLOCK_BYTES) {
        md5Transform(context.state, data);
    }
    if (length > 0) {
        std::memcpy(context.block, data, length);
    }
}

void md5Final(uint8_t digest[16], Md5Context& context) {
    const uint32_t waiting = (context.bitCountLow >> 3) % MD5_BLOCK_BYTES;
    context.block[waiting] = 0x80;
    const uint32_t used = waiting + 1;
    if (used > MD5_LENGTH_OFFSET) {
        std::memset(context.block + used, 0, MD5_BLOCK_BYTES - used);
        md5Transform(context.state, context.block);
        std::memset(context.block, 0, MD5_LENGTH_OFFSET);
    } else {
        std::memset(context.block + used, 0, MD5_LENGTH_OFFSET - used);
    }
    storeLe32(context.block + MD5_LENGTH_OFFSET, context.bitCountLow);
    storeLe32(context.block + MD5_LENGTH_OFFSET + 4, context.bitCountHigh);
    md5Transform(context.state, context.block);
    for (int i = 0; i < 4; ++i) {
        storeLe32(digest + 4 * i, context.state[i]);
    }
    secureZero(&context, sizeof context);
}

} // namespace kestrel
