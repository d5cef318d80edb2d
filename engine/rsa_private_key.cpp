#include "engine/rsa_private_key.h"

#include "engine/key_exchange.h"

namespace kestrel {

SecretScratch::~SecretScratch() {
    clearSecret(value);
    mpz_clear(value);
}

namespace {

// (e d) mod (prime - 1) == 1
bool inverseModuloPredecessor(const RsaPrivateKey& key, const mpz_t prime) {
    SecretScratch predecessor, product;
    mpz_sub_ui(predecessor.value, prime, 1);
    mpz_mul(product.value, key.publicExponent, key.privateExponent);
    mpz_mod(product.value, product.value, predecessor.value);
    return mpz_cmp_ui(product.value, 1) == 0;
}

// result = input ^ (exponent mod prime-1) mod prime. The exponentiation
// that resists timing needs an odd modulus and a positive exponent.
bool powerModuloPrime(mpz_t result, const mpz_t input, const mpz_t exponent, const mpz_t prime) {
    if (mpz_cmp_ui(prime, 2) <= 0 || mpz_even_p(prime))
        return false;
    SecretScratch reduced, base;
    mpz_sub_ui(reduced.value, prime, 1);
    mpz_mod(reduced.value, exponent, reduced.value);
    if (mpz_sgn(reduced.value) == 0)
        return false;
    mpz_mod(base.value, input, prime);
    mpz_powm_sec(result, base.value, reduced.value, prime);
    return true;
}

} // namespace

RsaPrivateKey::RsaPrivateKey() {
    for (mpz_ptr value : {modulus, publicExponent, privateExponent, p, q, u})
        mpz_init2(value, RSA_PRIVATE_LIMB_BITS);
}

RsaPrivateKey::~RsaPrivateKey() {
    for (mpz_ptr value : {modulus, publicExponent, privateExponent, p, q, u}) {
        clearSecret(value);
        mpz_clear(value);
    }
    bits = 0;
}

void normalisePrimes(RsaPrivateKey& key) {
    if (mpz_cmp(key.p, key.q) > 0)
        mpz_swap(key.p, key.q);
    if (mpz_invert(key.u, key.p, key.q) == 0)
        mpz_set_ui(key.u, 0);
}

bool privateKeyConsistent(const RsaPrivateKey& key) {
    std::size_t size = mpz_sizeinbase(key.modulus, 2);
    if (key.bits != size || size < RSA_IDENTITY_MIN_BITS || size > RSA_IDENTITY_MAX_BITS)
        return false;
    // Odd primes only: the side-channel-resistant exponentiation needs an odd modulus.
    if (mpz_cmp_ui(key.p, 2) <= 0 || mpz_even_p(key.p) || mpz_even_p(key.q) || mpz_cmp(key.p, key.q) >= 0 ||
        mpz_even_p(key.publicExponent) ||
        mpz_cmp_ui(key.publicExponent, 3) < 0 || mpz_cmp(key.publicExponent, key.modulus) >= 0 ||
        mpz_sgn(key.privateExponent) <= 0 || mpz_cmp(key.privateExponent, key.modulus) >= 0)
        return false;
    SecretScratch product;
    mpz_mul(product.value, key.p, key.q);
    if (mpz_cmp(product.value, key.modulus) != 0)
        return false;
    mpz_mul(product.value, key.u, key.p);
    mpz_mod(product.value, product.value, key.q);
    if (mpz_cmp_ui(product.value, 1) != 0)
        return false;
    return inverseModuloPredecessor(key, key.p) && inverseModuloPredecessor(key, key.q);
}

bool rsaPrivateDecrypt(mpz_t result, const mpz_t input, const RsaPrivateKey& key) {
    if (mpz_sgn(input) < 0 || mpz_cmp(input, key.modulus) >= 0)
        return false;
    // m1 = c^(d mod p-1) mod p, m2 = c^(d mod q-1) mod q, m = m1 + p (u (m2 - m1) mod q)
    SecretScratch inP, inQ, difference;
    if (!powerModuloPrime(inP.value, input, key.privateExponent, key.p) ||
        !powerModuloPrime(inQ.value, input, key.privateExponent, key.q))
        return false;
    mpz_sub(difference.value, inQ.value, inP.value);
    mpz_mul(difference.value, difference.value, key.u);
    mpz_mod(difference.value, difference.value, key.q);
    mpz_mul(difference.value, difference.value, key.p);
    mpz_add(result, difference.value, inP.value);
    return true;
}

void copyPublicKey(RsaPublicKey& destination, const RsaPrivateKey& source) {
    mpz_set(destination.modulus, source.modulus);
    mpz_set(destination.exponent, source.publicExponent);
    destination.bits = source.bits;
}

} // namespace kestrel
