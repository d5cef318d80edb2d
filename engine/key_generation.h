// New protocol-1 RSA identities: two primes from GMP, seeded only from the
// random source the caller hands in (the system's), never from the session
// pool.
#pragma once
#include <cstdint>

#include "engine/key_file.h"
#include "engine/rsa_private_key.h"

namespace kestrel {

constexpr uint32_t KEYGEN_DEFAULT_BITS = 2048;
// Below this a key is breakable today; above it generation takes minutes
// on small machines and servers of the protocol's age refuse it anyway.
constexpr uint32_t KEYGEN_MIN_BITS = 1024;
constexpr uint32_t KEYGEN_MAX_BITS = 8192;
constexpr unsigned long KEYGEN_PUBLIC_EXPONENT = 65537;
// Miller-Rabin rounds on top of GMP's own test of each prime: a composite
// passes with probability below 4^-32.
constexpr int KEYGEN_PRIME_ROUNDS = 32;
// Candidates drawn before giving up: a working source finds each prime in a
// handful of starts, so running out means the source is broken.
constexpr int KEYGEN_MAX_ATTEMPTS = 64;

// Fills key with a fresh key of exactly bits bits (KEYGEN_MIN_BITS to
// KEYGEN_MAX_BITS). False when the size is out of range or the random
// source fails.
bool generateRsaKey(uint32_t bits, RandomSource random, RsaPrivateKey& key);

} // namespace kestrel
