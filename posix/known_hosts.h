// Host keys the user has trusted, per host and port, in
// $XDG_STATE_HOME/kestrel1/known_hosts: one line "[host]:port bits exponent
// modulus" (decimal) per key, the file readable by its owner only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/session.h"

namespace kestrel::client {

// Bounds on a file this program wrote: a 16384-bit modulus is under 5000
// decimal digits, and nobody trusts a million hosts.
constexpr std::size_t KNOWN_HOSTS_LINE_LIMIT = 8192;
constexpr std::size_t KNOWN_HOSTS_FILE_LIMIT = 16 * 1024 * 1024;

enum class HostKeyMatch { Unknown, Matches, Changed };

struct HostKeyCheck {
    HostKeyMatch match;
    std::size_t line; // of the entry that differs, from 1; 0 otherwise
};

// "MD5:xx:xx:..." over the modulus bytes and then the exponent bytes, as the
// test server logs it.
std::string hostKeyFingerprint(const RsaPublicKey& key);

class KnownHosts {
public:
    explicit KnownHosts(std::string path) : path_(std::move(path)) {}
    static std::string defaultPath();

    HostKeyCheck check(const std::string& host, uint16_t port, const RsaPublicKey& key) const;
    // Appends the key; false when the file cannot be written.
    bool add(const std::string& host, uint16_t port, const RsaPublicKey& key) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace kestrel::client
