// Where the client's options come from, first source first: the command
// line's own flags, then -o Keyword=value, then ~/.ssh/config (or -F FILE),
// then kestrel1's settings file (the stored user name, terminal type and
// scroll-back), then the defaults.
#pragma once
#include <string>
#include <vector>

#include "posix/client_options.h"
#include "posix/ssh_config.h"

namespace kestrel::client {

// Values the command line gave with a flag of its own.
struct FlagsGiven {
    bool port = false;
    bool user = false;
    bool cipher = false;
    bool connectTimeout = false;
    bool acceptNewHostKey = false;
};

// The -o values, then the file: -F FILE (which must exist; "none" reads no
// file) or ~/.ssh/config when there is one. destination is the host as typed.
bool readSshConfig(const std::vector<std::string>& dashO, const std::string& file,
                   const std::string& destination, SshConfig& config, std::string& message);

// Fills what the flags left open from the configuration (host name, port,
// user and the rest) and adds its warnings to the options.
void applySshConfig(const SshConfig& config, const FlagsGiven& given, ClientOptions& options);

// ~ and ~/ at the start of a file name, as ssh_config writes them.
std::string expandHome(const std::string& path);

uint32_t cipherCode(const std::string& name);

} // namespace kestrel::client
