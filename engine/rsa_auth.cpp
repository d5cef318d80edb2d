#include "engine/rsa_auth.h"

#include <cstring>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "crypto/secure_zero.h"
#include "engine/key_exchange.h"
#include "engine/rsa_identity.h"
#include "engine/status_log.h"

namespace kestrel {

namespace {

constexpr const char* TEXT_UNEXPECTED = "ERROR - Unexpected reply to RSA authentication\n";
constexpr const char* TEXT_LOST = "ERROR - Connection lost during RSA authentication\n";

bool rsaOffered(const SessionState& state) { return (state.authMask >> AUTH_RSA & 1) != 0; }

// Any reply but the two the step expects ends the session.
SessionEnd endFor(SessionState& state, int reply, PacketBuffer& buffer) {
    SessionEnd end = END_MALFORMED;
    if (endOnBadRead(reply, end))
        return end;
    if (reply == READ_CONNECTION_LOST) {
        logStatus(TEXT_LOST);
        return END_CONNECTION_LOST;
    }
    if (reply == MSG_DISCONNECT) {
        logStatus("Error during authorization!\n");
        showServerReason(state, buffer);
        return END_LOGIN_REFUSED;
    }
    logStatus(TEXT_UNEXPECTED);
    return END_MALFORMED;
}

// The 16 bytes the server checks. When the private half could not be had
// (or the challenge is not one) the server still waits for an answer: it
// gets zeros, which it refuses, and the login moves on.
void computeResponse(RsaIdentity& identity, const RsaPublicKey& offered, const mpz_t challenge,
                     const uint8_t sessionId[16], uint8_t response[RSA_RESPONSE_SIZE]) {
    std::memset(response, 0, RSA_RESPONSE_SIZE);
    RsaPrivateKey key;
    if (!identity.privateKey(key))
        return;
    if (mpz_cmp(key.modulus, offered.modulus) != 0) {
        logStatus("Warning - " + identity.name() + ": the private key does not match the public key\n");
        return;
    }
    uint8_t plain[RSA_CHALLENGE_SIZE];
    if (decryptChallenge(plain, challenge, key))
        challengeResponse(response, plain, sessionId);
    else
        logStatus("Warning - Malformed RSA challenge from the server\n");
    secureZero(plain, sizeof plain);
}

RsaLogin tryIdentity(SessionState& state, PacketBuffer& buffer, RsaIdentity& identity, SessionEnd& end) {
    CipherTransport& cipher = *state.cipherTransport;
    RsaPublicKey offered;
    if (!identity.publicKey(offered))
        return RsaLogin::NotAccepted;
    logStatus("Trying RSA authentication with " + identity.name() + "\n");
    buffer.beginPacket(MSG_CMSG_AUTH_RSA);
    buffer.putMpint(offered.modulus);
    sendPacket(state, cipher, buffer);
    int reply = cipher.readPacket(buffer);
    if (reply == MSG_SMSG_FAILURE) {
        logStatus("Server refused our key.\n");
        return RsaLogin::NotAccepted;
    }
    if (reply != MSG_SMSG_AUTH_RSA_CHALLENGE) {
        end = endFor(state, reply, buffer);
        return RsaLogin::Ended;
    }
    mpz_t challenge;
    mpz_init(challenge);
    buffer.getMpint(challenge);
    if (buffer.failed()) {
        mpz_clear(challenge);
        logStatus("ERROR - Malformed packet received\n");
        end = END_MALFORMED;
        return RsaLogin::Ended;
    }
    logStatus("Received RSA challenge from server.\n");
    uint8_t response[RSA_RESPONSE_SIZE];
    computeResponse(identity, offered, challenge, state.sessionId, response);
    clearSecret(challenge);
    mpz_clear(challenge);
    buffer.beginPacket(MSG_CMSG_AUTH_RSA_RESPONSE);
    buffer.append(response, sizeof response);
    secureZero(response, sizeof response);
    sendPacket(state, cipher, buffer);
    buffer.wipe();
    reply = cipher.readPacket(buffer);
    if (reply == MSG_SMSG_SUCCESS) {
        logStatus("RSA authentication accepted.\n");
        return RsaLogin::Accepted;
    }
    if (reply == MSG_SMSG_FAILURE) {
        logStatus("RSA authentication refused.\n");
        return RsaLogin::NotAccepted;
    }
    end = endFor(state, reply, buffer);
    return RsaLogin::Ended;
}

} // namespace

bool decryptChallenge(uint8_t destination[RSA_CHALLENGE_SIZE], const mpz_t challenge, const RsaPrivateKey& key) {
    std::memset(destination, 0, RSA_CHALLENGE_SIZE);
    std::size_t blockSize = (mpz_sizeinbase(key.modulus, 2) + 7) / 8;
    mpz_t plain;
    mpz_init2(plain, RSA_PRIVATE_LIMB_BITS);
    bool decrypted = rsaPrivateDecrypt(plain, challenge, key);
    std::vector<uint8_t> block(blockSize);
    if (decrypted)
        integerToBytes(block.data(), blockSize, plain);
    clearSecret(plain);
    mpz_clear(plain);
    // 00 02, at least eight nonzero bytes, 00, then at most 32 bytes.
    std::size_t separator = 2;
    while (separator < blockSize && block[separator] != 0)
        ++separator;
    bool wellFormed = decrypted && separator < blockSize && block[0] == 0 && block[1] == 2 &&
                      separator - 2 >= RSA_CHALLENGE_MIN_PADDING;
    std::size_t length = wellFormed ? blockSize - separator - 1 : 0;
    wellFormed = wellFormed && length <= RSA_CHALLENGE_SIZE;
    if (wellFormed)
        std::memcpy(destination + RSA_CHALLENGE_SIZE - length, block.data() + separator + 1, length);
    secureZero(block.data(), block.size());
    return wellFormed;
}

void challengeResponse(uint8_t response[RSA_RESPONSE_SIZE], const uint8_t challenge[RSA_CHALLENGE_SIZE],
                       const uint8_t sessionId[16]) {
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, challenge, RSA_CHALLENGE_SIZE);
    md5Update(md5, sessionId, 16);
    md5Final(response, md5);
}

RsaLogin authenticateWithIdentities(SessionState& state, PacketBuffer& buffer, SessionEnd& end) {
    if (!rsaOffered(state))
        return RsaLogin::NotAccepted;
    for (RsaIdentity* identity : state.host.identities()) {
        RsaLogin result = tryIdentity(state, buffer, *identity, end);
        if (result != RsaLogin::NotAccepted)
            return result;
    }
    return RsaLogin::NotAccepted;
}

} // namespace kestrel
