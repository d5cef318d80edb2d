// Blowfish with the protocol's block byte order: each 8-byte block is read as two
// 32-bit halves least significant byte first (the published description reads
// them most significant byte first). Key bytes are packed as published.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kestrel {

struct BlowfishState {
    uint32_t sbox[4][256];
    uint32_t parray[18];
    uint8_t iv[8];
};

// The key is used cyclically; a keyLength of 0 acts as a key of zero bytes.
void blowfishSetKey(BlowfishState& state, const uint8_t* key, uint16_t keyLength);
void blowfishEncryptBlock(const BlowfishState& state, uint32_t& left, uint32_t& right);
void blowfishDecryptBlock(const BlowfishState& state, uint32_t& left, uint32_t& right);

// length is a multiple of 8; destination may equal source; chains through state.iv.
void blowfishCbcEncrypt(BlowfishState& state, uint8_t* destination, const uint8_t* source,
                        std::size_t length);
void blowfishCbcDecrypt(BlowfishState& state, uint8_t* destination, const uint8_t* source,
                        std::size_t length);

} // namespace kestrel
