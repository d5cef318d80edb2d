// RSA authentication of protocol 1.5: each identity's modulus is offered;
// the server answers with failure or an RSA-encrypted 32-byte challenge,
// which the client decrypts and answers with MD5(challenge || session id).
// Identities are tried in order until one is accepted; then (or when none
// is) the login goes on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <gmp.h>

#include "engine/packet_buffer.h"
#include "engine/protocol.h"
#include "engine/rsa_private_key.h"

namespace kestrel {

constexpr int MSG_CMSG_AUTH_RSA = 6;
constexpr int MSG_SMSG_AUTH_RSA_CHALLENGE = 7;
constexpr int MSG_CMSG_AUTH_RSA_RESPONSE = 8;
// Bit of the server's authentication mask that offers RSA.
constexpr uint32_t AUTH_RSA = 2;

constexpr std::size_t RSA_CHALLENGE_SIZE = 32;
constexpr std::size_t RSA_RESPONSE_SIZE = 16;
// The challenge's block must hide it behind at least this much padding
// (PKCS #1 type 2 asks for eight bytes).
constexpr std::size_t RSA_CHALLENGE_MIN_PADDING = 8;

enum class RsaLogin { Accepted, NotAccepted, Ended };

// Tries every identity of the host when the server offers RSA. Accepted:
// the server took one. NotAccepted: go on to the password. Ended: the
// session is over (end says how; its status line has been written).
RsaLogin authenticateWithIdentities(SessionState& state, PacketBuffer& buffer, SessionEnd& end);

// Decrypts the challenge and strips its type 2 padding; the 32-byte
// challenge (a shorter value right-aligned behind zeros) goes to
// destination. False when the value is not below the modulus or the
// padding is not well formed.
bool decryptChallenge(uint8_t destination[RSA_CHALLENGE_SIZE], const mpz_t challenge, const RsaPrivateKey& key);

// MD5 of the challenge followed by the session id.
void challengeResponse(uint8_t response[RSA_RESPONSE_SIZE], const uint8_t challenge[RSA_CHALLENGE_SIZE],
                       const uint8_t sessionId[16]);

} // namespace kestrel
