// kestrel1 outside an interactive session: a remote command, or a shell fed
// from standard input. The server's stdout and stderr reach ours byte for
// byte, our stdin goes to the server until its end, and the remote exit
// status becomes ours. Nothing passes through the terminal emulator.
#pragma once
#include <cstddef>
#include <mutex>
#include <string>

#include "engine/status_log.h"
#include "posix/client_options.h"

namespace kestrel::client {

// Standard input is read and sent in pieces of this size; the send waits
// while the connection takes no more, so memory stays bounded however much
// comes (and a piece fits one standard-input packet).
constexpr std::size_t PIPE_READ_SIZE = 32 * 1024;
// $TERM is sent in the pty request; the server takes no longer names.
constexpr std::size_t MAX_TERMINAL_TYPE = 64;

// Runs one session; the exit code, with the reason for a failure in `reason`.
int runPipeClient(const ClientOptions& options, bool requestTerminal, std::string& reason);

// The terminal type for a pty request: $TERM when it is a plausible name,
// else "vt100".
std::string terminalTypeFrom(const char* term);

// Status lines of the engine on stderr: all of them with -v, else only the
// warnings (none with -q). The last error line is kept for the final reason.
class StderrStatus : public StatusSink {
public:
    StderrStatus(int fd, bool verbose, bool quiet) : fd_(fd), verbose_(verbose), quiet_(quiet) {}
    void feedText(const char* text, std::size_t length) override;
    std::string lastError() const;

private:
    void finishLine();

    int fd_;
    bool verbose_;
    bool quiet_;
    mutable std::mutex lock_;
    std::string line_;
    std::string lastError_;
};

} // namespace kestrel::client
