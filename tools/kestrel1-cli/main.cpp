// kestrel1-cli: one terminal session without a window, for people at a
// console and for the end-to-end tests and benchmarks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "engine/printable_text.h"
#include "engine/protocol.h"
#include "engine/secret_text.h"
#include "engine/status_log.h"
#include "tools/kestrel1-cli/cli_host.h"
#include "tools/common/program_version.h"
#include "tools/kestrel1-cli/cli_options.h"

#ifdef KESTREL_CLI_WITH_TERMINAL
#include "terminal/screen_dump.h"
#include "terminal/terminal_parser.h"
#endif

namespace kestrel::cli {
namespace {

using Clock = std::chrono::steady_clock;

// Output kept for --wait-for once no wait is pending: enough for any prompt,
// without holding a whole bulk transfer in memory.
constexpr std::size_t WAIT_WINDOW = 64 * 1024;
// Raw output is written in batches of up to this much.
constexpr std::size_t OUTPUT_BUFFER_SIZE = 64 * 1024;
// How often waiting loops look at the session's progress.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);

class Output : public StatusSink
#ifdef KESTREL_CLI_WITH_TERMINAL
    , public TerminalObserver
#endif
{
public:
    // escape: show controls as text (raw output to a terminal).
    Output(bool screen, bool escape) : screen_(screen), escape_(escape) {
#ifdef KESTREL_CLI_WITH_TERMINAL
        parser_.attach(buffer_);
#endif
    }

    void setSession(SessionState* state) { session_.store(state); }

#ifdef KESTREL_CLI_WITH_TERMINAL
    void sizeScreen(uint32_t columns, uint32_t rows) {
        buffer_.resize(int32_t(columns), int32_t(rows), 0, 0, this);
    }
    // Replies the terminal makes (answerback) go back to the server.
    void notify(uint32_t message, std::uintptr_t wParam, std::intptr_t) override {
        SessionState* state = session_.load();
        if (message == MSG_SEND_TO_HOST && state != nullptr)
            sendStdinData(*state, reinterpret_cast<const char*>(wParam));
    }
    void ringBell() override {}
    std::string dump() const { return dumpScreen(buffer_); }
#endif

    // Raw output goes through a large stdio buffer and is written when the
    // engine is about to wait (flush), so bulk output costs one write per
    // batch while a keystroke's echo still shows as soon as it arrives.
    void feedText(const char* text, std::size_t length) override {
        if (screen_) {
#ifdef KESTREL_CLI_WITH_TERMINAL
            parser_.feedBytes(text, length);
#endif
        } else if (escape_) {
            shown_.clear();
            filter_.feed(text, length, shown_);
            std::fwrite(shown_.data(), 1, shown_.size(), stdout);
        } else {
            std::fwrite(text, 1, length, stdout);
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (!keeping_)
            return;
        seen_.append(text, length);
        if (waiting_ && !matched_)
            scan();
        else if (seen_.size() > 2 * WAIT_WINDOW)
            seen_.erase(0, seen_.size() - WAIT_WINDOW);
    }

    // After the worker ended: a byte held back as the start of a control.
    void finishShown() {
        if (!escape_)
            return;
        shown_.clear();
        filter_.finish(shown_);
        std::fwrite(shown_.data(), 1, shown_.size(), stdout);
    }

    // Once no wait is left in the script the output need not be kept.
    void stopKeeping() {
        std::lock_guard<std::mutex> hold(lock_);
        keeping_ = false;
        std::string().swap(seen_);
    }

    void flush() override {
        if (!screen_)
            std::fflush(stdout);
    }

    void wake() {
        std::lock_guard<std::mutex> hold(lock_);
        changed_.notify_all();
    }

    void waitForEnd(Clock::time_point deadline, const std::atomic<bool>& ended) {
        std::unique_lock<std::mutex> hold(lock_);
        while (!ended.load() && Clock::now() < deadline)
            changed_.wait_for(hold, POLL_INTERVAL);
    }

    // Waits until text appears in the output after the previous match. The
    // output is searched as it arrives, each byte once, and only the bytes
    // that could still begin a match are kept meanwhile.
    bool waitFor(const std::string& text, Clock::time_point deadline, const std::atomic<bool>& ended) {
        std::unique_lock<std::mutex> hold(lock_);
        pattern_ = text;
        waiting_ = true;
        matched_ = false;
        scan();
        while (!matched_ && !ended.load() && Clock::now() < deadline)
            changed_.wait_for(hold, POLL_INTERVAL);
        bool found = matched_;
        waiting_ = matched_ = false;
        return found;
    }

private:
    // Called with the lock held while a wait is pending.
    void scan() {
        std::size_t at = seen_.find(pattern_);
        if (at != std::string::npos) {
            seen_.erase(0, at + pattern_.size());
            matched_ = true;
            changed_.notify_all();
            return;
        }
        std::size_t keep = std::min(seen_.size(), pattern_.size() - 1);
        seen_.erase(0, seen_.size() - keep);
    }

    bool screen_;
    bool escape_;
    // Only the feeding thread (the worker) uses these.
    PrintableText filter_;
    std::string shown_;
    std::atomic<SessionState*> session_{nullptr};
    std::mutex lock_;
    std::condition_variable changed_;
    // Output after the last match (bounded by WAIT_WINDOW), or while a wait
    // is pending the unmatched tail that a match could still start in.
    std::string seen_;
    std::string pattern_;
    bool waiting_ = false;
    bool matched_ = false;
    bool keeping_ = true;
#ifdef KESTREL_CLI_WITH_TERMINAL
    ScreenBuffer buffer_;
    TerminalParser parser_;
#endif
};

bool shellRunning(SessionState& state) {
    std::lock_guard<std::mutex> hold(state.sendLock);
    return state.shellStarted;
}

bool waitForShell(SessionState& state, Clock::time_point deadline, const std::atomic<bool>& ended) {
    while (!shellRunning(state)) {
        if (ended.load() || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    return true;
}

// False when the script could not finish (time-out or the session ended).
bool runScript(const Options& options, SessionState& state, Output& output,
               Clock::time_point deadline, const std::atomic<bool>& ended) {
    std::size_t waits = std::count_if(options.script.begin(), options.script.end(),
                                      [](const ScriptStep& step) { return !step.send; });
    for (const ScriptStep& step : options.script) {
        if (waits == 0)
            output.stopKeeping();
        if (!step.send) {
            --waits;
            if (!output.waitFor(step.text, deadline, ended))
                return false;
            continue;
        }
        if (!waitForShell(state, deadline, ended))
            return false;
        sendStdinData(state, step.text.c_str());
    }
    output.stopKeeping();
    return true;
}

int exitCodeFor(SessionEnd end) {
    switch (end) {
    case END_SERVER_EXIT:
    case END_SERVER_DISCONNECT:
    case END_CONNECTION_LOST:
        return EXIT_SESSION_ENDED;
    case END_LOGIN_REFUSED:
        return EXIT_LOGIN_REFUSED;
    default:
        return EXIT_PROTOCOL_FAILED;
    }
}

int run(Options& options) {
    if (options.screen) {
#ifndef KESTREL_CLI_WITH_TERMINAL
        std::fputs("kestrel1-cli: built without the terminal core; --screen ignored\n", stderr);
        options.screen = false;
#endif
    }
    socketLayerStart();
    setInsertionCheck(options.insertionCheck);
    // Written out whenever the session waits for the server (Output::flush).
    static char outputBuffer[OUTPUT_BUFFER_SIZE];
    std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
    Output output(options.screen, !options.screen && !options.raw && isatty(STDOUT_FILENO) == 1);
#ifdef KESTREL_CLI_WITH_TERMINAL
    output.sizeScreen(options.columns, options.rows);
#endif
    bindStatusSink(&output);

    auto transport = std::make_unique<Transport>();
    if (transport->stream().open(options.host.c_str(), options.port) != 1) {
        transport->stream().close();
        logStatus("Could not connect to host.\n");
        flushStatus();
        bindStatusSink(nullptr);
        return EXIT_CONNECT_FAILED;
    }
    logStatus("Connected to host.\n");

    CliHost host(options.user, options.password, options.vt52,
                 {options.rows, options.columns, options.columns * 8, options.rows * 16}, options.host,
                 options.port,
                 KnownHosts(options.knownHosts.empty() ? KnownHosts::defaultPath() : options.knownHosts),
                 options.acceptNewHostKey);
    host.setPasswordCamouflage(options.camouflage);
    wipeString(options.password);
    auto* state = new SessionState(std::move(transport), options.cipher, host);
    output.setSession(state);

    std::atomic<bool> ended{false};
    SessionEnd end = END_CONNECTION_LOST;
    std::thread worker([&] {
        end = runSession(*state);
        ended.store(true);
        output.wake();
    });
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(options.timeoutSeconds));
    runScript(options, *state, output, deadline, ended);
    output.waitForEnd(deadline, ended);
    bool timedOut = !ended.load();
    if (timedOut)
        interruptSession(*state);
    worker.join();
    output.finishShown();
    output.setSession(nullptr);
    destroySession(state);
    bindStatusSink(nullptr);

#ifdef KESTREL_CLI_WITH_TERMINAL
    if (options.screen) {
        std::string screen = output.dump();
        std::fwrite(screen.data(), 1, screen.size(), stdout);
    }
#endif
    std::fflush(stdout);
    if (timedOut) {
        std::fputs("kestrel1-cli: timed out\n", stderr);
        return EXIT_TIMED_OUT;
    }
    return host.refusedHostKey() ? EXIT_HOST_KEY_REFUSED : exitCodeFor(end);
}

} // namespace
} // namespace kestrel::cli

int main(int argc, char** argv) {
    if (kestrel::tools::versionAsked(argc, argv))
        return kestrel::tools::printVersion("kestrel1-cli");
    kestrel::cli::Options options;
    std::string error;
    if (!kestrel::cli::parseOptions(argc, argv, options, error)) {
        if (!error.empty())
            std::fprintf(stderr, "kestrel1-cli: %s\n", kestrel::printable(error).c_str());
        std::fputs(kestrel::cli::USAGE, error.empty() ? stdout : stderr);
        return error.empty() ? 0 : kestrel::cli::EXIT_USAGE;
    }
    return kestrel::cli::run(options);
}
