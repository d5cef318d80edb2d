#include "posix/pipe_client.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "crypto/secure_zero.h"
#include "engine/printable_text.h"
#include "posix/key_input.h"
#include "posix/session_end.h"
#include "posix/tcp_connect.h"
#include "posix/terminal_io.h"

namespace kestrel::client {

namespace {

constexpr int PIPE_IN = 0;
constexpr int PIPE_OUT = 1;
constexpr int PIPE_ERR = 2;

// Waits out a descriptor that was left non-blocking by whoever opened it.
bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EAGAIN) {
            pollfd wait = {fd, POLLOUT, 0};
            poll(&wait, 1, -1);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= std::size_t(n);
    }
    return true;
}

bool isWarning(const std::string& line) {
    return line.rfind("Warning", 0) == 0 || line.rfind("WARNING", 0) == 0 || line.rfind("Host key remembered", 0) == 0;
}

// A question for the person at the controlling terminal, when there is one;
// standard input and output belong to the data.
std::optional<std::string> askOnTerminal(const std::string& question, bool echo) {
    int fd = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;
    writeAll(fd, question.data(), question.size());
    termios saved{};
    bool quiet = !echo && tcgetattr(fd, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(fd, TCSAFLUSH, &silent);
    }
    std::string answer;
    char byte = 0;
    bool ended = false;
    for (;;) {
        ssize_t n = read(fd, &byte, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        if (byte == '\n' || byte == '\r')
            break;
        if (answer.size() < MAX_ANSWER)
            answer += byte;
    }
    if (quiet) {
        tcsetattr(fd, TCSAFLUSH, &saved);
        writeAll(fd, "\n", 1);
    }
    close(fd);
    if (ended) {
        secureZero(answer.data(), answer.size());
        return std::nullopt;
    }
    return answer;
}

class PipeHost : public ClientHost {
public:
    PipeHost(const ClientOptions& options, Prompter& prompter, bool terminal, int wakeFd)
        : ClientHost(options, TerminalGeometry{24, 80, 0, 0}, prompter, knownHostsFor(options)),
          command_(options.command), terminal_(terminal), wakeFd_(wakeFd) {}

    SessionRequest request() const override { return {terminal_, command_}; }
    std::string terminalType() const override { return terminalTypeFrom(std::getenv("TERM")); }
    bool takeOutput(OutputStream which, const char* data, std::size_t length) override {
        if (outputFailed_.load())
            return true;
        if (!writeAll(which == OutputStream::Stderr ? PIPE_ERR : PIPE_OUT, data, length)) {
            outputError_ = errno;
            outputFailed_.store(true);
            wake();
        }
        return true;
    }
    void sessionStarted() override {
        ClientHost::sessionStarted();
        started_.store(true);
        wake();
    }

    void wake() {
        char byte = 1;
        ssize_t ignored = write(wakeFd_, &byte, 1);
        (void)ignored;
    }
    bool started() const { return started_.load(); }
    bool outputFailed() const { return outputFailed_.load(); }
    int outputError() const { return outputError_; }

private:
    std::optional<std::string> command_;
    bool terminal_;
    int wakeFd_;
    std::atomic<bool> started_{false};
    std::atomic<bool> outputFailed_{false};
    int outputError_ = 0;
};

// The descriptor whose size a pty request reports: the first of ours that
// is a terminal.
int sizedTerminal() {
    for (int fd : {PIPE_IN, PIPE_OUT, PIPE_ERR})
        if (isatty(fd))
            return fd;
    return -1;
}

TerminalGeometry measure() {
    int columns = 80, rows = 24, width = 0, height = 0;
    int fd = sizedTerminal();
    if (fd < 0 || !windowSize(fd, columns, rows, width, height))
        return {24, 80, 0, 0};
    return {uint32_t(rows), uint32_t(columns), uint32_t(width), uint32_t(height)};
}

class PipeClient {
public:
    PipeClient(const ClientOptions& options, bool terminal, int wakeRead, int wakeWrite)
        : options_(options), terminal_(terminal), wakeRead_(wakeRead),
          status_(PIPE_ERR, options.verbose, options.quiet), prompter_([this] { host_->wake(); }),
          host_(std::make_unique<PipeHost>(options, prompter_, terminal, wakeWrite)) {}

    int run(SocketHandle connection, Tunnels* tunnels, std::string& reason);

private:
    void handleWake();
    void readInput();
    void stop(const std::string& why, int code) {
        if (stopCode_ < 0) {
            stopReason_ = why;
            stopCode_ = code;
        }
    }

    const ClientOptions& options_;
    bool terminal_;
    int wakeRead_;
    StderrStatus status_;
    Prompter prompter_;
    std::unique_ptr<PipeHost> host_;
    SessionState* state_ = nullptr;
    RawMode raw_;
    LineEscape escape_;
    bool escapes_ = false; // a pty on a terminal: ~. is the way out
    std::atomic<bool> ended_{false};
    bool started_ = false;
    bool inputOpen_ = true;
    int stopCode_ = -1;
    std::string stopReason_;
    char input_[PIPE_READ_SIZE];
};

void PipeClient::handleWake() {
    char drain[256];
    while (read(wakeRead_, drain, sizeof drain) > 0) {
    }
    std::string question;
    bool echo = false;
    if (prompter_.takeQuestion(question, echo)) {
        std::optional<std::string> answer = askOnTerminal(question, echo);
        prompter_.answer(answer);
        if (answer)
            secureZero(answer->data(), answer->size());
    }
    if (host_->started() && !started_) {
        started_ = true;
        // With a pty the remote side does the line editing and echo.
        if (terminal_ && isatty(PIPE_IN)) {
            raw_.enter(PIPE_IN);
            escapes_ = true;
        }
    }
    if (host_->outputFailed())
        stop(std::string("cannot write the output: ") + std::strerror(host_->outputError()), EXIT_SESSION_LOST);
}

void PipeClient::readInput() {
    ssize_t n = read(PIPE_IN, input_, sizeof input_);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        std::string typed;
        bool disconnect = escapes_ && escape_.feed(input_, std::size_t(n), typed);
        const char* bytes = escapes_ ? typed.data() : input_;
        std::size_t length = escapes_ ? typed.size() : std::size_t(n);
        if (length > 0 && !sendStdinBytes(*state_, bytes, length))
            inputOpen_ = false; // the connection failed; the worker sees it too
        if (disconnect)
            stop("disconnected", EXIT_SESSION_LOST);
        return;
    }
    sendStdinEof(*state_);
    inputOpen_ = false;
}

int PipeClient::run(SocketHandle connection, Tunnels* tunnels, std::string& reason) {
    bindStatusSink(&status_);
    if (std::string warning = cipherWarning(options_.cipher); !warning.empty() && !options_.quiet) {
        std::string line = "kestrel1: warning: " + warning + "\n";
        writeAll(PIPE_ERR, line.data(), line.size());
    }
    host_->setGeometry(measure());
    state_ = new SessionState(std::make_unique<Transport>(connection), options_.cipher, *host_);
    host_->attachTunnels(tunnels, state_);
    SessionEnd end = END_CONNECTION_LOST;
    std::thread worker([&] {
        end = runSession(*state_);
        ended_.store(true);
        host_->wake();
    });
    while (!ended_.load() && stopCode_ < 0) {
        pollfd waits[3] = {{signalPipe(), POLLIN, 0}, {wakeRead_, POLLIN, 0}, {PIPE_IN, POLLIN, 0}};
        bool reading = started_ && inputOpen_;
        if (poll(waits, reading ? 3 : 2, -1) < 0 && errno != EINTR)
            break;
        if ((waits[0].revents & POLLIN) != 0) {
            SignalsSeen seen = takeSignals();
            if (seen.resized && terminal_) {
                host_->setGeometry(measure());
                sendWindowSize(*state_);
            }
            if (seen.terminate != 0)
                stop("ended by signal " + std::string(sigabbrev_np(seen.terminate)), 128 + seen.terminate);
        }
        if ((waits[1].revents & POLLIN) != 0)
            handleWake();
        if (reading && (waits[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            readInput();
    }
    if (!ended_.load()) {
        prompter_.abort();
        if (tunnels != nullptr)
            tunnels->halt();
        interruptSession(*state_);
    }
    worker.join();
    if (tunnels != nullptr)
        tunnels->stop();
    raw_.leave();
    int code = 0;
    if (stopCode_ >= 0) {
        reason = stopReason_;
        code = stopCode_;
    } else {
        code = sessionExitCode(end, *state_, *host_, options_, status_.lastError(), reason);
    }
    destroySession(state_);
    state_ = nullptr;
    bindStatusSink(nullptr);
    return code;
}

} // namespace

std::string terminalTypeFrom(const char* term) {
    std::string name = term != nullptr ? term : "";
    bool plausible = !name.empty() && name.size() <= MAX_TERMINAL_TYPE &&
                     name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._+-") ==
                         std::string::npos;
    return plausible ? name : "vt100";
}

void StderrStatus::feedText(const char* text, std::size_t length) {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\n')
            finishLine();
        else if (text[i] != '\r')
            line_ += text[i];
    }
}

void StderrStatus::finishLine() {
    if (line_.rfind("ERROR - ", 0) == 0)
        lastError_ = line_.substr(8);
    if (verbose_ || (!quiet_ && isWarning(line_))) {
        // Status lines carry the server's own words (its disconnect reason):
        // they reach the user's terminal only as printable text.
        std::string out = "kestrel1: " + printable(line_) + "\n";
        writeAll(fd_, out.data(), out.size());
    }
    line_.clear();
}

std::string StderrStatus::lastError() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastError_;
}

int runPipeClient(const ClientOptions& options, bool requestTerminal, std::string& reason) {
    int wake[2];
    if (!installSignalPipe() || pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        reason = "cannot set up the signal handling";
        return EXIT_CONNECT_FAILED;
    }
    std::string error;
    std::unique_ptr<Tunnels> tunnels = openTunnels(options, error);
    if (!error.empty()) {
        reason = error;
        return EXIT_CONNECT_FAILED;
    }
    SocketHandle connection = connectWithin(options.host, options.port, options.connectTimeout, signalPipe(), error);
    if (connection == SOCKET_CLOSED) {
        reason = "cannot connect to " + options.host + " port " + std::to_string(options.port) + ": " + error;
        SignalsSeen seen = takeSignals();
        close(wake[0]);
        close(wake[1]);
        return seen.terminate != 0 ? 128 + seen.terminate : EXIT_CONNECT_FAILED;
    }
    socketLayerStart();
    int code = 0;
    {
        auto client = std::make_unique<PipeClient>(options, requestTerminal, wake[0], wake[1]);
        code = client->run(connection, tunnels.get(), reason);
    }
    close(wake[0]);
    close(wake[1]);
    return code;
}

} // namespace kestrel::client
