// Command line of the headless client.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::cli {

// Exit codes, one per way a run can end.
constexpr int EXIT_SESSION_ENDED = 0;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CONNECT_FAILED = 3;
constexpr int EXIT_LOGIN_REFUSED = 4;
constexpr int EXIT_PROTOCOL_FAILED = 5;
constexpr int EXIT_TIMED_OUT = 6;

// A password file is one line; anything longer is not a password file.
constexpr std::size_t PASSWORD_FILE_LIMIT = 4096;

struct ScriptStep {
    bool send;        // true: type text; false: wait until the text is seen
    std::string text;
};

struct Options {
    std::string host;
    uint16_t port = 22;
    std::string user;
    std::string password;
    uint32_t cipher = 3;
    bool vt52 = false;
    uint32_t columns = 80;
    uint32_t rows = 24;
    double timeoutSeconds = 30;
    bool screen = false;
    bool insertionCheck = true;
    std::vector<ScriptStep> script;
};

// "\n", "\r", "\t", "\e" and "\\" become their bytes; other text stays.
std::string unescape(const std::string& text);
// false (with a message in error) for a bad command line.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char* const USAGE;

} // namespace kestrel::cli
