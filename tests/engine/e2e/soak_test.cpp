// A thousand sessions against ssh1d, cycling the ciphers and every fault
// mode, with typing and resizing from this thread while the worker reads.
// Afterwards the process holds as many descriptors and threads as before and
// its heap has not grown; every session ended in time with its own status
// line. Slow (minutes): run by hand with `ctest -L slow`.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <malloc.h>
#include <memory>

#include "tests/engine/e2e/live_session.h"
#include "tests/engine/e2e/ssh1d_process.h"

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;
using test::LiveSession;
using test::Ssh1dProcess;

constexpr int SOAK_SESSIONS = 1000;
// A session that ends on its own does so well within this; the silent
// faults are cut short by it (the user's disconnect).
constexpr double SESSION_SECONDS = 10;
constexpr double SILENT_SECONDS = 1.5;
// Joining the worker after the time-out takes only the wake-up.
constexpr double HANG_SLACK_SECONDS = 5;
// Heap growth over the whole run that still counts as no leak: allocator
// caches, not a per-session loss (1000 sessions would leak far more).
constexpr std::size_t HEAP_GROWTH_LIMIT = 256 * 1024;

constexpr const char* CANNOT_DECRYPT = "ERROR - CANNOT DECRYPT PACKET\n";
constexpr const char* INSERTION = "ERROR - Corrupted packet (insertion attack) detected\n";

struct SoakCase {
    const char* fault;  // empty: a plain server
    const char* line;   // the line the session ends with; nullptr: the shell runs and exits
    bool silent;        // the server stops talking; the session is interrupted
    bool chainingOnly;  // needs a cipher with a chain to splice
};

const SoakCase CASES[] = {
    {"", nullptr, false, false},
    {"bad-ident", "ERROR - Unrecognized SSH challenge\n", false, false},
    {"ignore-flood=6", nullptr, false, false},
    {"disconnect-after-user=soak", "Server response: soak\n", false, false},
    {"disconnect-after-user-long", "Server response: Long disconnect", false, false},
    {"no-password", nullptr, false, false},
    {"refuse-password", "Authorization error. Check username and password.\n", false, false},
    {"refuse-pty", nullptr, false, false},
    {"bad-crc", CANNOT_DECRYPT, false, false},
    {"bad-crc=1", "ERROR - Cannot read server public key\n", false, false},
    {"bad-crc=5", CANNOT_DECRYPT, false, false},
    {"long-length", CANNOT_DECRYPT, true, false},
    {"huge-length", CANNOT_DECRYPT, false, false},
    {"close-mid-packet", CANNOT_DECRYPT, false, false},
    {"close-mid-packet=6", nullptr, false, false},
    {"close-keys", "ERROR - Server public key rejected\n", false, false},
    {"empty-stdout", nullptr, false, false},
    {"huge-stdout", nullptr, false, false},
    {"one-byte-packets", nullptr, false, false},
    {"stall=0.3@4", nullptr, false, false},
    {"insertion-attack", INSERTION, false, true},
    {"insertion-attack=6", INSERTION, false, true},
};

struct Counts {
    long descriptors = 0;
    long threads = 0;
    std::size_t heap = 0;
};

Counts countNow() {
    Counts counts;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(folder))
            counts.descriptors += entry->d_name[0] != '.';
        closedir(folder);
        --counts.descriptors; // the listing's own descriptor
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0)
            counts.threads = std::stol(line.substr(8));
    counts.heap = mallinfo2().uordblks;
    return counts;
}

struct Outcome {
    bool ok;
    double overshoot; // seconds past the session's time-out
    std::string detail;
};

// close-mid-packet=6 cuts the first output short: the session then ends
// as a lost connection without a line of its own.
Outcome runOne(const SoakCase& c, uint16_t port, uint32_t cipher, int index) {
    LiveSession session(port, cipher, test::SSH1D_PASSWORD);
    double limit = c.silent ? SILENT_SECONDS : SESSION_SECONDS;
    auto start = Clock::now();
    // Typed and resized before the shell runs (queued) and while it runs.
    session.type("x");
    session.host.setGeometry({30, 100, 800, 480});
    sendWindowSize(*session.state);
    std::string marker = "soak" + std::to_string(index);
    bool working = c.line == nullptr && std::string(c.fault) != "close-mid-packet=6";
    if (working && session.waitForShell(limit)) {
        session.type("\necho soak''" + std::to_string(index) + "\n");
        session.host.setGeometry({24, 80, 640, 384});
        sendWindowSize(*session.state);
        session.waitForText(marker, limit);
        session.type("exit\n");
    }
    SessionEnd end = session.finish(limit);
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::string text = session.status.text();
    bool ok;
    if (working)
        ok = end == END_SERVER_EXIT && text.find(marker) != std::string::npos;
    else if (c.line == nullptr)
        ok = end == END_CONNECTION_LOST;
    else
        ok = text.find(c.line) != std::string::npos && session.timedOut == c.silent;
    return {ok, took - limit, text.substr(text.size() > 300 ? text.size() - 300 : 0)};
}

TEST(SoakTest, ThousandSessionsLeaveNothingBehind) {
    std::vector<std::unique_ptr<Ssh1dProcess>> servers;
    for (const SoakCase& c : CASES) {
        std::vector<std::string> args = {"--allow-none", "--max-sessions", "4"};
        if (*c.fault)
            args.insert(args.end(), {"--fault", c.fault});
        servers.push_back(std::make_unique<Ssh1dProcess>(args));
    }
    const std::size_t caseCount = std::size(CASES);
    // One round first, so that lazily made state is not taken for a leak.
    for (std::size_t i = 0; i < caseCount; ++i)
        runOne(CASES[i], servers[i]->port(), CIPHER_BLOWFISH, -1);
    // The servers' logs are collected in this process; they are not the engine's.
    for (auto& server : servers)
        server->forgetLog();
    Counts before = countNow();

    const uint32_t ciphers[] = {CIPHER_TRIPLE_DES, CIPHER_BLOWFISH, CIPHER_NONE};
    int failures = 0;
    double worstOvershoot = -1e9;
    auto start = Clock::now();
    for (int i = 0; i < SOAK_SESSIONS; ++i) {
        std::size_t which = std::size_t(i) % caseCount;
        const SoakCase& c = CASES[which];
        uint32_t cipher = ciphers[(std::size_t(i) / caseCount) % (c.chainingOnly ? 2 : 3)];
        Outcome outcome = runOne(c, servers[which]->port(), cipher, i);
        worstOvershoot = std::max(worstOvershoot, outcome.overshoot);
        if (!outcome.ok && ++failures <= 5)
            ADD_FAILURE() << "session " << i << " (" << c.fault << ", cipher " << cipher << "):\n"
                          << outcome.detail;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& server : servers)
        server->forgetLog();
    Counts after = countNow();
    std::printf("soak: %d sessions in %.0f s, %d failed; worst end %.2f s %s the time-out\n"
                "descriptors %ld -> %ld, threads %ld -> %ld, heap in use %zu -> %zu bytes\n",
                SOAK_SESSIONS, seconds, failures, std::abs(worstOvershoot),
                worstOvershoot > 0 ? "past" : "before", before.descriptors, after.descriptors, before.threads,
                after.threads, before.heap, after.heap);
    EXPECT_EQ(failures, 0);
    EXPECT_LE(worstOvershoot, HANG_SLACK_SECONDS);
    EXPECT_EQ(after.descriptors, before.descriptors);
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.heap, before.heap + HEAP_GROWTH_LIMIT);
}

} // namespace
} // namespace kestrel
