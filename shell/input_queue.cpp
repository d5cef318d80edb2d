#include "shell/input_queue.h"

#include <winsock2.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "engine/protocol.h"
#include "shell/shell_state.h"

namespace kestrel {

namespace {

std::string Queued;
std::size_t QueuedStart = 0;

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
        sendStdinData(*CurrentSession, chunk.c_str());
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

void discardQueuedInput()
{
    Queued.clear();
    QueuedStart = 0;
    armRetry(false);
}

}  // namespace kestrel
