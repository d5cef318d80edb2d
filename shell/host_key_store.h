// Known host keys in the registry: under the client's key, the subkey
// "HostKeys" holds one string value per server, named "host:port", whose
// text is the key's "bits exponent modulus" in decimal (engine/host_key.h).
// Unlike the other settings, failures here are never silent: a stored key
// that cannot be read refuses the session.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "engine/host_key.h"

namespace kestrel {

inline constexpr char HOST_KEYS_SUBKEY[] = "HostKeys";

enum class StoredHostKey { Unknown, Matches, Changed, Unreadable };

struct HostKeyLookup {
    StoredHostKey result = StoredHostKey::Unknown;
    std::string storedFingerprint;  // Changed: the key on record
    std::string problem;            // Unreadable: why, for the box
};

std::wstring hostKeyValueName(const std::string& host, uint16_t port);
HostKeyLookup lookUpHostKey(const std::string& host, uint16_t port, const RsaPublicKey& key);
bool storeHostKey(const std::string& host, uint16_t port, const RsaPublicKey& key);

}  // namespace kestrel
