// The private half of a protocol-1 RSA identity, and the one operation the
// login needs from it: decrypting the server's challenge.
#pragma once
#include <cstddef>
#include <cstdint>
#include <gmp.h>

#include "engine/session.h"

namespace kestrel {

// Identities outside these sizes are refused: below, the 32-byte challenge
// and its padding do not fit; above, no real key exists and the arithmetic
// cost would be the file's to choose.
constexpr uint32_t RSA_IDENTITY_MIN_BITS = 512;
constexpr uint32_t RSA_IDENTITY_MAX_BITS = 16384;

// Every value is allocated at this size up front, so GMP never moves a
// secret to new limbs and leaves the old ones unzeroed behind.
constexpr std::size_t RSA_PRIVATE_LIMB_BITS = RSA_IDENTITY_MAX_BITS + 2 * GMP_NUMB_BITS;

// A scratch value sized like the key's own, cleared on the way out.
struct SecretScratch {
    SecretScratch() { mpz_init2(value, RSA_PRIVATE_LIMB_BITS); }
    ~SecretScratch();
    SecretScratch(const SecretScratch&) = delete;
    SecretScratch& operator=(const SecretScratch&) = delete;
    mpz_t value;
};

// The primes are kept the way the key files store them: p below q, and
// u = p^-1 mod q.
struct RsaPrivateKey {
    RsaPrivateKey();
    ~RsaPrivateKey();
    RsaPrivateKey(const RsaPrivateKey&) = delete;
    RsaPrivateKey& operator=(const RsaPrivateKey&) = delete;

    mpz_t modulus;
    mpz_t publicExponent;
    mpz_t privateExponent;
    mpz_t p;
    mpz_t q;
    mpz_t u;
    uint32_t bits = 0;
};

// Orders p and q as the files do and recomputes u.
void normalisePrimes(RsaPrivateKey& key);

// True when the parts belong together: n = p q with 1 < p < q, an odd e,
// e d = 1 modulo p - 1 and q - 1, u p = 1 mod q, the modulus of the
// announced size within the identity bounds. Guards against a corrupt file and the one wrong passphrase
// in 65536 that passes the check bytes.
bool privateKeyConsistent(const RsaPrivateKey& key);

// result = input ^ d mod n, by the Chinese remainder theorem with
// side-channel-resistant exponentiation. False for an input not below the
// modulus.
bool rsaPrivateDecrypt(mpz_t result, const mpz_t input, const RsaPrivateKey& key);

void copyPublicKey(RsaPublicKey& destination, const RsaPrivateKey& source);

} // namespace kestrel
