// Typing and resizing from another thread while the server floods output:
// the sends must never interleave (the server would see a broken packet or a
// broken cipher chain). Meant for the ThreadSanitizer build too.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

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
