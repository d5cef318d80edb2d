#include <gtest/gtest.h>

#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

using test::LiveSession;
using test::Ssh1dProcess;

// Generous: ssh1d is a Python program and the machine may be busy.
constexpr double STEP_SECONDS = 20;

const std::string TYPED = "echo he''llo-\"$((6*7))\"\n";
const std::string ECHOED = "hello-42";

void runCommandAndExit(LiveSession& session) {
    ASSERT_TRUE(session.waitForShell(STEP_SECONDS)) << session.status.text();
    session.type(TYPED);
    EXPECT_TRUE(session.waitForText(ECHOED, STEP_SECONDS)) << session.status.text();
    session.type("exit\n");
    SessionEnd end = session.finish(STEP_SECONDS);
    EXPECT_FALSE(session.timedOut);
    EXPECT_TRUE(end == END_SERVER_EXIT || end == END_CONNECTION_LOST) << end;
}

struct CipherCase {
    uint32_t cipher;
    const char* selected;
};

// gtest would otherwise print the padding bytes too.
void PrintTo(const CipherCase& c, std::ostream* out) { *out << c.cipher; }

class FullSessionTest : public ::testing::TestWithParam<CipherCase> {};

TEST_P(FullSessionTest, ShellRunsACommandAndExits) {
    Ssh1dProcess server({"--allow-none"});
    LiveSession session(server.port(), GetParam().cipher, test::SSH1D_PASSWORD);
    runCommandAndExit(session);
    std::string text = session.status.text();
    EXPECT_NE(text.find(GetParam().selected), std::string::npos) << text;
    EXPECT_NE(text.find("Sent login password\nAuthorization successful.\nPTTY Allocated\n"),
              std::string::npos)
        << text;
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, FullSessionTest,
    ::testing::Values(CipherCase{3, "Cipher '3DES' selected.\n"},
                      CipherCase{6, "Cipher 'BLOWFISH' selected.\n"},
                      CipherCase{0, "No cipher selected. Encryption disabled.\n"}),
    [](const auto& info) { return std::to_string(info.param.cipher); });

TEST(SessionE2eTest, RefusedPtyStillRunsTheShell) {
    Ssh1dProcess server({"--fault", "refuse-pty"});
    LiveSession session(server.port(), 3, test::SSH1D_PASSWORD);
    runCommandAndExit(session);
    EXPECT_TRUE(session.status.contains("Warning - PTTY not Allocated\n"));
}

TEST(SessionE2eTest, UserNameAloneSkipsThePassword) {
    Ssh1dProcess server({"--fault", "no-password"});
    LiveSession session(server.port(), 6, "not used");
    runCommandAndExit(session);
    EXPECT_TRUE(session.status.contains("Sent login username\nAuthorization successful.\n"));
    EXPECT_FALSE(session.status.contains("Sent login password"));
}

TEST(SessionE2eTest, BlowfishPreferenceFallsBackWhenOnlyTripleDesIsOffered) {
    Ssh1dProcess server({"--ciphers-mask", "0x08"});
    LiveSession session(server.port(), 6, test::SSH1D_PASSWORD);
    runCommandAndExit(session);
    EXPECT_TRUE(session.status.contains("Cipher type 'BLOWFISHCBC' not supported by server.\n"));
    EXPECT_TRUE(session.status.contains("Cipher '3DES' selected.\n"));
}

TEST(SessionE2eTest, WrongPasswordIsRefused) {
    Ssh1dProcess server;
    LiveSession session(server.port(), 3, "wrong");
    EXPECT_EQ(session.finish(STEP_SECONDS), END_LOGIN_REFUSED);
    EXPECT_TRUE(session.status.contains("Sent login password\nAuthorization error. Check username and password.\n"));
}

TEST(SessionE2eTest, DisconnectAfterUserNameShowsTheReason) {
    Ssh1dProcess server({"--fault", "disconnect-after-user=go away"});
    LiveSession session(server.port(), 3, test::SSH1D_PASSWORD);
    EXPECT_EQ(session.finish(STEP_SECONDS), END_LOGIN_REFUSED);
    EXPECT_TRUE(session.status.contains("Error during authorization!\nServer response: go away\n"))
        << session.status.text();
}

} // namespace
} // namespace kestrel
