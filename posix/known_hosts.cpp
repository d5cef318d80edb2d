#include "posix/known_hosts.h"

#include <cstdio>
#include <memory>
#include <sstream>
#include <unistd.h>
#include <vector>

#include "crypto/md5.h"
#include "posix/client_files.h"

namespace kestrel::client {

namespace {

std::string decimal(const mpz_t value) {
    std::unique_ptr<char, void (*)(void*)> text(mpz_get_str(nullptr, 10, value), std::free);
    return text.get();
}

std::vector<uint8_t> bytesOf(const mpz_t value) {
    std::vector<uint8_t> bytes((mpz_sizeinbase(value, 2) + 7) / 8);
    std::size_t written = 0;
    mpz_export(bytes.data(), &written, 1, 1, 1, 0, value);
    bytes.resize(written);
    return bytes;
}

std::string hostField(const std::string& host, uint16_t port) {
    return "[" + host + "]:" + std::to_string(port);
}

std::string entryKey(const RsaPublicKey& key) {
    return std::to_string(key.bits) + " " + decimal(key.exponent) + " " + decimal(key.modulus);
}

} // namespace

std::string hostKeyFingerprint(const RsaPublicKey& key) {
    std::vector<uint8_t> material = bytesOf(key.modulus);
    std::vector<uint8_t> exponent = bytesOf(key.exponent);
    material.insert(material.end(), exponent.begin(), exponent.end());
    Md5Context md5;
    md5Init(md5);
    md5Update(md5, material.data(), uint32_t(material.size()));
    uint8_t digest[16];
    md5Final(digest, md5);
    std::string text = "MD5";
    char hex[4];
    for (uint8_t byte : digest) {
        std::snprintf(hex, sizeof hex, ":%02x", byte);
        text += hex;
    }
    return text;
}

std::string KnownHosts::defaultPath() { return xdgFile("XDG_STATE_HOME", ".local/state", "known_hosts"); }

HostKeyCheck KnownHosts::check(const std::string& host, uint16_t port, const RsaPublicKey& key) const {
    std::optional<std::string> text = readSmallFile(path_, KNOWN_HOSTS_FILE_LIMIT);
    if (!text)
        return {HostKeyMatch::Unknown, 0};
    std::string wantedHost = hostField(host, port);
    std::string wantedKey = entryKey(key);
    HostKeyCheck result{HostKeyMatch::Unknown, 0};
    std::istringstream lines(*text);
    std::string line;
    for (std::size_t number = 1; std::getline(lines, line); ++number) {
        if (line.size() > KNOWN_HOSTS_LINE_LIMIT || line.compare(0, wantedHost.size() + 1, wantedHost + " ") != 0)
            continue;
        if (line.substr(wantedHost.size() + 1) == wantedKey)
            return {HostKeyMatch::Matches, 0};
        if (result.match == HostKeyMatch::Unknown)
            result = {HostKeyMatch::Changed, number};
    }
    return result;
}

bool KnownHosts::add(const std::string& host, uint16_t port, const RsaPublicKey& key) const {
    std::optional<std::string> old = readSmallFile(path_, KNOWN_HOSTS_FILE_LIMIT);
    // A file that exists but cannot be read must not be replaced by one line.
    if (!old && access(path_.c_str(), F_OK) == 0)
        return false;
    std::string text = old.value_or("");
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += hostField(host, port) + " " + entryKey(key) + "\n";
    return replaceFile(path_, text, 0600);
}

} // namespace kestrel::client
