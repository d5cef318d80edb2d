// What the client checks in the server's two RSA keys before anything is
// encrypted with them. Protocol 1 has the server choose both keys, so a
// hostile or broken server could otherwise have the session key sent under
// a key that protects nothing.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/session.h"

namespace kestrel {

// Moduli below this have been factored on ordinary hardware for decades.
constexpr uint32_t RSA_MIN_MODULUS_BITS = 512;
// The protocol's own distance between the two key sizes: the inner result
// must fit in the outer block with room for the outer padding.
constexpr uint32_t RSA_MIN_KEY_DISTANCE_BITS = 128;
// A host key below this is accepted with a warning (the server key is
// commonly 768 bits and needs none: it changes every hour).
constexpr uint32_t RSA_WARN_HOST_KEY_BITS = 1024;
// The smallest public exponent RSA is sound with (and it must be odd).
constexpr unsigned long RSA_MIN_EXPONENT = 3;

// Writes a status line for each refusal or warning. A key whose announced
// size is not its modulus's real size gets the real size from here on.
// False when the keys must not be used.
bool checkServerKeys(RsaPublicKey& serverKey, RsaPublicKey& hostKey);

} // namespace kestrel
