// A thousand sessions against ssh1d, cycling the ciphers and every fault
// mode, typing and resizing from this thread while the worker reads. After
// them the process holds the descriptors, threads and heap it held before,
// and every session ended in time with its own status line. Slow: run by
// hand (ctest -L slow).
#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <malloc.h>

#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int SOAK_SESSIONS = 1000;
constexpr double SESSION_SECONDS = 10;
constexpr double SILENT_SECONDS = 1.5;     // long-length: the user gives up
constexpr double HANG_SLACK_SECONDS = 5;   // time-out to worker joined
// Allocator caches, far below what a per-session loss would add up to.
constexpr std::size_t HEAP_GROWTH_LIMIT = 256 * 1024;

const char* const DECRYPT = "ERROR - CANNOT DECRYPT PACKET\n";
const char* const INSERTION = "ERROR - Corrupted packet (insertion attack) detected\n";
const char* const SHELL = "";    // the shell runs the typed command and exits
const char* const LOST = "lost"; // the connection ends without a line of its own

const std::pair<const char*, const char*> CASES[] = {
    {"", SHELL}, {"ignore-flood=6", SHELL}, {"no-password", SHELL}, {"refuse-pty", SHELL},
    {"empty-stdout", SHELL}, {"huge-stdout", SHELL}, {"one-byte-packets", SHELL}, {"stall=0.3@4", SHELL},
    {"bad-ident", "ERROR - Unrecognized SSH challenge\n"},
    {"disconnect-after-user=soak", "Server response: soak\n"},
    {"disconnect-after-user-long", "Server response: Long disconnect"},
    {"refuse-password", "Authorization error. Check username and password.\n"},
    {"bad-crc", DECRYPT}, {"bad-crc=1", "ERROR - Cannot read server public key\n"}, {"bad-crc=5", DECRYPT},
    {"long-length", DECRYPT}, {"huge-length", DECRYPT}, {"close-mid-packet", DECRYPT},
    {"close-mid-packet=6", LOST}, {"close-keys", "ERROR - Server and host key sizes differ by less than 128 bits\n"},
    {"insertion-attack", INSERTION}, {"insertion-attack=6", INSERTION}};

struct Counts {
    long descriptors = -1; // the listing's own
    long threads = 0;
    std::size_t heap = mallinfo2().uordblks;
};

Counts countNow() {
    Counts counts;
    DIR* folder = opendir("/proc/self/fd");
    while (dirent* entry = readdir(folder))
        counts.descriptors += entry->d_name[0] != '.';
    closedir(folder);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            counts.threads = std::stol(line.substr(8));
    return counts;
}

// True when the session ended as its fault says; overshoot: seconds past its time-out.
bool runOne(const char* fault, const std::string& expected, uint16_t port, uint32_t cipher, int index,
            double& overshoot) {
    test::LiveSession session(port, cipher, test::SSH1D_PASSWORD);
    double limit = std::string(fault) == "long-length" ? SILENT_SECONDS : SESSION_SECONDS;
    auto start = Clock::now();
    session.type("x"); // before the shell: queued
    session.host.setGeometry({30, 100, 800, 480});
    sendWindowSize(*session.state);
    std::string marker = "soak" + std::to_string(index);
    if (expected == SHELL && session.waitForShell(limit)) {
        session.type("\necho soak''" + std::to_string(index) + "\n");
        session.host.setGeometry({24, 80, 640, 384});
        sendWindowSize(*session.state);
        session.waitForText(marker, limit);
        session.type("exit\n");
    }
    SessionEnd end = session.finish(limit);
    overshoot = std::chrono::duration<double>(Clock::now() - start).count() - limit;
    if (expected == SHELL)
        return end == END_SERVER_EXIT && session.status.contains(marker);
    if (expected == LOST)
        return end == END_CONNECTION_LOST;
    return session.status.contains(expected) && session.timedOut == (limit == SILENT_SECONDS);
}

TEST(SoakTest, ThousandSessionsLeaveNothingBehind) {
    std::vector<std::unique_ptr<test::Ssh1dProcess>> servers;
    for (const auto& [fault, line] : CASES) {
        std::vector<std::string> args = {"--allow-none", "--max-sessions", "4"};
        if (*fault)
            args.insert(args.end(), {"--fault", fault});
        servers.push_back(std::make_unique<test::Ssh1dProcess>(args));
    }
    const std::size_t count = std::size(CASES);
    double overshoot = 0, worst = -SESSION_SECONDS;
    for (std::size_t i = 0; i < count; ++i) // lazily made state is not a leak
        runOne(CASES[i].first, CASES[i].second, servers[i]->port(), CIPHER_BLOWFISH, -1, overshoot);
    for (auto& server : servers) // the servers' logs are kept in this process
        server->forgetLog();
    Counts before = countNow();
    const uint32_t ciphers[] = {CIPHER_TRIPLE_DES, CIPHER_BLOWFISH, CIPHER_NONE};
    int failures = 0;
    auto start = Clock::now();
    for (int i = 0; i < SOAK_SESSIONS; ++i) {
        std::size_t which = std::size_t(i) % count;
        auto [fault, line] = CASES[which];
        bool spliceable = line != INSERTION; // no chain to splice without a cipher
        uint32_t cipher = ciphers[(std::size_t(i) / count) % (spliceable ? 3 : 2)];
        bool ok = runOne(fault, line, servers[which]->port(), cipher, i, overshoot);
        worst = std::max(worst, overshoot);
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << "session " << i << ": " << fault << ", cipher " << cipher;
    }
    for (auto& server : servers)
        server->forgetLog();
    Counts after = countNow();
    std::printf("soak: %d sessions in %.0f s, %d failed; latest end %+.2f s from its time-out\n"
                "descriptors %ld -> %ld, threads %ld -> %ld, heap in use %zu -> %zu bytes\n",
                SOAK_SESSIONS, std::chrono::duration<double>(Clock::now() - start).count(), failures, worst,
                before.descriptors, after.descriptors, before.threads, after.threads, before.heap, after.heap);
    EXPECT_EQ(failures, 0);
    EXPECT_LE(worst, HANG_SLACK_SECONDS);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.heap, before.heap + HEAP_GROWTH_LIMIT);
}

} // namespace
} // namespace kestrel
