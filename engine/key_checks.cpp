#include "engine/key_checks.h"

#include <string>

#include "engine/key_exchange.h"
#include "engine/status_log.h"

namespace kestrel {

namespace {

uint32_t realBits(const RsaPublicKey& key) { return uint32_t(mpz_sizeinbase(key.modulus, 2)); }

// Old servers announce a rounded size; the modulus is what the arithmetic
// and the session id go by.
void adoptRealSize(RsaPublicKey& key, const char* name) {
    uint32_t real = mpz_sgn(key.modulus) == 0 ? 0 : realBits(key);
    if (real == key.bits)
        return;
    logStatus(std::string("WARNING - ") + name + " key announced as " + std::to_string(key.bits) +
              " bits is " + std::to_string(real) + " bits; using " + std::to_string(real) + "\n");
    key.bits = real;
}

bool usable(const RsaPublicKey& key, const char* name) {
    if (mpz_cmp_ui(key.exponent, RSA_MIN_EXPONENT) < 0 || mpz_even_p(key.exponent)) {
        logStatus(std::string("ERROR - ") + name + " key exponent unusable (below 3 or even)\n");
        return false;
    }
    if (key.bits < RSA_MIN_MODULUS_BITS || key.bits > RSA_MAX_BITS) {
        logStatus(std::string("ERROR - ") + name + " key size unusable (" + std::to_string(key.bits) +
                  " bits; " + std::to_string(RSA_MIN_MODULUS_BITS) + " to " +
                  std::to_string(RSA_MAX_BITS) + " accepted)\n");
        return false;
    }
    return true;
}

} // namespace

bool checkServerKeys(RsaPublicKey& serverKey, RsaPublicKey& hostKey) {
    adoptRealSize(serverKey, "Server");
    adoptRealSize(hostKey, "Host");
    if (!usable(serverKey, "Server") || !usable(hostKey, "Host"))
        return false;
    uint32_t larger = serverKey.bits > hostKey.bits ? serverKey.bits : hostKey.bits;
    uint32_t smaller = serverKey.bits > hostKey.bits ? hostKey.bits : serverKey.bits;
    if (larger - smaller < RSA_MIN_KEY_DISTANCE_BITS) {
        logStatus("ERROR - Server and host key sizes differ by less than " +
                  std::to_string(RSA_MIN_KEY_DISTANCE_BITS) + " bits\n");
        return false;
    }
    if (hostKey.bits < RSA_WARN_HOST_KEY_BITS)
        logStatus("WARNING - Host key is only " + std::to_string(hostKey.bits) + " bits\n");
    return true;
}

} // namespace kestrel
