#include "engine/known_hosts.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace kestrel {

namespace {

namespace fs = std::filesystem;

std::string hostField(const std::string& host, uint16_t port) {
    return "[" + host + "]:" + std::to_string(port);
}

enum class FileRead { Missing, Read, Failed, TooLarge };

FileRead readWhole(const std::string& path, std::string& text) {
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found)
        return FileRead::Missing;
    std::ifstream in(path, std::ios::binary);
    if (error || status.type() != fs::file_type::regular || !in)
        return FileRead::Failed;
    text.assign(KNOWN_HOSTS_FILE_LIMIT + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    if (in.bad())
        return FileRead::Failed;
    text.resize(std::size_t(in.gcount()));
    return text.size() > KNOWN_HOSTS_FILE_LIMIT ? FileRead::TooLarge : FileRead::Read;
}

std::string whyUnreadable(FileRead result, const std::string& path) {
    if (result == FileRead::TooLarge)
        return path + " is larger than " + std::to_string(KNOWN_HOSTS_FILE_LIMIT) + " bytes";
    return path + " cannot be read";
}

bool writeNew(const std::string& path, const std::string& text) {
    std::error_code error;
    fs::path target(path);
    if (target.has_parent_path() && !fs::exists(target.parent_path(), error)) {
        fs::create_directories(target.parent_path(), error);
        fs::permissions(target.parent_path(), fs::perms::owner_all, error);
        if (error)
            return false;
    }
    std::string temporary = path + ".new";
    {
        // Rights narrowed before the keys go in.
        std::ofstream create(temporary, std::ios::binary | std::ios::trunc);
        if (!create)
            return false;
    }
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write, error);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (error || !out) {
        fs::remove(temporary, error);
        return false;
    }
    fs::rename(temporary, target, error);
    if (error) {
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

} // namespace

bool storableHostName(const std::string& host) {
    if (host.empty())
        return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f || c == '[' || c == ']')
            return false;
    return true;
}

HostKeyCheck checkKnownHostsText(const std::string& text, const std::string& host, uint16_t port,
                                 const RsaPublicKey& key) {
    std::string wanted = hostField(host, port) + " ";
    HostKeyCheck result{HostKeyMatch::Unknown, 0, {}};
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, wanted.size(), wanted) != 0)
            continue;
        StoredKeyMatch match = line.size() > KNOWN_HOSTS_LINE_LIMIT
                                   ? StoredKeyMatch::Unreadable
                                   : compareStoredKey(line.substr(wanted.size()), key);
        if (match == StoredKeyMatch::Unreadable)
            return {HostKeyMatch::Unreadable, number, "line " + std::to_string(number) + " cannot be read"};
        if (match == StoredKeyMatch::Same)
            return {HostKeyMatch::Matches, 0, {}};
        if (result.match == HostKeyMatch::Unknown)
            result = {HostKeyMatch::Changed, number, {}};
    }
    return result;
}

std::string KnownHosts::defaultPath() {
    const char* base = std::getenv("XDG_STATE_HOME");
    std::string folder;
    if (base != nullptr && base[0] == '/') {
        folder = base;
    } else {
        const char* home = std::getenv("HOME");
        folder = std::string(home != nullptr ? home : ".") + "/.local/state";
    }
    return folder + "/kestrel1/known_hosts";
}

HostKeyCheck KnownHosts::check(const std::string& host, uint16_t port, const RsaPublicKey& key) const {
    if (!storableHostName(host))
        return {HostKeyMatch::Unreadable, 0, "the host name cannot be looked up in " + path_};
    std::string text;
    FileRead read = readWhole(path_, text);
    if (read == FileRead::Missing)
        return {HostKeyMatch::Unknown, 0, {}};
    if (read != FileRead::Read)
        return {HostKeyMatch::Unreadable, 0, whyUnreadable(read, path_)};
    HostKeyCheck result = checkKnownHostsText(text, host, port, key);
    if (result.match == HostKeyMatch::Unreadable)
        result.problem = path_ + ": " + result.problem;
    return result;
}

bool KnownHosts::add(const std::string& host, uint16_t port, const RsaPublicKey& key) const {
    std::string text;
    FileRead read = readWhole(path_, text);
    // A file that exists but cannot be read must not be replaced by one line.
    if (!storableHostName(host) || (read != FileRead::Read && read != FileRead::Missing))
        return false;
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    text += hostField(host, port) + " " + hostKeyText(key) + "\n";
    return writeNew(path_, text);
}

} // namespace kestrel
