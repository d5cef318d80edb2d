#include "posix/client_app.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "crypto/secure_zero.h"
#include "engine/keystroke_scheduler.h"
#include "engine/protocol.h"
#include "engine/secret_text.h"
#include "engine/status_log.h"
#include "terminal/terminal_parser.h"
#include "posix/client_host.h"
#include "posix/identity_files.h"
#include "posix/key_input.h"
#include "posix/screen_painter.h"
#include "posix/session_end.h"
#include "posix/tcp_connect.h"
#include "posix/terminal_io.h"

namespace kestrel::client {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int TERMINAL_IN = 0;
constexpr int TERMINAL_OUT = 1;

const char* const BANNER[] = {"Kestrel1 v1.00.46 Initialized.\r\n", "Version: 1.00.46/3DESCBC/BLOWFISH/GMP/CRYPTO++.\n",
                              "SSH Version 1.5 protocol only.\n"};

// The screen and its interpreter; the worker feeds them, the main loop draws.
class TerminalView : public StatusSink, public TerminalObserver {
public:
    explicit TerminalView(int wakeFd) : wakeFd_(wakeFd) { parser_.attach(screen_); }

    void feedText(const char* text, std::size_t length) override {
        parser_.feedBytes(text, length);
        markChanged();
    }
    void notify(uint32_t message, std::uintptr_t wParam, std::intptr_t) override {
        SessionState* state = session_.load();
        if (message == MSG_SEND_TO_HOST && state != nullptr)
            sendStdinData(*state, reinterpret_cast<const char*>(wParam));
        else
            markChanged();
    }
    void ringBell() override {
        bell_.store(true);
        markChanged();
    }

    void wake() {
        char byte = 1;
        ssize_t ignored = write(wakeFd_, &byte, 1);
        (void)ignored;
    }
    void markChanged() {
        if (!changed_.exchange(true))
            wake();
    }
    bool takeChanged() { return changed_.exchange(false); }
    bool changed() const { return changed_.load(); }
    bool takeBell() { return bell_.exchange(false); }
    void setSession(SessionState* state) { session_.store(state); }
    ScreenBuffer& screen() { return screen_; }

private:
    int wakeFd_;
    std::atomic<bool> changed_{false};
    std::atomic<bool> bell_{false};
    std::atomic<SessionState*> session_{nullptr};
    ScreenBuffer screen_;
    TerminalParser parser_;
};

bool terminalTakesUtf8() {
    std::setlocale(LC_CTYPE, "");
    return std::string(nl_langinfo(CODESET)) == "UTF-8";
}

class Client {
public:
    Client(ClientOptions& options, int wakeRead, int wakeWrite)
        : options_(options), wakeRead_(wakeRead), view_(wakeWrite), painter_(terminalTakesUtf8()),
          keys_(options.vt52), prompter_([this] { view_.wake(); }) {}

    int run(SocketHandle connection, Tunnels* tunnels, std::string& reason);

private:
    TerminalGeometry measure();
    void resize();
    void paintFrame();
    void readKeys();
    void handleKeyEvents(std::vector<KeyEvent>& events);
    void scroll(int lines);
    void promptKeys(const char* bytes, std::size_t length);
    void showQuestion();
    void endByUser(const std::string& why);
    int exitCode(SessionEnd end, std::string& reason) const;
    int pollTimeout() const;

    ClientOptions& options_;
    int wakeRead_;
    TerminalView view_;
    ScreenPainter painter_;
    KeyDecoder keys_;
    Prompter prompter_;
    std::unique_ptr<ClientHost> host_;
    SessionState* state_ = nullptr;
    std::unique_ptr<SessionKeystrokeOutput> keyOutput_;
    std::unique_ptr<KeystrokeScheduler> keystrokes_;
    std::atomic<bool> ended_{false};
    bool stop_ = false;
    std::string stopReason_;
    int stopSignal_ = 0;
    int columns_ = 80;
    int rows_ = 24;
    int scrolledBack_ = 0;
    bool questionEcho_ = false;
    std::string answer_;
    Clock::time_point lastFrame_{};
    Clock::time_point lastKeys_{};
    int lastCursorRow_ = 0;
};

TerminalGeometry Client::measure() {
    int pixelWidth = 0, pixelHeight = 0;
    if (!windowSize(TERMINAL_OUT, columns_, rows_, pixelWidth, pixelHeight)) {
        columns_ = 80;
        rows_ = 24;
    }
    int columns = std::min(columns_, int(MAX_COLUMNS));
    int rows = std::min(rows_, int(MAX_ROWS));
    view_.screen().resize(columns, rows, uint32_t(pixelWidth), uint32_t(pixelHeight), &view_);
    return {uint32_t(rows), uint32_t(columns), uint32_t(pixelWidth), uint32_t(pixelHeight)};
}

void Client::resize() {
    TerminalGeometry size = measure();
    host_->setGeometry(size);
    if (state_ != nullptr)
        sendWindowSize(*state_);
    scrolledBack_ = 0;
    painter_.forget();
    view_.markChanged();
}

void Client::paintFrame() {
    view_.takeChanged();
    Frame frame;
    {
        std::lock_guard<TerminalLock> hold(view_.screen().lock());
        scrolledBack_ = std::clamp(scrolledBack_, 0, view_.screen().screenTop() - 1);
        frame = captureFrame(view_.screen(), columns_, rows_, scrolledBack_);
    }
    if (scrolledBack_ > 0) {
        std::string mark = " scroll-back -" + std::to_string(scrolledBack_) + " ";
        overlayText(frame, 0, frame.columns - int(mark.size()), mark, STYLE_REVERSE);
    }
    std::string out = painter_.paint(frame);
    if (view_.takeBell())
        out += '\a';
    writeTerminal(TERMINAL_OUT, out);
    lastFrame_ = Clock::now();
    lastCursorRow_ = frame.cursorRow >= 0 ? frame.cursorRow : frame.rows - 1;
}

void Client::scroll(int lines) {
    scrolledBack_ = std::max(0, scrolledBack_ + lines);
    view_.markChanged();
}

void Client::endByUser(const std::string& why) {
    stop_ = true;
    stopReason_ = why;
}

void Client::handleKeyEvents(std::vector<KeyEvent>& events) {
    int page = std::max(1, std::min(rows_, int(MAX_ROWS)) - 1);
    for (KeyEvent& event : events) {
        switch (event.action) {
        case KeyAction::Send:
            if (scrolledBack_ > 0)
                scroll(-scrolledBack_);
            if (keystrokes_)
                keystrokes_->type(event.bytes.data(), event.bytes.size(), keystrokeClockMs());
            break;
        case KeyAction::Disconnect:
            endByUser("disconnected");
            break;
        case KeyAction::Help:
            logStatus(ESCAPE_HELP);
            break;
        case KeyAction::PageUp:
            scroll(page);
            break;
        case KeyAction::PageDown:
            scroll(-page);
            break;
        case KeyAction::LineUp:
            scroll(1);
            break;
        case KeyAction::LineDown:
            scroll(-1);
            break;
        }
    }
    events.clear();
}

void Client::showQuestion() {
    std::string question;
    if (!prompter_.takeQuestion(question, questionEcho_))
        return;
    wipeString(answer_);
    // Room for the longest answer up front: a string that grows leaves the
    // typed characters behind in each block it outgrows.
    answer_.reserve(MAX_ANSWER);
    scrolledBack_ = 0;
    logStatus(question);
}

// A line typed for a question: shown only when the question echoes, ended by
// Return, abandoned with Ctrl-C or Ctrl-D (which also ends the session).
void Client::promptKeys(const char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        char byte = bytes[i];
        if (byte == '\r' || byte == '\n') {
            logStatus("\r\n");
            // Moved on in a block of its own (too large for a short-string
            // copy, which a move would leave behind).
            std::string reply;
            reply.reserve(MAX_ANSWER);
            reply.assign(answer_);
            prompter_.answer(std::move(reply));
            wipeString(answer_);
            return;
        }
        if (byte == 3 || byte == 4) {
            wipeString(answer_);
            prompter_.answer(std::nullopt);
            endByUser("no answer to the question");
            return;
        }
        if (byte == 0x7f || byte == 8) {
            if (!answer_.empty()) {
                answer_.pop_back();
                if (questionEcho_)
                    logStatus("\b \b");
            }
        } else if (static_cast<unsigned char>(byte) >= 0x20 && answer_.size() < MAX_ANSWER) {
            answer_ += byte;
            if (questionEcho_)
                logStatus(std::string_view(&byte, 1));
        }
    }
}

void Client::readKeys() {
    char bytes[KEY_READ_SIZE];
    ssize_t n = read(TERMINAL_IN, bytes, sizeof bytes);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        endByUser("the terminal's input ended");
        return;
    }
    if (n < 0)
        return;
    lastKeys_ = Clock::now();
    if (prompter_.waiting()) {
        promptKeys(bytes, std::size_t(n));
        return;
    }
    std::vector<KeyEvent> events;
    keys_.feed(bytes, std::size_t(n), events);
    handleKeyEvents(events);
}

int Client::pollTimeout() const {
    auto now = Clock::now();
    auto until = [&](Clock::time_point when) {
        return int(std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count()));
    };
    int timeout = -1;
    if (view_.changed())
        timeout = until(lastFrame_ + std::chrono::milliseconds(FRAME_INTERVAL_MS));
    if (keys_.pending()) {
        int flush = until(lastKeys_ + std::chrono::milliseconds(KEY_FLUSH_MS));
        timeout = timeout < 0 ? flush : std::min(timeout, flush);
    }
    if (int64_t tick = keystrokes_ ? keystrokes_->msUntilTick(keystrokeClockMs()) : -1; tick >= 0)
        timeout = timeout < 0 ? int(tick) : std::min(timeout, int(tick));
    return timeout;
}

int Client::run(SocketHandle connection, Tunnels* tunnels, std::string& reason) {
    RawMode raw;
    raw.enter(TERMINAL_IN);
    writeTerminal(TERMINAL_OUT, "\x1b[0m\x1b[H\x1b[2J");
    view_.screen().setScrollbackLines(int32_t(options_.scrollbackLines));
    host_ = std::make_unique<ClientHost>(options_, TerminalGeometry{}, prompter_, knownHostsFor(options_));
    // The host holds the one copy the session needs, for the session only.
    wipeString(options_.password);
    host_->setGeometry(measure());
    addIdentities(*host_, options_, prompter_);
    bindStatusSink(&view_);
    for (const char* line : BANNER)
        logStatus(line);
    if (std::string warning = cipherWarning(options_.cipher); !warning.empty() && !options_.quiet)
        logStatus("Warning - " + warning + "\r\n");
    logStatus("Connected to host.\n");

    state_ = new SessionState(std::make_unique<Transport>(connection), options_.cipher, *host_);
    host_->attachTunnels(tunnels, state_);
    view_.setSession(state_);
    keyOutput_ = std::make_unique<SessionKeystrokeOutput>(*state_);
    keystrokes_ = std::make_unique<KeystrokeScheduler>(*keyOutput_, options_.obscureKeystrokeTiming);
    SessionEnd end = END_CONNECTION_LOST;
    std::thread worker([&] {
        end = runSession(*state_);
        ended_.store(true);
        view_.wake();
    });

    std::vector<KeyEvent> flushed;
    while (!ended_.load() && !stop_) {
        pollfd waits[3] = {{TERMINAL_IN, POLLIN, 0}, {signalPipe(), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int ready = poll(waits, 3, pollTimeout());
        if (ready < 0 && errno != EINTR)
            break;
        if ((waits[1].revents & POLLIN) != 0) {
            SignalsSeen seen = takeSignals();
            if (seen.resized)
                resize();
            if (seen.terminate != 0) {
                stopSignal_ = seen.terminate;
                endByUser("ended by signal " + std::string(sigabbrev_np(seen.terminate)));
            }
        }
        if ((waits[2].revents & POLLIN) != 0) {
            char drain[256];
            while (read(wakeRead_, drain, sizeof drain) > 0) {
            }
            showQuestion();
        }
        if ((waits[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            readKeys();
        if (keys_.pending() && Clock::now() - lastKeys_ >= std::chrono::milliseconds(KEY_FLUSH_MS)) {
            keys_.flush(flushed);
            handleKeyEvents(flushed);
        }
        keystrokes_->tick(keystrokeClockMs());
        if (view_.changed() && Clock::now() - lastFrame_ >= std::chrono::milliseconds(FRAME_INTERVAL_MS))
            paintFrame();
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
    if (!stop_)
        adviseOnSessionEnd(*keystrokes_, end, keystrokeClockMs(), *host_);
    keystrokes_.reset();
    keyOutput_.reset();
    view_.setSession(nullptr);
    paintFrame();
    int code = exitCode(end, reason);
    destroySession(state_);
    state_ = nullptr;
    bindStatusSink(nullptr);
    writeTerminal(TERMINAL_OUT, restoreSequence(lastCursorRow_));
    raw.leave();
    return code;
}

int Client::exitCode(SessionEnd end, std::string& reason) const {
    if (stop_) {
        reason = stopReason_;
        return stopSignal_ != 0 ? 128 + stopSignal_ : EXIT_SESSION_LOST;
    }
    return sessionExitCode(end, *state_, *host_, options_, "", reason);
}

} // namespace

int runClient(ClientOptions& options, std::string& reason) {
    if (!isatty(TERMINAL_IN) || !isatty(TERMINAL_OUT)) {
        reason = "the interactive session needs a terminal";
        return EXIT_USAGE;
    }
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
    SocketHandle connection = connectWithin(options.host, options.port, options.connectTimeout, signalPipe(), error,
                                            options.tcpKeepAlive);
    if (connection == SOCKET_CLOSED) {
        reason = "cannot connect to " + options.host + " port " + std::to_string(options.port) + ": " + error;
        SignalsSeen seen = takeSignals();
        return seen.terminate != 0 ? 128 + seen.terminate : EXIT_CONNECT_FAILED;
    }
    socketLayerStart();
    Client client(options, wake[0], wake[1]);
    int code = client.run(connection, tunnels.get(), reason);
    close(wake[0]);
    close(wake[1]);
    return code;
}

} // namespace kestrel::client
