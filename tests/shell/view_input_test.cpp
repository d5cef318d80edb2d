// What the user types, pastes or the terminal answers, as it reaches a
// recording peer of a session; and the feeding worker against re-layouts.
#include "shell_fixture.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "engine/protocol.h"
#include "shell/input_queue.h"
#include "shell/resource_ids.h"
#include "test_support.h"

namespace kestrel::test {
namespace {

// A session (its shell started or not) whose peer records every stdin
// message.
class RecordingSession {
public:
    explicit RecordingSession(bool shellStarted) : state_(std::make_unique<Transport>(pair_.client), 0, host_)
    {
        pair_.client = SOCKET_CLOSED;  // the session closes it
        state_.cipherTransport = std::make_unique<NullCipherTransport>(*state_.plainTransport, state_.contexts);
        state_.shellStarted = shellStarted;
        CurrentConnection = state_.plainTransport.get();
        CurrentSession = &state_;
        reader_ = std::thread([this] {
            Transport peer(pair_.server);
            for (PacketBuffer packet; peer.readPacket(packet) == MSG_CMSG_STDIN_DATA;) {
                std::string data = packet.getString();
                std::lock_guard<std::mutex> hold(lock_);
                received_ += data;
                ++messages_;
            }
        });
    }
    ~RecordingSession()
    {
        CurrentConnection = nullptr;
        CurrentSession = nullptr;
        state_.plainTransport->stream().close();
        reader_.join();
    }
    void startShell()
    {
        std::lock_guard<std::mutex> hold(state_.sendLock);
        state_.shellStarted = true;
    }
    std::string received()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return received_;
    }
    SessionState& state() { return state_; }
    bool waitFor(std::size_t bytes) { return pumpUntil([&] { return received().size() >= bytes; }, 60000); }
    int messages_ = 0;

private:
    SocketPair pair_;
    FixedSessionHost host_{"user", "password", false, {24, 80, 0, 0}};
    SessionState state_;
    std::thread reader_;
    std::mutex lock_;
    std::string received_;
};

void putOnClipboard(const std::wstring& text)
{
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    memcpy(GlobalLock(memory), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(memory);
    SetClipboardData(CF_UNICODETEXT, memory);
    CloseClipboard();
}

// Pasted while the session still starts: it waits for the shell, then goes
// out whole, in order, in messages the protocol accepts.
TEST_F(ShellTest, PasteOfOneMebibyteBeforeTheShellStartsArrivesInOrder)
{
    startShell();
    RecordingSession session(false);
    std::string expected;
    for (int line = 0; expected.size() < 1024 * 1024; ++line) {
        expected += "line " + std::to_string(line) + " of the paste\r\n";
    }
    expected.resize(1024 * 1024);
    putOnClipboard(std::wstring(expected.begin(), expected.end()));
    SendMessageW(MainWindow, WM_COMMAND, IDM_PASTE, 0);
    pumpFor(100);
    EXPECT_EQ(session.received(), "");
    session.startShell();
    ASSERT_TRUE(session.waitFor(expected.size()));
    EXPECT_TRUE(session.received() == expected);
    EXPECT_GE(session.messages_, static_cast<int>(expected.size() / INPUT_CHUNK_BYTES));
}

TEST_F(ShellTest, KeysArrowsAndAnswersReachTheHostOnlyWhileConnected)
{
    startShell();
    SendMessageW(MainWindow, WM_CHAR, 'z', 0);
    SendMessageW(MainWindow, WM_KEYDOWN, VK_UP, 0);
    EXPECT_EQ(queuedInputBytes(), 0U);
    EXPECT_EQ(lineText(1), "Kestrel1 v1.00.46 Initialized.");
    RecordingSession session(true);
    struct Key {
        bool vt52;
        UINT message;
        WPARAM code;
        const char* bytes;
    } keys[] = {
        {false, WM_CHAR, 'a', "a"},           {false, WM_CHAR, '\r', "\r"},     {false, WM_CHAR, 0x1b3, "\xb3"},
        {false, WM_KEYDOWN, VK_UP, "\x1b[A"}, {false, WM_KEYDOWN, VK_LEFT, "\x1b[D"},
        {true, WM_KEYDOWN, VK_UP, "\x1b" "A"}, {true, WM_KEYDOWN, VK_DOWN, "\x1b" "B"},
        {true, WM_KEYDOWN, VK_RIGHT, "\x1b" "C"}, {true, WM_KEYDOWN, VK_HOME, ""},
    };
    std::string expected;
    for (const Key& key : keys) {
        UseVt52 = key.vt52;
        SendMessageW(MainWindow, key.message, key.code, 0);
        expected += key.bytes;
    }
    feed("\x05");  // the terminal's answerback
    expected += "vt100";
    ASSERT_TRUE(session.waitFor(expected.size()));
    EXPECT_EQ(session.received(), expected);
}

// With the keystroke clock on, a key waits for the window's tick timer; a
// paste still goes out at once, after it.
TEST_F(ShellTest, TypedKeysGoOutOnTheKeystrokeClock)
{
    startShell();
    RecordingSession session(true);
    startKeystrokeTiming(session.state(), true);
    SendMessageW(MainWindow, WM_CHAR, 'q', 0);
    EXPECT_EQ(session.received(), "");
    ASSERT_TRUE(session.waitFor(1));
    SendMessageW(MainWindow, WM_CHAR, 'r', 0);
    putOnClipboard(L"pasted at once");
    SendMessageW(MainWindow, WM_COMMAND, IDM_PASTE, 0);
    ASSERT_TRUE(session.waitFor(16));
    EXPECT_EQ(session.received(), "qrpasted at once");
    FixedSessionHost host("user", "password", false, {24, 80, 0, 0});
    endKeystrokeTiming(END_SERVER_EXIT, host);
}

TEST_F(ShellTest, InputBeyondTheQueueLimitIsRefusedWhole)
{
    startShell();
    Transport unopened;  // connected as far as the queue can tell; no session
    CurrentConnection = &unopened;
    std::string huge(MAX_QUEUED_INPUT, 'x');
    EXPECT_TRUE(queueInput(huge.data(), huge.size()));
    EXPECT_FALSE(queueInput("y", 1));
    EXPECT_EQ(queuedInputBytes(), MAX_QUEUED_INPUT);
    CurrentConnection = nullptr;
    drainInput();
    EXPECT_EQ(queuedInputBytes(), 0U);
}

TEST_F(ShellTest, WorkerFeedsWhileTheWindowRelaysOutRepeatedly)
{
    startShell();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 1500; ++i) {
            feed("\x1b[1mline\x1b[0m " + std::to_string(i) + (i % 7 == 0 ? "\x1b[2J\r\n" : "\r\n"));
        }
        done = true;
    });
    for (int round = 0; !done && round < 200; ++round) {
        ScrollbackLines = round % 2 == 0 ? 50 : 200;
        SendMessageW(MainWindow, MSG_RELAYOUT, 0, 0);
        SendMessageW(MainWindow, WM_VSCROLL, SB_PAGEUP, 0);
        pumpFor(5);
    }
    EXPECT_TRUE(pumpUntil([&] { return done.load(); }, 120000));
    worker.join();
    EXPECT_EQ(terminalScreen().viewEnd() - terminalScreen().viewTop(), terminalScreen().rows());
}

}  // namespace
}  // namespace kestrel::test
