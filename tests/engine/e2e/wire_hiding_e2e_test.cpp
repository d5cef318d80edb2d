// What ssh1d, standing in for an eavesdropper, sees of the password's length
// and of the typing rhythm; and what the user is told when a server cannot
// take the messages that hide them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "engine/keystroke_scheduler.h"
#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

using test::LiveSession;
using test::Ssh1dProcess;
using test::STEP_SECONDS;

struct Received {
    int type;
    uint32_t length;
    double at;
};

// ssh1d --log-packets: "received type T length L at SECONDS", one per packet.
std::vector<Received> receivedPackets(const std::string& log) {
    std::vector<Received> all;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::size_t at = line.find("received type ");
        if (at == std::string::npos)
            continue;
        Received r{};
        if (std::sscanf(line.c_str() + at, "received type %d length %u at %lf", &r.type, &r.length, &r.at) == 3)
            all.push_back(r);
    }
    return all;
}

// The length fields between the user name (type 4) and the pty request (10).
std::multiset<uint32_t> loginLengths(const std::vector<Received>& packets) {
    std::multiset<uint32_t> lengths;
    bool inside = false;
    for (const Received& r : packets) {
        if (r.type == MSG_CMSG_REQUEST_PTY)
            break;
        if (inside)
            lengths.insert(r.length);
        inside = inside || r.type == MSG_CMSG_USER;
    }
    return lengths;
}

std::multiset<uint32_t> lengthsSeenFor(const std::string& password) {
    Ssh1dProcess server({"--log-packets", "--password", password});
    LiveSession session(server.port(), 3, password);
    EXPECT_TRUE(session.waitForShell(STEP_SECONDS)) << session.status.text();
    session.type("exit\n");
    session.finish(STEP_SECONDS);
    return loginLengths(receivedPackets(server.log()));
}

TEST(WireHidingE2eTest, PasswordsOfFourAndTwentyCharactersShowTheSameLengths) {
    std::multiset<uint32_t> four = lengthsSeenFor("abcd");
    std::multiset<uint32_t> twenty = lengthsSeenFor("abcdefghijklmnopqrst");
    EXPECT_EQ(four.size(), 33u);
    EXPECT_EQ(four, twenty);
    std::ostringstream shown;
    for (uint32_t length : four)
        shown << length << ' ';
    std::cout << "length fields seen during the login: " << shown.str() << "\n";
}

struct CamouflageCase {
    const char* name;
    PasswordCamouflage camouflage;
    const char* fault;
    bool loggedIn;
    const char* advice; // the setting's value the advice line suggests
};

void PrintTo(const CamouflageCase& c, std::ostream* out) { *out << c.name; }

class CamouflageSettingTest : public ::testing::TestWithParam<CamouflageCase> {};

TEST_P(CamouflageSettingTest, LogsInOrNamesTheSetting) {
    const CamouflageCase& c = GetParam();
    Ssh1dProcess server({"--fault", c.fault});
    LiveSession session(server.port(), 6, test::SSH1D_PASSWORD, false, c.camouflage);
    if (c.loggedIn) {
        ASSERT_TRUE(session.waitForShell(STEP_SECONDS)) << session.status.text() << server.log();
        session.type("exit\n");
        session.finish(STEP_SECONDS);
        EXPECT_FALSE(session.status.contains(SETTING_PASSWORD_CAMOUFLAGE)) << session.status.text();
        return;
    }
    EXPECT_EQ(session.finish(STEP_SECONDS), END_LOGIN_REFUSED) << session.status.text();
    std::string advice = std::string("Set ") + SETTING_PASSWORD_CAMOUFLAGE + " to " + c.advice;
    EXPECT_TRUE(session.status.contains(advice)) << session.status.text();
}

INSTANTIATE_TEST_SUITE_P(
    Settings, CamouflageSettingTest,
    ::testing::Values(
        CamouflageCase{"IgnoreAgainstIgnoreHater", PasswordCamouflage::IgnoreMessages, "disconnect-on-ignore", false, "pad"},
        CamouflageCase{"PadAgainstIgnoreHater", PasswordCamouflage::ZeroPadding, "disconnect-on-ignore", true, nullptr},
        CamouflageCase{"NoneAgainstIgnoreHater", PasswordCamouflage::None, "disconnect-on-ignore", true, nullptr},
        CamouflageCase{"IgnoreAgainstPaddingHater", PasswordCamouflage::IgnoreMessages, "refuse-padded-password", true, nullptr},
        CamouflageCase{"PadAgainstPaddingHater", PasswordCamouflage::ZeroPadding, "refuse-padded-password", false, "ignore"},
        CamouflageCase{"NoneAgainstPaddingHater", PasswordCamouflage::None, "refuse-padded-password", true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

// Types like a person (a key every 120 ms), idles, and reads what ssh1d saw.
struct TypingRun {
    std::vector<Received> packets;
    SessionEnd end;
    std::string status;
    uint64_t typedAtMs = 0;
    uint64_t idleFromMs = 0;
};

TypingRun typeThenIdle(const std::vector<std::string>& serverArguments, PasswordCamouflage camouflage,
                       const std::string& keys, int idleMs) {
    Ssh1dProcess server(serverArguments);
    LiveSession session(server.port(), 3, test::SSH1D_PASSWORD, false, camouflage);
    TypingRun run{};
    EXPECT_TRUE(session.waitForShell(STEP_SECONDS)) << session.status.text();
    SessionKeystrokeOutput output(*session.state);
    KeystrokeScheduler scheduler(output, true);
    auto runUntil = [&](uint64_t endMs) {
        for (uint64_t now = keystrokeClockMs(); now < endMs; now = keystrokeClockMs()) {
            int64_t wait = scheduler.msUntilTick(now);
            if (wait != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(
                    wait < 0 ? std::min<int64_t>(10, int64_t(endMs - now)) : std::min<int64_t>(wait, int64_t(endMs - now))));
            scheduler.tick(keystrokeClockMs());
        }
    };
    run.typedAtMs = keystrokeClockMs();
    for (char key : keys) {
        scheduler.type(&key, 1, keystrokeClockMs());
        runUntil(keystrokeClockMs() + 120);
    }
    run.idleFromMs = keystrokeClockMs();
    runUntil(run.idleFromMs + uint64_t(idleMs));
    session.type("\nexit\n");
    run.end = session.finish(STEP_SECONDS);
    adviseOnSessionEnd(scheduler, run.end, keystrokeClockMs(), session.host);
    run.status = session.status.text();
    run.packets = receivedPackets(server.log());
    return run;
}

// Every typed key and every chaff packet has one length; chaff fills the
// ticks while typing and stops 0.5 to 1.5 s after the last key.
TEST(WireHidingE2eTest, TypingShowsOnlyOneLengthAndIdleShowsNothing) {
    TypingRun run = typeThenIdle({"--log-packets"}, PasswordCamouflage::IgnoreMessages, "echo hi", 2500);
    double shellAt = 0;
    for (const Received& r : run.packets)
        if (r.type == MSG_CMSG_EXEC_SHELL)
            shellAt = r.at;
    std::vector<Received> after;
    for (const Received& r : run.packets)
        if (r.at > shellAt && (r.type == MSG_CMSG_STDIN_DATA || r.type == MSG_IGNORE))
            after.push_back(r);
    // The closing "\nexit\n" went past the scheduler.
    ASSERT_GE(after.size(), 10u) << run.status;
    after.pop_back();
    double firstKey = 0, lastKey = 0;
    int keys = 0;
    for (const Received& r : after) {
        EXPECT_EQ(r.length, 10u) << r.type;
        if (r.type == MSG_CMSG_STDIN_DATA) {
            firstKey = keys++ == 0 ? r.at : firstKey;
            lastKey = r.at;
        }
    }
    EXPECT_EQ(keys, 7);
    int typing = 0, idle = 0;
    for (const Received& r : after) {
        typing += r.at >= firstKey && r.at <= lastKey;
        idle += r.at > lastKey + (CHAFF_MIN_MS + CHAFF_SPREAD_MS) / 1000.0 + 0.1;
    }
    double typingRate = (typing - 1) / (lastKey - firstKey);
    double chaffAfter = after.back().at - lastKey;
    std::cout << "while typing: " << typingRate << " packets/s; chaff went on " << chaffAfter
              << " s after the last key; idle from then on: " << idle << " packets\n";
    EXPECT_GT(typingRate, 20.0);
    EXPECT_LE(typingRate, 1000.0 / KEYSTROKE_TICK_MS + 1);
    EXPECT_GE(chaffAfter, (CHAFF_MIN_MS - KEYSTROKE_TICK_MS) / 1000.0 - 0.05);
    EXPECT_LE(chaffAfter, (CHAFF_MIN_MS + CHAFF_SPREAD_MS) / 1000.0 + 0.1);
    EXPECT_EQ(idle, 0);
}

// With the password sent plainly, a server that cannot take ignore messages
// lets the login through and falls over at the first chaff.
TEST(WireHidingE2eTest, AServerEndedByChaffNamesTheSetting) {
    TypingRun run = typeThenIdle({"--fault", "disconnect-on-ignore"}, PasswordCamouflage::None, "ls", 300);
    EXPECT_EQ(run.end, END_SERVER_DISCONNECT) << run.status;
    EXPECT_NE(run.status.find(std::string("turn ") + SETTING_OBSCURE_KEYSTROKE_TIMING + " off"), std::string::npos)
        << run.status;
}

} // namespace
} // namespace kestrel
