// The settings people already keep for their other clients: ~/.ssh/config
// (or -F FILE) in ssh_config's format, and -o Keyword=value on the command
// line, which is read first and so wins (the first value found for a
// keyword is the one used). Only the keywords this client can act on are
// kept; those only protocol 2 knows, and unknown ones, are passed over
// without a word, as another client's file is bound to hold them.
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace kestrel::client {

// Include files that include each other would otherwise never end.
constexpr int MAX_INCLUDE_DEPTH = 16;
// Wildcards in Include can fan out; this many files read is far beyond any
// real configuration.
constexpr std::size_t MAX_CONFIG_FILES = 256;
// A configuration file larger than this is not one a person wrote.
constexpr std::size_t CONFIG_FILE_LIMIT = 1024 * 1024;

// Keywords in lower case, as ssh_config compares them.
struct SshConfig {
    // First value of each single-valued keyword.
    std::map<std::string, std::string> values;
    // Keywords that add up (IdentityFile, LocalForward, RemoteForward).
    std::map<std::string, std::vector<std::string>> lists;
    std::vector<std::string> warnings;

    const std::string* find(const std::string& keyword) const;
};

class SshConfigReader {
public:
    // host: the destination as typed (Host patterns match it); home: the
    // folder ~ stands for (relative Include paths start in its .ssh).
    SshConfigReader(std::string host, const std::string& home, SshConfig& into)
        : host_(std::move(host)), home_(home), sshFolder_(home + "/.ssh"), config_(into) {}

    // One -o argument: "Keyword=value" or "Keyword value".
    bool addOption(const std::string& text, std::string& error);
    // A file; a missing one is an error only when required (-F).
    bool readFile(const std::string& path, bool required, std::string& error);
    // Text as if read from a file of that name (the fuzz target's way in).
    bool readText(const std::string& text, const std::string& name, std::string& error);

private:
    bool readFileAt(const std::string& path, bool required, int depth, std::string& error);
    bool parse(const std::string& text, const std::string& name, int depth, std::string& error);
    bool include(const std::vector<std::string>& arguments, int depth, std::string& error);
    bool apply(const std::string& keyword, const std::vector<std::string>& arguments, std::string& error);

    std::string host_;
    std::string home_;
    std::string sshFolder_;
    SshConfig& config_;
    std::size_t filesRead_ = 0;
    bool matchWarned_ = false;
};

// ssh_config's patterns: * any run, ? any one character, letter case ignored.
bool matchPattern(const std::string& text, const std::string& pattern);
// A Host line's patterns against the host: some positive pattern matches and
// no negated (!) one does.
bool matchHostPatterns(const std::string& host, const std::vector<std::string>& patterns);

} // namespace kestrel::client
