// Host keys the user has trusted, per host and port, in a text file: one line
// "[host]:port bits exponent modulus" (decimal) per key, readable by its
// owner only. Shared by the terminal clients, which keep the same file.
// Anything that cannot be read for certain refuses the host rather than
// making it look new: a "new" host may be trusted without a question.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/host_key.h"

namespace kestrel {

// Lines longer than any key this program writes are not read as keys; a
// file of this size would hold a hundred thousand of them.
constexpr std::size_t KNOWN_HOSTS_LINE_LIMIT = HOST_KEY_TEXT_LIMIT;
constexpr std::size_t KNOWN_HOSTS_FILE_LIMIT = 16 * 1024 * 1024;

enum class HostKeyMatch { Unknown, Matches, Changed, Unreadable };

struct HostKeyCheck {
    HostKeyMatch match;
    std::size_t line;    // of the entry that differs or cannot be read, from 1; 0 otherwise
    std::string problem; // for Unreadable, a sentence for the user
};

// True when the name can go into a line unchanged: no blanks, controls or
// brackets.
bool storableHostName(const std::string& host);

// The check on a file's text (exposed for tests).
HostKeyCheck checkKnownHostsText(const std::string& text, const std::string& host, uint16_t port,
                                 const RsaPublicKey& key);

class KnownHosts {
public:
    explicit KnownHosts(std::string path) : path_(std::move(path)) {}
    // $XDG_STATE_HOME/kestrel1/known_hosts, else ~/.local/state/kestrel1/known_hosts.
    static std::string defaultPath();

    HostKeyCheck check(const std::string& host, uint16_t port, const RsaPublicKey& key) const;
    // Appends the key through a new file renamed over the old one; false when
    // it cannot be written or the old file cannot be read.
    bool add(const std::string& host, uint16_t port, const RsaPublicKey& key) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace kestrel
