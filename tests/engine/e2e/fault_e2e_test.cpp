// Every way ssh1d can misbehave ends the session with its status line, in
// bounded time, without a crash or a leak (run this under the sanitizers).
#include <gtest/gtest.h>

#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

using test::LiveSession;
using test::Ssh1dProcess;
using test::STEP_SECONDS;
// A server that goes silent mid-packet is only noticed when the user gives up.
constexpr double SILENCE_SECONDS = 3;

struct FaultCase {
    const char* fault;
    const char* line;      // the status line the session must end with
    SessionEnd end;
    bool interrupted;      // the server goes silent; the test plays the user's disconnect
};

// gtest would otherwise print the padding bytes too.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.fault; }

class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, EndsWithItsStatusLine) {
    const FaultCase& c = GetParam();
    Ssh1dProcess server({"--fault", c.fault});
    LiveSession session(server.port(), 3, test::SSH1D_PASSWORD);
    SessionEnd end = session.finish(c.interrupted ? SILENCE_SECONDS : STEP_SECONDS);
    EXPECT_EQ(session.timedOut, c.interrupted) << session.status.text();
    EXPECT_EQ(end, c.end) << session.status.text();
    EXPECT_TRUE(session.status.contains(c.line)) << session.status.text() << server.log();
}

// A server that does not offer the cipher refuses the session key in clear;
// the user sees its reason, not a decryption failure.
TEST(ClearRefusalTest, ShowsTheServersReason) {
    Ssh1dProcess server({"--ciphers-mask", "0"});
    LiveSession session(server.port(), 3, test::SSH1D_PASSWORD);
    EXPECT_EQ(session.finish(STEP_SECONDS), END_KEY_EXCHANGE);
    EXPECT_TRUE(session.status.contains("Server response: cipher type 3 is not offered\n"))
        << session.status.text();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultTest,
    ::testing::Values(
        FaultCase{"bad-ident", "ERROR - Unrecognized SSH challenge\n", END_BAD_CHALLENGE, false},
        FaultCase{"bad-crc", "ERROR - CANNOT DECRYPT PACKET\n", END_CANNOT_DECRYPT, false},
        FaultCase{"bad-crc=1", "ERROR - Cannot read server public key\n", END_KEY_EXCHANGE, false},
        FaultCase{"bad-crc=3", "ERROR - CANNOT DECRYPT PACKET\n", END_CANNOT_DECRYPT, false},
        // The pty reply: a damaged packet is not taken for a refusal.
        FaultCase{"bad-crc=5", "ERROR - CANNOT DECRYPT PACKET\n", END_CANNOT_DECRYPT, false},
        FaultCase{"huge-length", "ERROR - CANNOT DECRYPT PACKET\n", END_CANNOT_DECRYPT, false},
        FaultCase{"huge-length=1", "ERROR - Cannot read server public key\n", END_KEY_EXCHANGE, false},
        FaultCase{"close-mid-packet", "ERROR - CANNOT DECRYPT PACKET\n", END_CANNOT_DECRYPT, false},
        FaultCase{"close-mid-packet=1", "ERROR - Cannot read server public key\n", END_KEY_EXCHANGE,
                  false},
        FaultCase{"long-length", "ERROR - CANNOT DECRYPT PACKET\n", END_CANNOT_DECRYPT, true},
        FaultCase{"close-keys", "ERROR - Server and host key sizes differ by less than 128 bits\n",
                  END_KEY_EXCHANGE, false},
        FaultCase{"disconnect-after-user=go away", "Error during authorization!\nServer response: go away\n",
                  END_LOGIN_REFUSED, false},
        FaultCase{"disconnect-after-user-long", "Error during authorization!\nServer response: ",
                  END_LOGIN_REFUSED, false},
        FaultCase{"insertion-attack", "ERROR - Corrupted packet (insertion attack) detected\n",
                  END_INSERTION_ATTACK, false},
        // In the interactive loop, before the first output.
        FaultCase{"insertion-attack=6", "ERROR - Corrupted packet (insertion attack) detected\n",
                  END_INSERTION_ATTACK, false},
        FaultCase{"refuse-password", "Authorization error. Check username and password.\n",
                  END_LOGIN_REFUSED, false}),
    [](const auto& info) {
        std::string name = info.param.fault;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

} // namespace
} // namespace kestrel
