#include "tools/kestrel1-cli/cli_options.h"

#include <cstdlib>

#include "engine/settings_schema.h"

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
  --password-camouflage ignore|pad|none
                         hide the password's length among ignore messages
                         (default), by zero padding, or not at all
  --raw                  write the server's output byte for byte even to a
                         terminal (otherwise controls that could drive it
                         are shown as escapes; pipes and files get every byte)
  --known-hosts FILE     host keys trusted so far (default: the one kestrel1
                         keeps, $XDG_STATE_HOME/kestrel1/known_hosts)
  --accept-new-host-key  trust and remember a host key seen for the first
                         time (a changed key is always refused)
  --no-insertion-check   skip the check for spliced ciphertext blocks; only
                         for measuring its cost, never for real use

exit status: 0 session ran and ended, 2 usage, 3 connect failed,
4 login refused, 5 protocol failure, 6 timed out, 253 host key refused
)";

namespace {

bool number(const char* text, double low, double high, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

bool ownOption(const std::string& arg, const char* value, Options& options) {
    double n = 0;
    if (arg == "--cols" && number(value, 1, 1024, n))
        options.columns = uint32_t(n);
    else if (arg == "--rows" && number(value, 1, 1024, n))
        options.rows = uint32_t(n);
    else if (arg == "--password-camouflage" && settings::camouflageFromText(value))
        options.camouflage = *settings::camouflageFromText(value);
    else if (arg == "--known-hosts" && value[0] != '\0')
        options.knownHosts = value;
    else
        return false;
    return true;
}

} // namespace

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--vt52" || arg == "--screen") {
            (arg == "--vt52" ? options.vt52 : options.screen) = true;
            continue;
        }
        if (arg == "--no-insertion-check" || arg == "--raw" || arg == "--accept-new-host-key") {
            (arg == "--raw" ? options.raw : arg == "--accept-new-host-key" ? options.acceptNewHostKey
                                                                             : options.insertionCheck) =
                arg != "--no-insertion-check";
            continue;
        }
        if (arg == "--help") {
            error.clear();
            return false;
        }
        if (i + 1 == argc) {
            error = "missing value for " + arg;
            return false;
        }
        const char* value = argv[++i];
        tools::OptionResult result = tools::takeCommonOption(arg, value, options);
        if (result == tools::OptionResult::Bad && arg == "--password-file") {
            error = std::string("cannot read password file ") + value;
            return false;
        }
        if (result == tools::OptionResult::Bad ||
            (result == tools::OptionResult::NotMine && !ownOption(arg, value, options))) {
            error = "bad option or value: " + arg + " " + value;
            return false;
        }
    }
    return tools::finishCommonOptions(options, error);
}

} // namespace kestrel::cli
