// Arbitrary bytes as everything an identity file or a server can hand the
// key code: a private key file (read clear, and with the passphrase of the
// protected seed), a public key line, and an RSA challenge decrypted with a
// fixed key.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/key_file.h"
#include "engine/key_generation.h"
#include "engine/rsa_auth.h"

namespace {

bool repeatableSource(uint8_t* destination, std::size_t count) {
    static uint64_t state = 0x9e3779b97f4a7c15ULL;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        destination[i] = uint8_t(state >> 56);
    }
    return true;
}

const kestrel::RsaPrivateKey& challengeKey() {
    static kestrel::RsaPrivateKey key;
    static bool made = kestrel::generateRsaKey(kestrel::KEYGEN_MIN_BITS, repeatableSource, key);
    (void)made;
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace kestrel;
    KeyFilePublicPart part;
    readKeyFilePublic(data, size, part);
    for (const char* passphrase : {"", "correct horse"}) {
        RsaPrivateKey key;
        std::string comment;
        readKeyFilePrivate(data, size, passphrase, key, comment);
    }
    RsaPublicKey line;
    std::string comment;
    parsePublicKeyLine(std::string_view(reinterpret_cast<const char*>(data), size), line, comment);

    const RsaPrivateKey& key = challengeKey();
    if (size > 0 && size <= (key.bits + 7) / 8) {
        mpz_t challenge;
        mpz_init(challenge);
        mpz_import(challenge, size, 1, 1, 1, 0, data);
        uint8_t plain[RSA_CHALLENGE_SIZE];
        decryptChallenge(plain, challenge, key);
        mpz_clear(challenge);
    }
    return 0;
}
