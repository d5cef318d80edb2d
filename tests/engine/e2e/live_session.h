// One engine session against a live server, run the way the real program
// runs it: the protocol on a worker thread, typing from the test's thread.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "engine/protocol.h"
#include "tests/engine/test_support.h"

namespace kestrel::test {

// Generous: ssh1d is a Python program and the machine may be busy.
constexpr double STEP_SECONDS = 20;

class LiveSession {
public:
    LiveSession(uint16_t port, uint32_t cipher, const std::string& password, bool vt52 = false,
                PasswordCamouflage camouflage = PasswordCamouflage::IgnoreMessages);
    ~LiveSession();

    bool waitForShell(double seconds);
    bool waitForText(const std::string& text, double seconds);
    // Waits for the worker; interrupts it (and reports timedOut) after seconds.
    SessionEnd finish(double seconds);
    void type(const std::string& text) { sendStdinData(*state, text.c_str()); }

    StatusRecorder status;
    FixedSessionHost host;
    SessionState* state = nullptr;
    bool timedOut = false;

private:
    bool waitUntil(double seconds, const std::function<bool()>& done);

    std::thread worker_;
    std::atomic<bool> ended_{false};
    SessionEnd end_ = END_MALFORMED;
    std::string folder_;
};

} // namespace kestrel::test
