// Typing rhythm hidden from an eavesdropper. Inter-keystroke timing tells
// much about what is typed (passwords at a remote prompt included), and a
// packet per keystroke the moment it is typed hands it over. While the user
// types, input goes out only on a fixed clock, and every tick with nothing
// typed carries an ignore message whose packet has the same length as a
// one-keystroke packet; the chaff goes on for a random while after the last
// keystroke, then stops, so an idle session sends nothing.
//
// The front end owns the clock: it passes its milliseconds in and calls
// tick() when msUntilTick() says so. Tests drive it with a fake clock.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/protocol.h"

namespace kestrel {

constexpr uint32_t KEYSTROKE_TICK_MS = 20;
// Input up to this many bytes at once is a key (a character, the escape
// sequence of an arrow or function key); more is a paste or a reply and goes
// out at once, unpadded in time.
constexpr std::size_t KEYSTROKE_MAX_BYTES = 8;
// Chaff lasts a random time in [CHAFF_MIN_MS, CHAFF_MIN_MS + CHAFF_SPREAD_MS)
// after the last keystroke, so its end does not mark the last keystroke.
constexpr uint32_t CHAFF_MIN_MS = 500;
constexpr uint32_t CHAFF_SPREAD_MS = 1000;
// A one-keystroke standard-input message carries one byte; an ignore message
// with one byte has the same length field.
constexpr std::size_t CHAFF_DATA_BYTES = 1;
// A session that ends this soon after an ignore message went out may have
// been ended by a server that cannot take them.
constexpr uint32_t CHAFF_BLAME_MS = 1000;

// Where the scheduled input goes: the session (SessionKeystrokeOutput) or a
// test's recorder.
class KeystrokeOutput {
public:
    virtual ~KeystrokeOutput() = default;
    // True once the shell runs; before that input waits in the engine anyway.
    virtual bool interactive() = 0;
    virtual void sendKeys(const char* bytes, std::size_t length) = 0;
    virtual void sendChaff() = 0;
    // Uniform in [0, bound).
    virtual uint32_t randomBelow(uint32_t bound) = 0;
};

struct KeystrokeCounts {
    uint64_t keyPackets = 0;       // typed input sent on a tick
    uint64_t chaffPackets = 0;
    uint64_t immediatePackets = 0; // pastes, or everything while off
};

class KeystrokeScheduler {
public:
    KeystrokeScheduler(KeystrokeOutput& output, bool enabled) : output_(output), enabled_(enabled) {}
    KeystrokeScheduler(const KeystrokeScheduler&) = delete;
    KeystrokeScheduler& operator=(const KeystrokeScheduler&) = delete;
    ~KeystrokeScheduler();

    void type(const char* bytes, std::size_t length, uint64_t nowMs);
    void tick(uint64_t nowMs);
    // Milliseconds until tick() is due (0 when it is overdue), or -1 while
    // nothing is scheduled: the front end then needs no timer at all.
    int64_t msUntilTick(uint64_t nowMs) const;
    bool running() const { return running_; }

    // True when an ignore message went out at most windowMs before nowMs.
    bool chaffSentWithin(uint64_t nowMs, uint32_t windowMs) const;
    const KeystrokeCounts& counts() const { return counts_; }

private:
    void sendPending();

    KeystrokeOutput& output_;
    bool enabled_;
    bool running_ = false;
    std::string pending_;
    uint64_t nextTickMs_ = 0;
    uint64_t chaffUntilMs_ = 0;
    bool chaffSent_ = false;
    uint64_t lastChaffMs_ = 0;
    KeystrokeCounts counts_;
};

// Sends through the session's own sends; the pool is drawn under the send lock.
class SessionKeystrokeOutput : public KeystrokeOutput {
public:
    explicit SessionKeystrokeOutput(SessionState& state) : state_(state) {}
    bool interactive() override;
    void sendKeys(const char* bytes, std::size_t length) override;
    void sendChaff() override;
    uint32_t randomBelow(uint32_t bound) override;

private:
    SessionState& state_;
};

// The status line for a session that ended right after chaff went out,
// naming the setting that turns it off; nothing otherwise.
void adviseOnSessionEnd(const KeystrokeScheduler& scheduler, SessionEnd end, uint64_t nowMs,
                        const SessionHost& host);

// The front ends' clock for the scheduler: monotonic milliseconds.
uint64_t keystrokeClockMs();

} // namespace kestrel
