#include "shell/input_queue.h"

#include <winsock2.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "engine/keystroke_scheduler.h"
#include "engine/protocol.h"
#include "shell/shell_state.h"

namespace kestrel {

namespace {

std::string Queued;
std::size_t QueuedStart = 0;

struct Keystrokes {
    explicit Keystrokes(SessionState& state, bool enabled) : session(&state), output(state), scheduler(output, enabled) {}
    SessionState* session;
    SessionKeystrokeOutput output;
    KeystrokeScheduler scheduler;
};
std::unique_ptr<Keystrokes> Scheduled;

bool ClockArmed = false;

// Armed once per burst of typing and left alone while it runs: setting it
// again at each key would restart its period from that key and put the key's
// own time back on the wire.
void armKeystrokeClock()
{
    bool wanted = Scheduled && Scheduled->scheduler.running() && MainWindow != nullptr;
    if (wanted && !ClockArmed) {
        SetTimer(MainWindow, TIMER_KEYSTROKES, KEYSTROKE_TICK_MS, nullptr);
    } else if (!wanted && ClockArmed && MainWindow != nullptr) {
        KillTimer(MainWindow, TIMER_KEYSTROKES);
    }
    ClockArmed = wanted;
}

void sendInput(SessionState& session, const std::string& chunk)
{
    if (!Scheduled || Scheduled->session != &session) {
        sendStdinData(session, chunk.c_str());
        return;
    }
    Scheduled->scheduler.type(chunk.data(), chunk.size(), keystrokeClockMs());
    armKeystrokeClock();
}

bool sessionTakesInput(SessionState& session)
{
    std::lock_guard<std::mutex> hold(session.sendLock);
    return session.cipherTransport != nullptr && session.shellStarted;
}

bool socketTakesMore()
{
    SocketHandle handle = CurrentConnection->stream().handle();
    if (handle == SOCKET_CLOSED) {
        return false;
    }
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(static_cast<SOCKET>(handle), &writable);
    timeval now = {0, 0};
    return select(0, nullptr, &writable, nullptr, &now) == 1;
}

void armRetry(bool armed)
{
    if (MainWindow == nullptr) {
        return;
    }
    if (armed) {
        SetTimer(MainWindow, TIMER_INPUT, INPUT_RETRY_MS, nullptr);
    } else {
        KillTimer(MainWindow, TIMER_INPUT);
    }
}

}  // namespace

bool queueInput(const char* bytes, std::size_t length)
{
    if (CurrentConnection == nullptr) {
        return false;
    }
    if (queuedInputBytes() + length > MAX_QUEUED_INPUT) {
        MessageBeep(MB_OK);
        return false;
    }
    // The session sends zero-terminated text: a zero byte cannot go out.
    std::remove_copy(bytes, bytes + length, std::back_inserter(Queued), '\0');
    drainInput();
    return true;
}

void drainInput()
{
    if (CurrentConnection == nullptr) {
        discardQueuedInput();
        return;
    }
    std::size_t sentThisTurn = 0;
    while (QueuedStart < Queued.size() && sentThisTurn < INPUT_TURN_BYTES && CurrentSession != nullptr &&
           sessionTakesInput(*CurrentSession) && socketTakesMore()) {
        std::size_t length = std::min(INPUT_CHUNK_BYTES, Queued.size() - QueuedStart);
        std::string chunk = Queued.substr(QueuedStart, length);
        sendInput(*CurrentSession, chunk);
        QueuedStart += length;
        sentThisTurn += length;
    }
    if (QueuedStart == Queued.size()) {
        Queued.clear();
        QueuedStart = 0;
    }
    armRetry(!Queued.empty());
}

std::size_t queuedInputBytes() { return Queued.size() - QueuedStart; }

void startKeystrokeTiming(SessionState& session, bool enabled)
{
    Scheduled = std::make_unique<Keystrokes>(session, enabled);
}

void keystrokeTick()
{
    if (Scheduled) {
        Scheduled->scheduler.tick(keystrokeClockMs());
    }
    armKeystrokeClock();
}

void endKeystrokeTiming(SessionEnd end, const SessionHost& host)
{
    if (Scheduled) {
        adviseOnSessionEnd(Scheduled->scheduler, end, keystrokeClockMs(), host);
    }
    Scheduled.reset();
    armKeystrokeClock();
}

void discardQueuedInput()
{
    Queued.clear();
    QueuedStart = 0;
    armRetry(false);
}

}  // namespace kestrel
