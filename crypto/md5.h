// MD5 (RFC 1321). The random pool uses md5Transform alone as its stirring function.
#pragma once
#include <cstdint>

namespace kestrel {

struct Md5Context {
    uint32_t state[4];
    uint32_t bitCountLow;
    uint32_t bitCountHigh;
    uint8_t block[64];
};

void md5Init(Md5Context& context);
void md5Update(Md5Context& context, const uint8_t* data, uint32_t length);
// Writes the digest and clears the whole context.
void md5Final(uint8_t digest[16], Md5Context& context);
void md5Transform(uint32_t state[4], const uint8_t block[64]);

} // namespace kestrel
