// kestrel1: an SSH protocol 1.5 client for POSIX terminals, with the
// handheld's engine and terminal for interactive sessions, and remote
// commands and pipes for scripts.
#include <cstdio>
#include <string>
#include <unistd.h>

#include "engine/printable_text.h"
#include "posix/client_app.h"
#include "posix/client_options.h"
#include "posix/pipe_client.h"
#include "posix/keygen_command.h"
#include "posix/settings_file.h"

int main(int argc, char** argv) {
    using namespace kestrel::client;
    SettingsFile settings(SettingsFile::defaultPath());
    settings.load();
    ClientOptions options;
    std::string message;
    switch (parseCommandLine(argc, argv, readClientSettings(settings), options, message)) {
    case ParseResult::Exit:
        std::fputs(message.c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "kestrel1: %s\nRun with --help for more information.\n", message.c_str());
        return EXIT_USAGE;
    case ParseResult::Run:
        break;
    }
    for (const std::string& warning : options.warnings)
        std::fprintf(stderr, "kestrel1: %s\n", warning.c_str());
    std::string reason;
    if (!options.keygenFile.empty()) {
        int code = runKeygen(options, reason);
        wipeSecrets(options);
        if (!reason.empty())
            std::fprintf(stderr, "kestrel1: %s\n", reason.c_str());
        return code;
    }
    rememberConnection(settings, options.host, options.user, std::to_string(options.port));
    settings.save();
    SessionMode mode = chooseSessionMode(options, isatty(0) != 0, isatty(1) != 0);
    int code = mode.interactive ? runClient(options, reason) : runPipeClient(options, mode.requestTerminal, reason);
    wipeSecrets(options);
    if (!reason.empty())
        std::fprintf(stderr, "kestrel1: %s\n", kestrel::printable(reason).c_str()); // names from the settings or the command line
    return code;
}
