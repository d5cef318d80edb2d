// What the scripted clients' command lines have in common: where to connect,
// who logs in, the cipher, the overall bound and the script of sends and
// waits. Each tool adds its own options around these.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::tools {

// Exit codes, one per way a run can end (both tools report the same).
constexpr int EXIT_SESSION_ENDED = 0;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CONNECT_FAILED = 3;
constexpr int EXIT_LOGIN_REFUSED = 4;
constexpr int EXIT_PROTOCOL_FAILED = 5;
constexpr int EXIT_TIMED_OUT = 6;
// The interactive client's code for the same end.
constexpr int EXIT_HOST_KEY_REFUSED = 253;

// A password file is one line; anything longer is not a password file.
constexpr std::size_t PASSWORD_FILE_LIMIT = 4096;

struct ScriptStep {
    bool send;        // true: type text; false: wait until the text is seen
    std::string text;
};

struct CommonOptions {
    std::string host;
    uint16_t port = 22;
    std::string portText = "22";  // as given, for a program that types it
    std::string user;
    std::string password;
    uint32_t cipher = 3;          // protocol number: 3 3DES, 6 Blowfish, 0 none
    bool cipherGiven = false;
    double timeoutSeconds = 30;
    std::vector<ScriptStep> script;
    bool passwordGiven = false;
};

enum class OptionResult { NotMine, Taken, Bad };

// One "--name value" pair: taken into options, bad, or another tool's.
OptionResult takeCommonOption(const std::string& arg, const char* value, CommonOptions& options);
// After the last option: the environment's password unless a file gave one,
// and the required fields. false with a message in error.
bool finishCommonOptions(CommonOptions& options, std::string& error);

// "\n", "\r", "\t", "\e" and "\\" become their bytes; other text stays.
std::string unescape(const std::string& text);
// The file's first line; false when it cannot be read or is too long.
bool readPasswordFile(const std::string& path, std::string& password);

} // namespace kestrel::tools
