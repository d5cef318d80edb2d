#include "tools/kestrel1-cli/cli_options.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace kestrel::cli {

const char* const USAGE = R"(usage: kestrel1-cli --host HOST --user USER [options]
Runs one protocol 1.5 terminal session without a window.

  --host HOST            server name or dotted address
  --port N               TCP port (default 22)
  --user NAME            user name
  --password-file FILE   first line of FILE is the password; otherwise the
                         environment variable KESTREL_PASSWORD (never give the
                         password on the command line)
  --cipher C             3des (default), blowfish or none
  --vt52                 ask for a vt52 terminal instead of vt100
  --cols N, --rows N     terminal size (default 80x24)
  --send TEXT            type TEXT once the shell runs (\n \r \t \e \\ escapes);
                         repeatable, in order with --wait-for
  --wait-for TEXT        wait until the server's output shows TEXT
  --timeout SECONDS      give up after this long (default 30)
  --screen               print the final screen instead of the raw output
                         (when built with the terminal core)
  --no-insertion-check   skip the check for spliced ciphertext blocks; only
                         for measuring its cost, never for real use

exit status: 0 session ran and ended, 2 usage, 3 connect failed,
4 login refused, 5 protocol failure, 6 timed out
)";

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out.push_back(text[i]);
            continue;
        }
        char next = text[++i];
        switch (next) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'e': out.push_back('\x1b'); break;
        case '\\': out.push_back('\\'); break;
        default: out.push_back('\\'); out.push_back(next); break;
        }
    }
    return out;
}

namespace {

bool number(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

bool readPassword(const std::string& path, std::string& password) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string line;
    line.resize(PASSWORD_FILE_LIMIT + 1);
    in.read(line.data(), std::streamsize(line.size()));
    line.resize(std::size_t(in.gcount()));
    if (line.size() > PASSWORD_FILE_LIMIT)
        return false;
    std::size_t end = line.find_first_of("\r\n");
    password = line.substr(0, end);
    std::fill(line.begin(), line.end(), '\0');
    return true;
}

} // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    bool passwordGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        const char* value = hasValue ? argv[i + 1] : "";
        double n = 0;
        if (arg == "--vt52") {
            options.vt52 = true;
            continue;
        }
        if (arg == "--screen") {
            options.screen = true;
            continue;
        }
        if (arg == "--no-insertion-check") {
            options.insertionCheck = false;
            continue;
        }
        if (arg == "--help") {
            error.clear();
            return false;
        }
        if (!hasValue) {
            error = "missing value for " + arg;
            return false;
        }
        ++i;
        if (arg == "--host")
            options.host = value;
        else if (arg == "--port" && number(value, 1, 65535, n))
            options.port = uint16_t(n);
        else if (arg == "--user")
            options.user = value;
        else if (arg == "--password-file") {
            if (!readPassword(value, options.password)) {
                error = std::string("cannot read password file ") + value;
                return false;
            }
            passwordGiven = true;
        } else if (arg == "--cipher" && std::strcmp(value, "3des") == 0)
            options.cipher = 3;
        else if (arg == "--cipher" && std::strcmp(value, "blowfish") == 0)
            options.cipher = 6;
        else if (arg == "--cipher" && std::strcmp(value, "none") == 0)
            options.cipher = 0;
        else if (arg == "--cols" && number(value, 1, 1024, n))
            options.columns = uint32_t(n);
        else if (arg == "--rows" && number(value, 1, 1024, n))
            options.rows = uint32_t(n);
        else if (arg == "--timeout" && number(value, 0.1, 86400, n))
            options.timeoutSeconds = n;
        else if (arg == "--send")
            options.script.push_back({true, unescape(value)});
        else if (arg == "--wait-for")
            options.script.push_back({false, unescape(value)});
        else {
            error = "bad option or value: " + arg + " " + value;
            return false;
        }
    }
    if (!passwordGiven) {
        if (const char* fromEnvironment = std::getenv("KESTREL_PASSWORD"))
            options.password = fromEnvironment;
    }
    if (options.host.empty() || options.user.empty()) {
        error = "--host and --user are required";
        return false;
    }
    return true;
}

} // namespace kestrel::cli
