// Sessions against ssh1d that must reach the shell, run a command and end
// cleanly: every cipher, the login variants, and the server faults the
// session rides through.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

using test::LiveSession;
using test::Ssh1dProcess;
using test::STEP_SECONDS;

void runCommandAndExit(LiveSession& session) {
    ASSERT_TRUE(session.waitForShell(STEP_SECONDS)) << session.status.text();
    session.type("echo he''llo-\"$((6*7))\"\n");
    EXPECT_TRUE(session.waitForText("hello-42", STEP_SECONDS)) << session.status.text();
    session.type("exit\n");
    SessionEnd end = session.finish(STEP_SECONDS);
    EXPECT_FALSE(session.timedOut);
    EXPECT_TRUE(end == END_SERVER_EXIT || end == END_CONNECTION_LOST) << end;
}

const char* const PASSWORD_LOGIN = "Sent login password\nAuthorization successful.\nPTTY Allocated\n";

struct WorkingCase {
    const char* name;
    std::vector<std::string> serverArguments;
    uint32_t cipher;
    std::vector<std::string> shown;
    const char* absent = nullptr;
    const char* password = test::SSH1D_PASSWORD;
};

void PrintTo(const WorkingCase& c, std::ostream* out) { *out << c.name; }

class WorkingSessionTest : public ::testing::TestWithParam<WorkingCase> {};

TEST_P(WorkingSessionTest, ShellRunsACommandAndExits) {
    const WorkingCase& c = GetParam();
    Ssh1dProcess server(c.serverArguments);
    LiveSession session(server.port(), c.cipher, c.password);
    runCommandAndExit(session);
    std::string text = session.status.text();
    for (const std::string& line : c.shown)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n---\n" << text;
    if (c.absent) {
        EXPECT_EQ(text.find(c.absent), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, WorkingSessionTest,
    ::testing::Values(
        WorkingCase{"TripleDes", {"--allow-none"}, 3, {"Cipher '3DES' selected.\n", PASSWORD_LOGIN}},
        WorkingCase{"Blowfish", {"--allow-none"}, 6, {"Cipher 'BLOWFISH' selected.\n", PASSWORD_LOGIN}},
        WorkingCase{"None", {"--allow-none"}, 0,
                    {"No cipher selected. Encryption disabled.\n", PASSWORD_LOGIN}},
        WorkingCase{"BlowfishFallsBack", {"--ciphers-mask", "0x08"}, 6,
                    {"Cipher type 'BLOWFISHCBC' not supported by server.\n", "Cipher '3DES' selected.\n"}},
        WorkingCase{"RefusedPty", {"--fault", "refuse-pty"}, 3, {"Warning - PTTY not Allocated\n"}},
        WorkingCase{"UserNameAlone", {"--fault", "no-password"}, 6,
                    {"Sent login username\nAuthorization successful.\n"}, "Sent login password", "not used"},
        WorkingCase{"IgnoreFlood", {"--fault", "ignore-flood"}, 6, {}},
        WorkingCase{"EmptyStdout", {"--fault", "empty-stdout"}, 6, {}},
        WorkingCase{"OneBytePackets", {"--fault", "one-byte-packets"}, 6, {}},
        WorkingCase{"Stall", {"--fault", "stall=1@3"}, 6, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SessionE2eTest, LargestStdoutStringArrivesWhole) {
    Ssh1dProcess server({"--fault", "huge-stdout"});
    LiveSession session(server.port(), 3, test::SSH1D_PASSWORD);
    runCommandAndExit(session);
    std::string text = session.status.text();
    EXPECT_GE(std::count(text.begin(), text.end(), 'z'), 262135 / 38);
}

// Typing and resizing from another thread while the server floods output:
// the sends must never interleave (the server would see a broken packet or a
// broken cipher chain). Meant for the ThreadSanitizer build too.
TEST(ConcurrencyTest, TypingAndResizingDuringAFlood) {
    test::Ssh1dProcess server;
    test::LiveSession session(server.port(), 3, test::SSH1D_PASSWORD);
    ASSERT_TRUE(session.waitForShell(20)) << session.status.text();
    session.type("i=0; while [ $i -lt 60000 ]; do echo flood-line-$i; i=$((i+1)); done; "
                 "echo FLOOD-\"\"DONE\n");

    std::atomic<bool> stop{false};
    std::thread typist([&] {
        for (uint32_t n = 0; !stop.load() && n < 400; ++n) {
            session.host.setGeometry({24 + n % 10, 80 + n % 7, 640, 384});
            sendWindowSize(*session.state);
            session.type(" ");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    bool done = session.waitForText("FLOOD-DONE", 60);
    stop.store(true);
    typist.join();
    EXPECT_TRUE(done);
    session.type("\nexit\n");
    SessionEnd end = session.finish(20);
    EXPECT_FALSE(session.timedOut);
    EXPECT_TRUE(end == END_SERVER_EXIT || end == END_CONNECTION_LOST) << end;
    EXPECT_TRUE(session.status.contains("flood-line-59999"));
    EXPECT_EQ(server.log().find("error"), std::string::npos) << server.log();
}

} // namespace
} // namespace kestrel
