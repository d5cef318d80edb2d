#include "engine/keystroke_scheduler.h"

#include <chrono>

#include "crypto/secure_zero.h"
#include "engine/status_log.h"
#include "engine/wire_hiding.h"

namespace kestrel {

namespace {

// Ticks fall on multiples of the tick length, whenever the typing started:
// the first keystroke after a pause is rounded to the same grid as the rest.
uint64_t nextGridPoint(uint64_t nowMs, bool includeNow) {
    uint64_t point = nowMs / KEYSTROKE_TICK_MS * KEYSTROKE_TICK_MS;
    return point == nowMs && includeNow ? point : point + KEYSTROKE_TICK_MS;
}

} // namespace

KeystrokeScheduler::~KeystrokeScheduler() {
    if (!pending_.empty())
        secureZero(pending_.data(), pending_.size());
}

void KeystrokeScheduler::sendPending() {
    output_.sendKeys(pending_.data(), pending_.size());
    secureZero(pending_.data(), pending_.size());
    pending_.clear();
}

void KeystrokeScheduler::type(const char* bytes, std::size_t length, uint64_t nowMs) {
    if (length == 0)
        return;
    if (!enabled_ || !output_.interactive()) {
        output_.sendKeys(bytes, length);
        ++counts_.immediatePackets;
        return;
    }
    if (length > KEYSTROKE_MAX_BYTES || pending_.size() + length > KEYSTROKE_MAX_BYTES) {
        // Keys typed before it go first, in the same packet, so the order holds.
        pending_.append(bytes, length);
        sendPending();
        ++counts_.immediatePackets;
        return;
    }
    pending_.append(bytes, length);
    if (!running_) {
        running_ = true;
        nextTickMs_ = nextGridPoint(nowMs, true);
    }
}

void KeystrokeScheduler::tick(uint64_t nowMs) {
    if (!running_ || nowMs < nextTickMs_)
        return;
    // A late tick (a busy loop, a coarse timer) sends one packet, not one per
    // missed tick: a burst would stand out more than the gap.
    nextTickMs_ = nextGridPoint(nowMs, false);
    if (!pending_.empty()) {
        sendPending();
        ++counts_.keyPackets;
        chaffUntilMs_ = nowMs + CHAFF_MIN_MS + output_.randomBelow(CHAFF_SPREAD_MS);
        return;
    }
    if (nowMs < chaffUntilMs_ && output_.interactive()) {
        output_.sendChaff();
        ++counts_.chaffPackets;
        chaffSent_ = true;
        lastChaffMs_ = nowMs;
        return;
    }
    running_ = false;
}

int64_t KeystrokeScheduler::msUntilTick(uint64_t nowMs) const {
    if (!running_)
        return -1;
    return nowMs >= nextTickMs_ ? 0 : int64_t(nextTickMs_ - nowMs);
}

bool KeystrokeScheduler::chaffSentWithin(uint64_t nowMs, uint32_t windowMs) const {
    return chaffSent_ && nowMs >= lastChaffMs_ && nowMs - lastChaffMs_ <= windowMs;
}

bool SessionKeystrokeOutput::interactive() {
    std::lock_guard<std::mutex> hold(state_.sendLock);
    return state_.cipherTransport != nullptr && state_.shellStarted;
}

void SessionKeystrokeOutput::sendKeys(const char* bytes, std::size_t length) {
    std::string text(bytes, length);
    sendStdinData(state_, text.c_str());
    secureZero(text.data(), text.size());
}

void SessionKeystrokeOutput::sendChaff() { sendIgnore(state_, CHAFF_DATA_BYTES); }

uint32_t SessionKeystrokeOutput::randomBelow(uint32_t bound) {
    std::lock_guard<std::mutex> hold(state_.sendLock);
    return poolRandomBelow(state_.pool, bound);
}

void adviseOnSessionEnd(const KeystrokeScheduler& scheduler, SessionEnd end, uint64_t nowMs,
                        const SessionHost& host) {
    if (end != END_SERVER_DISCONNECT && end != END_CONNECTION_LOST)
        return;
    if (!scheduler.chaffSentWithin(nowMs, CHAFF_BLAME_MS))
        return;
    logStatus("The server closed the connection right after an ignore message that hides the typing "
              "rhythm. If it cannot take them, turn " +
              host.settingName(SETTING_OBSCURE_KEYSTROKE_TIMING) + " off for this server.\n");
}

uint64_t keystrokeClockMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

} // namespace kestrel
