#include "crypto/cipher_context.h"

#include <algorithm>
#include <cstring>

#include "crypto/secure_zero.h"

namespace kestrel {
namespace {

// Triple-DES reads at most three 8-byte keys out of a 32-byte area; anything
// past 32 bytes of the caller's key is cut off unread.
constexpr std::size_t TRIPLE_DES_KEY_AREA = 32;
// Keys of this length or less reuse the first DES key as the third.
constexpr std::size_t TRIPLE_DES_TWO_KEY_LIMIT = 16;
// The Blowfish schedule consumes 18 words = 72 key bytes; longer keys cycle
// back only after those, so their further bytes can never matter. Capping
// here keeps a long key from being truncated to a wrong 16-bit length.
constexpr std::size_t BLOWFISH_MAX_KEY_BYTES = 72;

} // namespace

void cipherClear(CipherContext& context) {
    secureZero(&context, sizeof context);
}

void cipherKeyNone(CipherContext& context) {
    cipherClear(context);
    context.type = CIPHER_NONE;
}

void cipherKeyTripleDes(CipherContext& context, const uint8_t* key, std::size_t keyLength) {
    cipherClear(context);
    context.type = CIPHER_TRIPLE_DES;
    uint8_t scratch[TRIPLE_DES_KEY_AREA] = {};
    const std::size_t used = std::min(keyLength, TRIPLE_DES_KEY_AREA);
    if (used > 0) {
        std::memcpy(scratch, key, used);
    }
    TripleDesState& s = context.state.tripleDes;
    desSetKey(scratch, s.schedule1);
    desSetKey(scratch + 8, s.schedule2);
    desSetKey(keyLength > TRIPLE_DES_TWO_KEY_LIMIT ? scratch + 16 : scratch, s.schedule3);
    secureZero(scratch, sizeof scratch);
}

void cipherKeyDes(CipherContext& context, const uint8_t* key, std::size_t keyLength) {
    cipherClear(context);
    context.type = CIPHER_DES;
    uint8_t scratch[8] = {};
    std::memcpy(scratch, key, std::min(keyLength, sizeof scratch));
    desSetKey(scratch, context.state.des.schedule);
    secureZero(scratch, sizeof scratch);
}

void cipherKeyBlowfish(CipherContext& context, const uint8_t* key, std::size_t keyLength) {
    cipherClear(context);
    context.type = CIPHER_BLOWFISH;
    const std::size_t used = std::min(keyLength, BLOWFISH_MAX_KEY_BYTES);
    blowfishSetKey(context.state.blowfish, key, static_cast<uint16_t>(used));
}

void cipherEncrypt(CipherContext& context, uint8_t* data, std::size_t length) {
    switch (context.type) {
    case CIPHER_DES:
        desCbcEncrypt(context.state.des.schedule, context.state.des.iv, data, data, length);
        break;
    case CIPHER_TRIPLE_DES:
        tripleDesEncrypt(context.state.tripleDes, data, data, length);
        break;
    case CIPHER_BLOWFISH:
        blowfishCbcEncrypt(context.state.blowfish, data, data, length);
        break;
    default:
        break;
    }
}

void cipherDecrypt(CipherContext& context, uint8_t* data, std::size_t length) {
    switch (context.type) {
    case CIPHER_DES:
        desCbcDecrypt(context.state.des.schedule, context.state.des.iv, data, data, length);
        break;
    case CIPHER_TRIPLE_DES:
        tripleDesDecrypt(context.state.tripleDes, data, data, length);
        break;
    case CIPHER_BLOWFISH:
        blowfishCbcDecrypt(context.state.blowfish, data, data, length);
        break;
    default:
        break;
    }
}

} // namespace kestrel
