// How a session's end becomes kestrel1's exit code and the one line that
// tells the user why.
#pragma once
#include <string>

#include "engine/protocol.h"
#include "posix/client_host.h"
#include "posix/client_options.h"

namespace kestrel::client {

// The remote exit status when the server sent one, otherwise one of the
// client's own codes with `reason` set. `detail`, when not empty, is the
// engine's own account of a protocol failure.
int sessionExitCode(SessionEnd end, const SessionState& state, const ClientHost& host,
                    const ClientOptions& options, const std::string& detail, std::string& reason);

} // namespace kestrel::client
