#include "engine/key_generation.h"

#include <vector>

#include "crypto/secure_zero.h"
#include "engine/key_exchange.h"

namespace kestrel {

namespace {

// A prime of exactly bits bits with its top two bits set (so two of them
// make a modulus of the full size) and gcd(e, prime - 1) = 1.
bool randomPrime(mpz_t prime, std::size_t bits, RandomSource random) {
    std::vector<uint8_t> bytes((bits + 7) / 8);
    SecretScratch predecessor;
    bool found = false;
    for (int attempt = 0; attempt < KEYGEN_MAX_ATTEMPTS && !found; ++attempt) {
        if (!random(bytes.data(), bytes.size()))
            break;
        mpz_import(prime, bytes.size(), 1, 1, 1, 0, bytes.data());
        mpz_fdiv_r_2exp(prime, prime, bits);
        mpz_setbit(prime, bits - 1);
        mpz_setbit(prime, bits - 2);
        mpz_setbit(prime, 0);
        mpz_nextprime(prime, prime);
        if (mpz_sizeinbase(prime, 2) != bits || mpz_probab_prime_p(prime, KEYGEN_PRIME_ROUNDS) == 0)
            continue;
        mpz_sub_ui(predecessor.value, prime, 1);
        found = mpz_gcd_ui(nullptr, predecessor.value, KEYGEN_PUBLIC_EXPONENT) == 1;
    }
    secureZero(bytes.data(), bytes.size());
    return found;
}

// d = e^-1 mod (p - 1)(q - 1), as the protocol's own generators make it.
bool completeKey(RsaPrivateKey& key) {
    SecretScratch phi, factor;
    mpz_sub_ui(phi.value, key.p, 1);
    mpz_sub_ui(factor.value, key.q, 1);
    mpz_mul(phi.value, phi.value, factor.value);
    mpz_set_ui(key.publicExponent, KEYGEN_PUBLIC_EXPONENT);
    if (mpz_invert(key.privateExponent, key.publicExponent, phi.value) == 0)
        return false;
    mpz_mul(key.modulus, key.p, key.q);
    key.bits = uint32_t(mpz_sizeinbase(key.modulus, 2));
    normalisePrimes(key);
    return privateKeyConsistent(key);
}

} // namespace

bool generateRsaKey(uint32_t bits, RandomSource random, RsaPrivateKey& key) {
    if (bits < KEYGEN_MIN_BITS || bits > KEYGEN_MAX_BITS)
        return false;
    std::size_t half = bits / 2;
    for (int attempt = 0; attempt < KEYGEN_MAX_ATTEMPTS; ++attempt) {
        if (!randomPrime(key.p, half, random) || !randomPrime(key.q, bits - half, random))
            return false;
        // Equal primes (or a source that repeats itself) give no key.
        if (mpz_cmp(key.p, key.q) != 0 && completeKey(key) && key.bits == bits)
            return true;
    }
    return false;
}

} // namespace kestrel
