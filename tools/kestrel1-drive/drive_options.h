// Command line of kestrel1-drive: the headless client's options, worked
// through the real window instead of a bare session.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/kestrel1-cli/cli_options.h"

namespace kestrel::drive {

using cli::ScriptStep;

struct Options {
    std::string host;
    std::string port = "22";  // typed into the dialog as it stands
    std::string user;
    std::string password;
    uint32_t cipherCommand = 0;  // a Tools item, or 0 to leave the choice alone
    bool vt52 = false;
    double timeoutSeconds = 30;
    bool disconnect = false;
    std::string screenshot;
    std::string dialogPictures;  // a folder for connect.bmp, font.bmp, terminal-settings.bmp
    std::vector<ScriptStep> script;
};

// false (with a message in error, empty for --help) for a bad command line.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char* const USAGE;

} // namespace kestrel::drive
