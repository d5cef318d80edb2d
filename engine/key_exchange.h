// The key exchange: the server's two RSA keys, the session id, a 32-byte
// session key from the random pool encrypted with both keys, the cipher
// choice, and the switch to the cipher transport.
#pragma once
#include <cstddef>
#include <cstdint>
#include <gmp.h>
#include <memory>

#include "engine/packet_buffer.h"
#include "engine/random_pool.h"
#include "engine/session.h"

namespace kestrel {

constexpr std::size_t SESSION_KEY_SIZE = 32;
// Only this much of the session key is mixed with the session id.
constexpr std::size_t SESSION_ID_SIZE = 16;
// Announced key sizes beyond this are refused: they size the session-id
// buffer and the padding loop, and no real server uses larger keys.
constexpr uint32_t RSA_MAX_BITS = 16384;
// PKCS #1 type 2 needs 00, 02, the padding and a 00 around the input.
constexpr std::size_t RSA_PADDING_OVERHEAD = 3;
// PKCS #1 asks for at least this many random nonzero padding bytes: fewer
// leave the block open to a search over the padding.
constexpr std::size_t RSA_MIN_RANDOM_PADDING = 8;

// Reads the cookie and the server key; null when the message is too short or
// the key's announced size is zero or absurd.
std::unique_ptr<RsaPublicKey> readServerKey(SessionState& state, PacketBuffer& buffer);
// Sends the session-key message and installs the cipher transport. False
// (after a status line) when the rest of the message cannot be read or the
// keys cannot carry the session key.
// The server key's size may be corrected to its modulus's real size.
bool completeKeyExchange(SessionState& state, PacketBuffer& buffer, RsaPublicKey& serverKey);

void computeSessionId(uint8_t destination[16], const uint8_t cookie[8], uint32_t hostBits,
                      const mpz_t hostModulus, uint32_t serverBits, const mpz_t serverModulus);
void integerToBytes(uint8_t* destination, std::size_t count, const mpz_t value);
// False when the key cannot take the input: its announced byte length leaves
// no room for RSA_MIN_RANDOM_PADDING bytes of padding, the padded block is not below the modulus, the
// modulus is larger than RSA_MAX_BITS or the exponent is not below it.
bool rsaPublicEncrypt(mpz_t result, const mpz_t input, const RsaPublicKey& key, RandomPool& pool);

// Overwrites the limbs of a value that held key material.
void clearSecret(mpz_t value);

} // namespace kestrel
