#include "tools/kestrel1-drive/drive_options.h"

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "shell/resource_ids.h"

namespace kestrel::drive {

const char* const USAGE = R"(usage: kestrel1-drive --host HOST --user USER [options]
Runs Kestrel1's real main window and works it as a user would: the Connect
dialog, the Tools items, Terminal Settings, typed keys and Disconnect.

  --host HOST            server name or dotted address (typed into the dialog)
  --port N               TCP port (default 22)
  --user NAME            user name
  --password-file FILE   first line of FILE is the password; otherwise the
                         environment variable KESTREL_PASSWORD
  --cipher C             3des, blowfish or none, chosen in the Tools menu
  --vt52                 VT-52 instead of VT-100 (chosen in Terminal Settings
                         when the stored type differs)
  --send TEXT            type TEXT once the shell runs (\n \r \t \e \\ escapes);
                         repeatable, in order with --wait-for
  --wait-for TEXT        wait until the server's output shows TEXT
  --timeout SECONDS      give up after this long (default 30)
  --disconnect           choose Disconnect after the script instead of
                         waiting for the server to end the session
  --screenshot FILE.bmp  save the terminal area as painted, at the end
  --dialog-pictures DIR  save the Font, Terminal Settings and (filled in)
                         Connect dialogs as DIR/font.bmp, terminal-settings.bmp
                         and connect.bmp on the way to the session
                         (copied from the screen: needs a display)

Prints the final screen (vtreplay's format) and the message boxes shown.
exit status: 0 session ran and ended, 2 usage, 3 connect failed,
4 login refused, 5 protocol failure, 6 timed out
)";

namespace {

bool readPassword(const std::string& path, std::string& password) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string text(cli::PASSWORD_FILE_LIMIT + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(in.gcount()));
    bool fits = text.size() <= cli::PASSWORD_FILE_LIMIT;
    if (fits)
        password = text.substr(0, text.find_first_of("\r\n"));
    std::fill(text.begin(), text.end(), '\0');
    return fits;
}

bool cipherCommandFor(const char* name, uint32_t& command) {
    if (std::strcmp(name, "3des") == 0)
        command = IDM_CIPHER_3DES;
    else if (std::strcmp(name, "blowfish") == 0)
        command = IDM_CIPHER_BLOWFISH;
    else if (std::strcmp(name, "none") == 0)
        command = IDM_CIPHER_NONE;
    else
        return false;
    return true;
}

bool portText(const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= 1 && value <= 65535;
}

bool valueOption(const std::string& arg, const char* value, Options& options, bool& passwordGiven) {
    char* end = nullptr;
    if (arg == "--host")
        options.host = value;
    else if (arg == "--port" && portText(value))
        options.port = value;
    else if (arg == "--user")
        options.user = value;
    else if (arg == "--password-file") {
        if (!readPassword(value, options.password))
            return false;
        passwordGiven = true;
    } else if (arg == "--cipher")
        return cipherCommandFor(value, options.cipherCommand);
    else if (arg == "--timeout") {
        options.timeoutSeconds = std::strtod(value, &end);
        return end != value && *end == '\0' && options.timeoutSeconds >= 0.1 &&
               options.timeoutSeconds <= 86400;
    } else if (arg == "--send")
        options.script.push_back({true, cli::unescape(value)});
    else if (arg == "--wait-for")
        options.script.push_back({false, cli::unescape(value)});
    else if (arg == "--screenshot")
        options.screenshot = value;
    else if (arg == "--dialog-pictures")
        options.dialogPictures = value;
    else
        return false;
    return true;
}

} // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    bool passwordGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help") {
            error.clear();
            return false;
        }
        if (arg == "--vt52" || arg == "--disconnect") {
            (arg == "--vt52" ? options.vt52 : options.disconnect) = true;
            continue;
        }
        if (i + 1 == argc) {
            error = "missing value for " + arg;
            return false;
        }
        const char* value = argv[++i];
        if (!valueOption(arg, value, options, passwordGiven)) {
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

} // namespace kestrel::drive
