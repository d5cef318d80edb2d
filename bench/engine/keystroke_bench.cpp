// What the keystroke clock costs: the delay it adds to each key, the CPU of
// the sending thread and the packets per second on the wire, while typing
// and while idle, beside the same typing sent at once (the clock off).
//
// In process: the engine's own session sends into one end of a socket pair;
// a reader on the other end stamps every packet's arrival. Without a cipher
// the reader can tell keys from chaff (for the delay); with Triple-DES and
// Blowfish it only counts (for the CPU a real session pays).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crypto/byte_order.h"
#include "engine/keystroke_scheduler.h"

using namespace kestrel;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int KEY_INTERVAL_MS = 150; // a steady typist, about 80 words a minute
constexpr int TYPING_MS = 6000;
constexpr int IDLE_MS = 4000;
// The idle count starts once any chaff must be over.
constexpr int IDLE_SETTLE_MS = CHAFF_MIN_MS + CHAFF_SPREAD_MS + 100;

double seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

double threadCpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_THREAD, &use);
    return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

struct Arrival {
    double at;
    int type; // only meaningful without a cipher
};

class Wire {
public:
    explicit Wire(uint8_t cipher) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            std::exit(1);
        reader_ = ends[1];
        state = new SessionState(std::make_unique<Transport>(SocketHandle(ends[0])), cipher, host_);
        std::string seed = "/tmp/keystroke_bench_seed_" + std::to_string(getpid());
        poolInit(state->pool, seed.c_str());
        unlink(seed.c_str());
        Transport& plain = *state->plainTransport;
        if (cipher == CIPHER_TRIPLE_DES)
            state->cipherTransport = std::make_unique<TripleDesTransport>(plain, state->contexts);
        else if (cipher == CIPHER_BLOWFISH)
            state->cipherTransport = std::make_unique<BlowfishTransport>(plain, state->contexts);
        else
            state->cipherTransport = std::make_unique<NullCipherTransport>(plain, state->contexts);
        uint8_t key[32];
        for (uint8_t& byte : key)
            byte = poolGetByte(state->pool);
        state->cipherTransport->setSessionKey(key, sizeof key);
        state->shellStarted = true;
        thread_ = std::thread([this] { read(); });
    }
    ~Wire() {
        state->plainTransport->stream().shutdownBoth();
        thread_.join();
        close(reader_);
        destroySession(state);
    }
    std::vector<Arrival> arrivals() {
        std::lock_guard<std::mutex> hold(lock_);
        return arrivals_;
    }
    SessionState* state;

private:
    bool readAll(uint8_t* to, std::size_t n) {
        while (n > 0) {
            ssize_t got = recv(reader_, to, n, 0);
            if (got <= 0)
                return false;
            to += got, n -= std::size_t(got);
        }
        return true;
    }
    void read() {
        std::vector<uint8_t> body;
        for (uint8_t head[4]; readAll(head, 4);) {
            uint32_t length = loadBe32(head);
            body.resize(length + 8 - length % 8);
            if (!readAll(body.data(), body.size()))
                return;
            std::lock_guard<std::mutex> hold(lock_);
            arrivals_.push_back({seconds(Clock::now()), body[body.size() - length]});
        }
    }
    FixedSessionHost host_{"u", "p", false, {24, 80, 0, 0}};
    int reader_;
    std::thread thread_;
    std::mutex lock_;
    std::vector<Arrival> arrivals_;
};

struct Result {
    double typingRate, idleRate, typingCpuPerSecond, idleCpuPerSecond;
    double meanDelayMs, p95DelayMs, maxDelayMs;
};

// Types one key every KEY_INTERVAL_MS, driving the clock the way kestrel1's
// loop does (sleep until the next key or tick), then idles.
Result run(uint8_t cipher, bool clockOn) {
    Wire wire(cipher);
    SessionKeystrokeOutput output(*wire.state);
    KeystrokeScheduler scheduler(output, clockOn);
    std::vector<double> typedAt;
    auto start = Clock::now();
    auto typingEnd = start + std::chrono::milliseconds(TYPING_MS);
    auto idleEnd = typingEnd + std::chrono::milliseconds(IDLE_MS);
    auto nextKey = start;
    double cpuStart = threadCpuSeconds(), cpuTyping = 0;
    bool typingDone = false;
    for (auto now = Clock::now(); now < idleEnd; now = Clock::now()) {
        if (!typingDone && now >= typingEnd) {
            cpuTyping = threadCpuSeconds() - cpuStart;
            typingDone = true;
        }
        if (!typingDone && now >= nextKey) {
            char key = char('a' + typedAt.size() % 26);
            typedAt.push_back(seconds(now));
            scheduler.type(&key, 1, keystrokeClockMs());
            nextKey += std::chrono::milliseconds(KEY_INTERVAL_MS);
        }
        scheduler.tick(keystrokeClockMs());
        auto wake = typingDone ? idleEnd : std::min(nextKey, typingEnd);
        int64_t tick = scheduler.msUntilTick(keystrokeClockMs());
        if (tick >= 0)
            wake = std::min(wake, Clock::now() + std::chrono::milliseconds(tick));
        std::this_thread::sleep_until(wake);
    }
    double cpuIdle = threadCpuSeconds() - cpuStart - cpuTyping;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<Arrival> arrivals = wire.arrivals();
    Result r{};
    double t0 = seconds(start), t1 = seconds(typingEnd), t2 = seconds(idleEnd);
    int typing = 0, idle = 0;
    for (const Arrival& a : arrivals) {
        typing += a.at >= t0 && a.at < t1;
        idle += a.at >= t1 + IDLE_SETTLE_MS / 1000.0 && a.at < t2;
    }
    r.typingRate = typing / (t1 - t0);
    r.idleRate = idle / (t2 - t1 - IDLE_SETTLE_MS / 1000.0);
    r.typingCpuPerSecond = cpuTyping / (t1 - t0);
    r.idleCpuPerSecond = cpuIdle / (t2 - t1);
    if (cipher == CIPHER_NONE) {
        std::size_t k = 0;
        double sum = 0;
        std::vector<double> delays;
        for (const Arrival& a : arrivals) {
            if (a.type != MSG_CMSG_STDIN_DATA || k >= typedAt.size())
                continue;
            delays.push_back((a.at - typedAt[k++]) * 1000);
            sum += delays.back();
        }
        std::sort(delays.begin(), delays.end());
        if (!delays.empty()) {
            r.meanDelayMs = sum / double(delays.size());
            r.p95DelayMs = delays[delays.size() * 95 / 100];
            r.maxDelayMs = delays.back();
        }
    }
    return r;
}

const char* cipherName(uint8_t cipher) {
    return cipher == CIPHER_TRIPLE_DES ? "3des" : cipher == CIPHER_BLOWFISH ? "blowfish" : "none";
}

} // namespace

int main() {
    std::printf("one key every %d ms for %.1f s, then %.1f s idle (idle counted after %.1f s)\n", KEY_INTERVAL_MS,
                TYPING_MS / 1000.0, IDLE_MS / 1000.0, IDLE_SETTLE_MS / 1000.0);
    std::printf("%-9s %-6s %10s %9s %15s %14s %11s %10s %10s\n", "cipher", "clock", "typing p/s", "idle p/s",
                "typing CPU ms/s", "idle CPU ms/s", "delay mean", "delay p95", "delay max");
    for (uint8_t cipher : {CIPHER_NONE, CIPHER_TRIPLE_DES, CIPHER_BLOWFISH}) {
        for (bool on : {false, true}) {
            Result r = run(cipher, on);
            if (cipher == CIPHER_NONE)
                std::printf("%-9s %-6s %10.1f %9.2f %15.3f %14.3f %8.2f ms %7.2f ms %7.2f ms\n", cipherName(cipher),
                            on ? "on" : "off", r.typingRate, r.idleRate, r.typingCpuPerSecond * 1000,
                            r.idleCpuPerSecond * 1000, r.meanDelayMs, r.p95DelayMs, r.maxDelayMs);
            else
                std::printf("%-9s %-6s %10.1f %9.2f %15.3f %14.3f %11s %10s %10s\n", cipherName(cipher),
                            on ? "on" : "off", r.typingRate, r.idleRate, r.typingCpuPerSecond * 1000,
                            r.idleCpuPerSecond * 1000, "-", "-", "-");
        }
    }
    double load[3] = {};
    if (getloadavg(load, 3) > 0)
        std::printf("load average %.2f\n", load[0]);
    return 0;
}
