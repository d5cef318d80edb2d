// The command line of kestrel1, and the exit codes it promises.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/session_host.h"
#include "engine/compression.h"
#include "posix/port_forward.h"
#include "posix/settings_file.h"

namespace kestrel::client {

// Exit codes of the client itself; otherwise it exits with the remote
// command's status, or 128 + the signal that ended it.
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CONNECT_FAILED = 251;
constexpr int EXIT_LOGIN_REFUSED = 252;
constexpr int EXIT_HOST_KEY_REFUSED = 253;
constexpr int EXIT_PROTOCOL_FAILED = 254;
constexpr int EXIT_SESSION_LOST = 255; // no exit status: disconnected, lost, ~.

constexpr double DEFAULT_CONNECT_TIMEOUT = 15;
// Longer than any network needs; a larger value only hides a typing error.
constexpr double MAX_CONNECT_TIMEOUT = 3600;
// Host names longer than DNS allows are not host names.
constexpr std::size_t MAX_HOST_NAME = 253;
// A password file holds one line; more is not a password file.
constexpr std::size_t PASSWORD_FILE_LIMIT = 4096;
// The server takes passwords up to this length.
constexpr std::size_t MAX_PASSWORD = 1024;

// StrictHostKeyChecking. "no" means AcceptNew here: a changed key is never
// taken silently. Ask without a terminal refuses.
enum class HostKeyChecking { Ask, Yes, AcceptNew };

struct ClientOptions {
    std::string host;
    uint16_t port = 22;
    std::string user;
    std::string password;  // from KESTREL_PASSWORD or --password-file
    bool havePassword = false;
    uint32_t cipher = 3;
    bool vt52 = false;
    uint32_t scrollbackLines = 100;
    double connectTimeout = DEFAULT_CONNECT_TIMEOUT;
    bool acceptNewHostKey = false;
    PasswordCamouflage camouflage = PasswordCamouflage::IgnoreMessages;
    bool obscureKeystrokeTiming = true;
    // -C, -F, -o and what ~/.ssh/config says (see applySshConfig).
    bool compression = false;
    int compressionLevel = COMPRESSION_LEVEL_DEFAULT;
    bool tcpKeepAlive = true;
    HostKeyChecking hostKeyChecking = HostKeyChecking::Ask;
    std::string knownHostsFile; // empty: the default
    std::string requestTty;     // yes, no, force, auto; empty when not set
    std::vector<std::string> identityFiles, localForwards, remoteForwards;
    // localForwards and remoteForwards as read: -L and -R first, then the
    // configuration's lines.
    std::vector<PortForward> localTunnels, remoteTunnels;
    std::vector<std::string> warnings; // for stderr before the session starts
    // The remote command, its words joined by spaces as the server's shell
    // reads them; none for a shell.
    std::optional<std::string> command;
    bool forceTerminal = false; // -t
    bool noTerminal = false;    // -T
    bool verbose = false;       // -v: the status lines on stderr
    bool quiet = false;         // -q: no warnings
    // identityFiles are tried in order: -i first, then IdentityFile lines of
    // a configuration; none given: ~/.ssh/identity when it exists.
    std::string passphrase; // from KESTREL_PASSPHRASE or --passphrase-file
    bool havePassphrase = false;
    // --keygen FILE: make a key pair instead of connecting.
    std::string keygenFile;
    uint32_t keygenBits = 0;
    std::string keygenComment;
    bool keygenCommentGiven = false;
};

// The interactive session shows the server through the terminal emulator;
// every other session passes the bytes through untouched.
struct SessionMode {
    bool interactive;
    bool requestTerminal;
};
SessionMode chooseSessionMode(const ClientOptions& options, bool stdinIsTerminal, bool stdoutIsTerminal);

// The warning a cipher choice deserves, empty when none.
std::string cipherWarning(uint32_t cipher);

// Clears the password and the passphrase once the run is over.
void wipeSecrets(ClientOptions& options);

enum class ParseResult { Run, Exit, Error };

// Fills options from the command line, the environment and the stored
// settings (which supply the user name, the terminal type, the scroll-back
// and the wire-hiding choices, per host or for all, when the command line
// does not). message is the help text
// (Exit) or the complaint (Error).
// Everything from the first word after the destination on is the command,
// whatever looks like an option in it.
ParseResult parseCommandLine(int argc, char** argv, const ClientSettings& stored, ClientOptions& options,
                             std::string& message);

// "[user@]host[:port]", with "[address]:port" for IPv6 addresses. False for
// an empty, over-long or malformed host or port.
bool splitTarget(const std::string& target, std::string& user, std::string& host, int& port);

} // namespace kestrel::client
