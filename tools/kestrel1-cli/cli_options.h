// Command line of the headless client.
#pragma once
#include <cstdint>
#include <string>

#include "engine/session_host.h"
#include "tools/common/tool_options.h"

namespace kestrel::cli {

using tools::EXIT_CONNECT_FAILED;
using tools::EXIT_HOST_KEY_REFUSED;
using tools::EXIT_LOGIN_REFUSED;
using tools::EXIT_PROTOCOL_FAILED;
using tools::EXIT_SESSION_ENDED;
using tools::EXIT_TIMED_OUT;
using tools::EXIT_USAGE;
using tools::ScriptStep;
using tools::unescape;

struct Options : tools::CommonOptions {
    bool vt52 = false;
    uint32_t columns = 80;
    uint32_t rows = 24;
    bool screen = false;
    bool insertionCheck = true;
    PasswordCamouflage camouflage = PasswordCamouflage::IgnoreMessages;
    bool raw = false;              // server output byte for byte even to a terminal
    bool acceptNewHostKey = false;
    std::string knownHosts;        // empty: the interactive client's file
};

// false (with a message in error) for a bad command line.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

extern const char* const USAGE;

} // namespace kestrel::cli
