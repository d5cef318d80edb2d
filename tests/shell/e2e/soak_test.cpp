// Three hundred sessions through the real window against ssh1d, cycling
// server-ended, user-ended, refused and faulted sessions with a paste and a
// re-layout in each. After them the process holds the handles, GDI and user
// objects, threads and private memory it held before. Each counter is first
// shown to move under this system (ten objects made, ten more counted); one
// that does not is reported as not measured, never compared. Slow: run by
// hand (ctest -L slow).
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/resource_ids.h"
#include "shell/shell_state.h"
#include "tools/kestrel1-drive/driver.h"

namespace kestrel::drive {
namespace {

constexpr int SOAK_SESSIONS = 300;
constexpr double SOAK_SECONDS = 3000;   // one deadline for the whole run
constexpr int PROBE_OBJECTS = 10;       // "make ten, see ten more"
constexpr SIZE_T PROBE_BLOCK = 1 << 20; // each probe allocation, committed and touched
// Wine's own helper threads and handles come and go with timers and the
// socket layer; a per-session loss would show as hundreds.
constexpr long HANDLE_GROWTH_LIMIT = 24;
constexpr long THREAD_GROWTH_LIMIT = 3;
constexpr long GUI_OBJECT_GROWTH_LIMIT = 8;
// Allocator and font caches settle after the warm-up session; a leak of a
// packet buffer or a screen per session would pass this many times over.
constexpr long long PRIVATE_GROWTH_LIMIT = 4ll << 20;
constexpr wchar_t KEY[] = L"Software\\Orrin Software\\Kestrel1";

std::wstring ssh1dPort() {
    std::ifstream in(KESTREL_SSH1D_PORT_FILE);
    std::string port;
    in >> port;
    return std::wstring(port.begin(), port.end()); // digits only
}

// The system's readings first, then counts of our own for those that this
// system may not keep (Wine reports zero for several).
enum { HANDLES, GDI, USER, THREADS, PRIVATE, OWN_HANDLES, OWN_WINDOWS, OWN_PRIVATE, COUNTERS };
constexpr int FALLBACK_FROM = OWN_HANDLES; // the first of our own counts
struct Counters {
    long long value[COUNTERS] = {};
};
const char* const COUNTER_NAMES[COUNTERS] = {"handles", "GDI objects", "user objects", "threads", "private bytes",
                                             "handles (own count)", "windows (own count)",
                                             "private bytes (own count)"};
const long long COUNTER_LIMITS[COUNTERS] = {HANDLE_GROWTH_LIMIT, GUI_OBJECT_GROWTH_LIMIT, GUI_OBJECT_GROWTH_LIMIT,
                                            THREAD_GROWTH_LIMIT, PRIVATE_GROWTH_LIMIT, HANDLE_GROWTH_LIMIT,
                                            GUI_OBJECT_GROWTH_LIMIT, PRIVATE_GROWTH_LIMIT};
// The reading a counter falls back to when it does not move; -1: none.
const int FALLBACK[COUNTERS] = {OWN_HANDLES, -1, OWN_WINDOWS, -1, OWN_PRIVATE, -1, -1, -1};
// Handle values are multiples of four from the bottom up; far more than
// this process ever holds.
constexpr uintptr_t HANDLE_SCAN_LIMIT = 0x10000;

long threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    long count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

long openHandleCount() {
    long count = 0;
    for (uintptr_t value = 4; value < HANDLE_SCAN_LIMIT; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
    }
    return count;
}

BOOL CALLBACK countOwnWindow(HWND window, LPARAM count) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId()) {
        ++*reinterpret_cast<long*>(count);
        EnumChildWindows(window, countOwnWindow, count);
    }
    return TRUE;
}

long windowCount() {
    long count = 0;
    EnumWindows(countOwnWindow, reinterpret_cast<LPARAM>(&count));
    HWND message = nullptr; // message-only windows are not in the top-level list
    while ((message = FindWindowExW(HWND_MESSAGE, message, nullptr, nullptr)) != nullptr)
        countOwnWindow(message, reinterpret_cast<LPARAM>(&count));
    return count;
}

long long committedPrivateBytes() {
    long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<char*>(region.BaseAddress) + region.RegionSize)
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    return total;
}

Counters countNow() {
    Counters counts;
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    counts.value[HANDLES] = handles;
    counts.value[GDI] = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    counts.value[USER] = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
    counts.value[THREADS] = threadCount();
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    counts.value[PRIVATE] = memory.PrivateUsage;
    counts.value[OWN_HANDLES] = openHandleCount();
    counts.value[OWN_WINDOWS] = windowCount();
    counts.value[OWN_PRIVATE] = committedPrivateBytes();
    return counts;
}

// Which counters see ten more objects when ten are made.
std::vector<bool> countersThatMove() {
    Counters before = countNow();
    std::vector<HANDLE> events;
    std::vector<HBRUSH> brushes;
    std::vector<HWND> windows;
    std::vector<void*> blocks;
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < PROBE_OBJECTS; ++i) {
        events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        brushes.push_back(CreateSolidBrush(RGB(i, 0, 0)));
        windows.push_back(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
        void* block = VirtualAlloc(nullptr, PROBE_BLOCK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        memset(block, 1, PROBE_BLOCK);
        blocks.push_back(block);
        threads.emplace_back([release] { WaitForSingleObject(release, INFINITE); });
    }
    Sleep(100);
    Counters after = countNow();
    SetEvent(release);
    for (auto& thread : threads)
        thread.join();
    CloseHandle(release);
    for (int i = 0; i < PROBE_OBJECTS; ++i) {
        CloseHandle(events[i]);
        DeleteObject(brushes[i]);
        DestroyWindow(windows[i]);
        VirtualFree(blocks[i], 0, MEM_RELEASE);
    }
    // The threads' own handles add to the events'.
    const long long block = PROBE_OBJECTS * (long long)PROBE_BLOCK;
    const long long needed[COUNTERS] = {PROBE_OBJECTS, PROBE_OBJECTS, PROBE_OBJECTS, PROBE_OBJECTS, block,
                                        PROBE_OBJECTS, PROBE_OBJECTS, block};
    std::vector<bool> moves;
    for (int c = 0; c < COUNTERS; ++c) {
        long long seen = after.value[c] - before.value[c];
        std::printf("probe: %-25s %lld -> %lld (+%lld for %lld made)\n", COUNTER_NAMES[c], before.value[c],
                    after.value[c], seen, needed[c]);
        moves.push_back(seen >= needed[c]);
    }
    return moves;
}

// A relay to ssh1d that, once armed, flips a byte of the server's next
// chunk and then drops the connection: a session that fails mid-stream.
class FaultRelay {
public:
    explicit FaultRelay(uint16_t target) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = loopback(0);
        int length = sizeof address;
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        relay_ = std::thread([this, target] { run(target); });
    }
    ~FaultRelay() {
        closesocket(listener_);
        relay_.join();
    }
    std::wstring port() const { return std::to_wstring(port_); }
    void arm() { armed_ = true; }

private:
    static sockaddr_in loopback(uint16_t port) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }
    void run(uint16_t target) {
        SOCKET client = accept(listener_, nullptr, nullptr);
        SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = loopback(target);
        if (client != INVALID_SOCKET && connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            pipe(client, server);
        closesocket(client);
        closesocket(server);
    }
    void pipe(SOCKET client, SOCKET server) {
        char buffer[4096];
        for (;;) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(client, &ready);
            FD_SET(server, &ready);
            timeval beat = {0, 100000};
            if (select(0, &ready, nullptr, nullptr, &beat) < 0)
                return;
            for (auto [from, to] : {std::pair{client, server}, std::pair{server, client}}) {
                if (!FD_ISSET(from, &ready))
                    continue;
                int got = recv(from, buffer, sizeof buffer, 0);
                bool fault = armed_ && from == server && got > 0;
                if (fault)
                    buffer[got - 1] ^= 0x5a; // a CRC or body byte: the packet fails its check
                if (got <= 0 || send(to, buffer, got, 0) != got)
                    return;
                if (fault) {
                    Sleep(200);
                    return;
                }
            }
        }
    }

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::atomic<bool> armed_{false};
    std::thread relay_;
};

// A loopback port with nothing listening: the connect is refused.
std::wstring closedPort() {
    SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    return std::to_wstring(ntohs(address.sin_port));
}

void putOnClipboard(const std::string& text) {
    ASSERT_TRUE(OpenClipboard(MainWindow));
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    memcpy(GlobalLock(memory), text.c_str(), text.size() + 1);
    GlobalUnlock(memory);
    SetClipboardData(CF_TEXT, memory);
    CloseClipboard();
}

int sessionCount() {
    const char* wanted = std::getenv("KESTREL_SOAK_SESSIONS");
    return wanted != nullptr && std::atoi(wanted) > 0 ? std::atoi(wanted) : SOAK_SESSIONS;
}

enum Kind { SERVER_ENDED, USER_ENDED, REFUSED, FAULTED, KINDS };

class ShellSoak : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        RegDeleteTreeW(HKEY_CURRENT_USER, KEY);
        driver.acceptNewHostKeys(true); // ssh1d's key, new to a fresh store
        ASSERT_TRUE(driver.start(GetModuleHandleW(nullptr)));
    }
    void TearDown() override {
        driver.finish();
        WSACleanup();
    }

    ConnectFields server(const std::wstring& port) {
        ConnectFields fields;
        fields.server = L"127.0.0.1";
        fields.port = port;
        fields.user = L"tester";
        fields.password = L"s3cret pass";
        return fields;
    }

    // One session of the given kind; false with a trace when it went astray.
    bool session(Kind kind, int number) {
        std::string marker = "soak-" + std::to_string(number);
        if (kind == REFUSED)
            return driver.connect(server(closedPort())) && driver.waitForSessionEnd();
        if (kind == FAULTED) {
            FaultRelay relay(uint16_t(std::stoi(ssh1dPort())));
            if (!driver.connect(server(relay.port())) || !driver.waitForShell())
                return false;
            relay.arm();
            driver.type("echo " + marker + "\n");
            return driver.waitForSessionEnd();
        }
        if (!driver.connect(server(ssh1dPort())) || !driver.waitForShell())
            return false;
        putOnClipboard("echo " + marker + "-$((6*7))\n");
        driver.command(IDM_PASTE);
        if (!driver.waitFor(marker + "-42\r\n"))
            return false;
        if (kind == SERVER_ENDED)
            driver.type("exit\n");
        else
            driver.disconnect();
        return driver.waitForSessionEnd();
    }
    // A new font size or terminal type between sessions re-lays out the grid.
    bool relayout(int number) {
        if (number % 2 == 0)
            return driver.chooseFont(number % 4 == 0 ? L"12" : L"10");
        return driver.terminalSettings(number % 4 == 1);
    }

    Driver driver{SOAK_SECONDS};
};

TEST_F(ShellSoak, SessionsLeaveNoHandlesObjectsThreadsOrMemoryBehind) {
    std::vector<bool> moves = countersThatMove();
    // A warm-up of each kind: Winsock, fonts and the allocator settle first.
    for (int kind = 0; kind < KINDS; ++kind)
        ASSERT_TRUE(session(Kind(kind), -1 - kind)) << "warm-up kind " << kind;
    ASSERT_TRUE(relayout(0) && relayout(1) && relayout(2) && relayout(3));
    driver.idle(500);
    Counters before = countNow();
    std::size_t transcriptBefore = driver.output().size();
    int sessions = sessionCount();
    for (int number = 0; number < sessions; ++number) {
        ASSERT_TRUE(session(Kind(number % KINDS), number)) << "session " << number;
        ASSERT_TRUE(relayout(number)) << "re-layout after session " << number;
    }
    driver.idle(500);
    Counters after = countNow();
    // The driver keeps all the terminal was fed: this test's own growth,
    // inside the private bytes, shown so the program's share can be told.
    std::printf("soak: %d sessions, driver transcript +%zu bytes\n", sessions,
                driver.output().size() - transcriptBefore);
    for (int c = 0; c < FALLBACK_FROM; ++c) {
        int used = moves[c] ? c : FALLBACK[c] >= 0 && moves[FALLBACK[c]] ? FALLBACK[c] : -1;
        if (used < 0) {
            std::printf("soak: %-25s not measured (does not move under this system)\n", COUNTER_NAMES[c]);
            continue;
        }
        std::printf("soak: %-25s before %lld after %lld (limit +%lld)\n", COUNTER_NAMES[used], before.value[used],
                    after.value[used], COUNTER_LIMITS[used]);
        EXPECT_LE(after.value[used] - before.value[used], COUNTER_LIMITS[used]) << COUNTER_NAMES[used];
    }
}

} // namespace
} // namespace kestrel::drive
