// The user's terminal: raw mode and its restoration on every way out, the
// signals that matter to an interactive client, and the window size.
#pragma once
#include <string>

namespace kestrel::client {

// Puts the terminal into raw mode. The saved modes are put back by leave(),
// by the destructor, and by a handler of the fatal signals (a crash must not
// leave the user's terminal unusable).
class RawMode {
public:
    RawMode() = default;
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode() { leave(); }

    bool enter(int fd);
    void leave();

private:
    bool active_ = false;
};

// SIGWINCH, SIGINT, SIGTERM and SIGHUP are turned into bytes on a pipe that
// the main loop polls; SIGPIPE is ignored (a lost connection shows as a
// failed send instead).
bool installSignalPipe();
int signalPipe();

struct SignalsSeen {
    bool resized = false;
    int terminate = 0; // the first ending signal, 0 if none
};
// Drains the pipe.
SignalsSeen takeSignals();

// Columns and rows of the terminal; false when it has no size.
bool windowSize(int fd, int& columns, int& rows, int& pixelWidth, int& pixelHeight);

// Writes all bytes to the terminal, retrying after interruptions.
void writeTerminal(int fd, const std::string& bytes);

} // namespace kestrel::client
