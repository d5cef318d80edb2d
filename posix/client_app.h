// The interactive client: the session on a worker thread, and on the main
// thread a loop over the user's keys, the signals and the session's output,
// drawing the terminal in frames.
#pragma once
#include <string>

#include "posix/client_options.h"

namespace kestrel::client {

// Frames are drawn at most this often: a flood of output costs one redraw
// per frame however many packets arrived, and typing still echoes at once.
constexpr int FRAME_INTERVAL_MS = 20;
// An Escape with nothing after it for this long was the Escape key itself.
constexpr int KEY_FLUSH_MS = 30;
// Bytes read from the keyboard at a time (a paste arrives in such pieces).
constexpr std::size_t KEY_READ_SIZE = 4096;

// Runs one session connected to options.host and returns the exit code; the
// reason for any failure is in `reason` (empty for a normal end).
// The password in options is wiped once the session has its own copy.
int runClient(ClientOptions& options, std::string& reason);

} // namespace kestrel::client
