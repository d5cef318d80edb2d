// Command line of kestrel1-drive: the headless client's options, worked
// through the real window instead of a bare session.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/tool_options.h"

namespace kestrel::drive {

using tools::ScriptStep;

// The port is typed into the dialog as it stands (portText).
struct Options : tools::CommonOptions {
    uint32_t cipherCommand = 0;  // a Tools item, or 0 to leave the choice alone
    bool vt52 = false;
    bool disconnect = false;
    bool acceptNewHostKey = false;
    std::string storedHostKey;  // put on record for the server before connecting
    std::string screenshot;
    std::string dialogPictures;  // a folder for connect.bmp, font.bmp, terminal-settings.bmp
};

// false (with a message in error, empty for --help) for a bad command line.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char* const USAGE;

} // namespace kestrel::drive
