// The keyed state of one direction of a session. The transports own no key
// material: they key and run one of these (the receive or the send context).
#pragma once
#include <cstddef>
#include <cstdint>

#include "crypto/blowfish.h"
#include "crypto/des.h"

namespace kestrel {

// Wire cipher numbers of protocol 1.5.
constexpr uint32_t CIPHER_NONE = 0;
constexpr uint32_t CIPHER_DES = 2;
constexpr uint32_t CIPHER_TRIPLE_DES = 3;
constexpr uint32_t CIPHER_BLOWFISH = 6;

struct CipherContext {
    uint32_t type;
    union {
        SingleDesState des;
        TripleDesState tripleDes;
        BlowfishState blowfish;
    } state;
};

// Each keying clears the whole context first (so every IV starts at zero) and
// records the type code; scratch copies of the key are cleared before return.
// Triple-DES uses key bytes 0..23 (schedule 3 repeats schedule 1 for keys of 16
// bytes or fewer, missing bytes are zero); Blowfish uses all keyLength bytes.
void cipherKeyTripleDes(CipherContext& context, const uint8_t* key, std::size_t keyLength);
void cipherKeyBlowfish(CipherContext& context, const uint8_t* key, std::size_t keyLength);
// Single DES uses key bytes 0..7 (missing bytes are zero).
void cipherKeyDes(CipherContext& context, const uint8_t* key, std::size_t keyLength);
void cipherKeyNone(CipherContext& context);

// In-place transform of a packet's encrypted range (length a multiple of 8),
// continuing the context's chains. Type 0 leaves the bytes alone.
void cipherEncrypt(CipherContext& context, uint8_t* data, std::size_t length);
void cipherDecrypt(CipherContext& context, uint8_t* data, std::size_t length);

// Clears the context (type 0, all key material gone).
void cipherClear(CipherContext& context);

} // namespace kestrel
