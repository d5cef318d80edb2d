#include "posix/terminal_io.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel::client {

namespace {

// What the fatal-signal handler needs, kept where it can read it safely.
struct termios savedModes;
volatile sig_atomic_t savedFd = -1;
int pipeEnds[2] = {-1, -1};

const char RESET_SEQUENCE[] = "\x1b[0m\x1b[?25h\r\n";

void restoreForCrash(int signalNumber) {
    if (savedFd >= 0) {
        tcsetattr(savedFd, TCSAFLUSH, &savedModes);
        ssize_t ignored = write(savedFd, RESET_SEQUENCE, sizeof RESET_SEQUENCE - 1);
        (void)ignored;
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void forwardSignal(int signalNumber) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signalNumber);
    ssize_t ignored = write(pipeEnds[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void handle(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signalNumber, &action, nullptr);
}

} // namespace

bool RawMode::enter(int fd) {
    if (active_ || tcgetattr(fd, &savedModes) != 0)
        return active_;
    struct termios raw = savedModes;
    cfmakeraw(&raw);
    if (tcsetattr(fd, TCSAFLUSH, &raw) != 0)
        return false;
    savedFd = fd;
    active_ = true;
    for (int fatal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        handle(fatal, restoreForCrash, SA_RESETHAND);
    return true;
}

void RawMode::leave() {
    if (!active_)
        return;
    tcsetattr(savedFd, TCSAFLUSH, &savedModes);
    savedFd = -1;
    active_ = false;
}

bool installSignalPipe() {
    if (pipeEnds[0] >= 0)
        return true;
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    for (int forwarded : {SIGWINCH, SIGINT, SIGTERM, SIGHUP})
        handle(forwarded, forwardSignal, SA_RESTART);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

int signalPipe() { return pipeEnds[0]; }

SignalsSeen takeSignals() {
    SignalsSeen seen;
    unsigned char bytes[64];
    ssize_t n;
    while ((n = read(pipeEnds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == SIGWINCH)
                seen.resized = true;
            else if (seen.terminate == 0)
                seen.terminate = bytes[i];
        }
    }
    return seen;
}

bool windowSize(int fd, int& columns, int& rows, int& pixelWidth, int& pixelHeight) {
    struct winsize size;
    if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0)
        return false;
    columns = size.ws_col;
    rows = size.ws_row;
    pixelWidth = size.ws_xpixel;
    pixelHeight = size.ws_ypixel;
    return true;
}

void writeTerminal(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

} // namespace kestrel::client
