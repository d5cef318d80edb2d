#include "tests/engine/e2e/live_session.h"

#include <filesystem>
#include <stdexcept>

namespace kestrel::test {

LiveSession::LiveSession(uint16_t port, uint32_t cipher, const std::string& password, bool vt52,
                         PasswordCamouflage camouflage)
    : host("tester", password, vt52, {24, 80, 640, 384}) {
    host.setPasswordCamouflage(camouflage);
    host.trustAnyHostKey(); // ssh1d's key, made for this run
    socketLayerStart();
    auto transport = std::make_unique<Transport>();
    if (transport->stream().open("127.0.0.1", port) != 1)
        throw std::runtime_error("cannot connect to ssh1d");
    folder_ = scratchFolder("live");
    state = new SessionState(std::move(transport), cipher, host);
    state->seedFileName = folder_ + "/ssh_seedfile";
    worker_ = std::thread([this] {
        end_ = runSession(*state);
        ended_.store(true);
    });
}

LiveSession::~LiveSession() {
    if (worker_.joinable()) {
        interruptSession(*state);
        worker_.join();
    }
    destroySession(state);
    std::filesystem::remove_all(folder_);
}

// Polls until done() holds, the worker ends, or the time is up; done() has
// the last word.
bool LiveSession::waitUntil(double seconds, const std::function<bool()>& done) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!done() && !ended_.load() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return done();
}

bool LiveSession::waitForShell(double seconds) {
    return waitUntil(seconds, [this] {
        std::lock_guard<std::mutex> hold(state->sendLock);
        return state->shellStarted;
    });
}

bool LiveSession::waitForText(const std::string& text, double seconds) {
    return waitUntil(seconds, [&] { return status.contains(text); });
}

SessionEnd LiveSession::finish(double seconds) {
    if (!waitUntil(seconds, [this] { return ended_.load(); })) {
        timedOut = true;
        interruptSession(*state);
    }
    worker_.join();
    return end_;
}

} // namespace kestrel::test
