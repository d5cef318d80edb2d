// The keystroke scheduler on a fake clock: when typed input goes out, when
// chaff goes out instead, and when it all stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "engine/keystroke_scheduler.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

struct Sent {
    uint64_t atMs;
    bool chaff;
    std::string bytes;
};

class Recorder : public KeystrokeOutput {
public:
    bool interactive() override { return shellRunning; }
    void sendKeys(const char* bytes, std::size_t length) override { sent.push_back({now, false, std::string(bytes, length)}); }
    void sendChaff() override { sent.push_back({now, true, {}}); }
    uint32_t randomBelow(uint32_t bound) override { return randomValue % bound; }

    bool shellRunning = true;
    uint32_t randomValue = 0;
    uint64_t now = 0;
    std::vector<Sent> sent;
};

// Runs the clock the way a front end does: from tick to tick as the
// scheduler asks, typing at the given times, until nothing is scheduled or
// the end is reached.
class Clocked {
public:
    explicit Clocked(bool enabled = true) : scheduler(out, enabled) {}

    void type(uint64_t atMs, const std::string& bytes) {
        runUntil(atMs);
        out.now = atMs;
        scheduler.type(bytes.data(), bytes.size(), atMs);
    }
    void runUntil(uint64_t endMs) {
        for (;;) {
            int64_t wait = scheduler.msUntilTick(out.now);
            if (wait < 0 || out.now + uint64_t(wait) > endMs)
                break;
            out.now += uint64_t(wait);
            scheduler.tick(out.now);
        }
        out.now = std::max(out.now, endMs);
    }
    std::size_t chaffCount() const {
        return std::count_if(out.sent.begin(), out.sent.end(), [](const Sent& s) { return s.chaff; });
    }

    Recorder out;
    KeystrokeScheduler scheduler;
};

TEST(KeystrokeSchedulerTest, AKeyWaitsForTheNextTickAtMostOneTick) {
    for (uint64_t offset = 0; offset < KEYSTROKE_TICK_MS; ++offset) {
        Clocked run;
        run.type(1000 + offset, "a");
        run.runUntil(1000 + offset + KEYSTROKE_TICK_MS);
        ASSERT_FALSE(run.out.sent.empty());
        const Sent& first = run.out.sent.front();
        EXPECT_FALSE(first.chaff);
        EXPECT_EQ(first.bytes, "a");
        EXPECT_EQ(first.atMs % KEYSTROKE_TICK_MS, 0u) << "off the grid";
        EXPECT_LE(first.atMs - (1000 + offset), KEYSTROKE_TICK_MS) << offset;
    }
}

// After the key, one packet every tick; chaff for the random extra time,
// then silence and no timer.
TEST(KeystrokeSchedulerTest, ChaffFillsEveryTickForItsRandomTimeThenStops) {
    for (uint32_t extra : {0u, 370u, CHAFF_SPREAD_MS - 1}) {
        Clocked run;
        run.out.randomValue = extra;
        run.type(1005, "x");
        run.runUntil(10000);
        EXPECT_EQ(run.scheduler.msUntilTick(run.out.now), -1);
        EXPECT_FALSE(run.scheduler.running());
        const std::vector<Sent>& sent = run.out.sent;
        ASSERT_GE(sent.size(), 2u);
        for (std::size_t i = 1; i < sent.size(); ++i) {
            EXPECT_TRUE(sent[i].chaff);
            EXPECT_EQ(sent[i].atMs - sent[i - 1].atMs, KEYSTROKE_TICK_MS);
        }
        uint64_t chaffTime = sent.back().atMs - sent.front().atMs;
        EXPECT_LT(chaffTime, CHAFF_MIN_MS + extra);
        EXPECT_GE(chaffTime + KEYSTROKE_TICK_MS, CHAFF_MIN_MS + extra);
    }
}

TEST(KeystrokeSchedulerTest, EachKeyRestartsTheChaffAndKeysOfOneTickShareAPacket) {
    Clocked run;
    run.type(1001, "h");
    run.type(1003, "i");      // same tick as "h"
    run.type(1301, "\x1b[A"); // an arrow key is one key too
    run.runUntil(5000);
    std::vector<std::string> keys;
    for (const Sent& s : run.out.sent)
        if (!s.chaff)
            keys.push_back(s.bytes);
    EXPECT_EQ(keys, (std::vector<std::string>{"hi", "\x1b[A"}));
    EXPECT_EQ(run.out.sent.back().atMs - 1320, CHAFF_MIN_MS - KEYSTROKE_TICK_MS);
}

TEST(KeystrokeSchedulerTest, PastesGoOutAtOnceAfterTheKeysBeforeThem) {
    Clocked run;
    run.type(1001, "k");
    run.type(1002, "pasted text");
    ASSERT_EQ(run.out.sent.size(), 1u);
    EXPECT_EQ(run.out.sent[0].atMs, 1002u);
    EXPECT_EQ(run.out.sent[0].bytes, "kpasted text");
    EXPECT_EQ(run.scheduler.counts().immediatePackets, 1u);
    // Many keys within one tick are a burst, not typing.
    Clocked burst;
    burst.type(1001, "12345678");
    burst.type(1002, "9");
    EXPECT_EQ(burst.out.sent.size(), 1u);
}

TEST(KeystrokeSchedulerTest, OffOrBeforeTheShellEverythingGoesAtOnce) {
    Clocked off(false);
    off.type(1001, "a");
    Clocked early;
    early.out.shellRunning = false;
    early.type(1001, "b");
    for (Clocked* run : {&off, &early}) {
        ASSERT_EQ(run->out.sent.size(), 1u);
        EXPECT_EQ(run->out.sent[0].atMs, 1001u);
        EXPECT_EQ(run->scheduler.msUntilTick(1001), -1);
        run->runUntil(5000);
        EXPECT_EQ(run->out.sent.size(), 1u);
    }
}

// A front end that is late sends one packet, not one per missed tick.
TEST(KeystrokeSchedulerTest, ALateTickSendsOnePacket) {
    Clocked run;
    run.type(1001, "a");
    run.out.now = 1500;
    run.scheduler.tick(1500);
    EXPECT_EQ(run.out.sent.size(), 1u);
    EXPECT_EQ(run.scheduler.msUntilTick(1500), 20);
}

TEST(KeystrokeSchedulerTest, ASessionEndRightAfterChaffNamesTheSetting) {
    struct Case {
        SessionEnd end;
        uint64_t endMs;
        bool advised;
    } cases[] = {
        {END_SERVER_DISCONNECT, 1100, true},
        {END_CONNECTION_LOST, 1100, true},
        {END_SERVER_EXIT, 1100, false},
        {END_CONNECTION_LOST, 1100 + 1000 + CHAFF_MIN_MS, false}, // long after the chaff
    };
    FixedSessionHost host("u", "p", false, {24, 80, 0, 0});
    for (const Case& c : cases) {
        test::StatusRecorder status;
        Clocked run;
        run.type(1001, "a");
        run.runUntil(1100);
        adviseOnSessionEnd(run.scheduler, c.end, c.endMs, host);
        EXPECT_EQ(status.contains(SETTING_OBSCURE_KEYSTROKE_TIMING), c.advised) << status.text();
    }
}

} // namespace
} // namespace kestrel
