// Where the terminal meets the window: notifications, status lines and the
// terminal lock's waiter.
#include <windows.h>

#include "engine/status_log.h"
#include "shell/shell_state.h"
#include "shell/terminal_view.h"

namespace kestrel {

namespace {

class WindowObserver : public TerminalObserver {
public:
    void notify(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override
    {
        if (MainWindow != nullptr) {
            SendMessageW(MainWindow, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
        }
    }
    void ringBell() override { MessageBeep(MB_OK); }
};

class ParserSink : public StatusSink {
public:
    void feedText(const char* text, std::size_t length) override { terminalParser().feedBytes(text, length); }
};

// On the user-interface thread a busy lock is waited for while handling the
// worker's sent messages (the worker may be waiting for exactly that).
class MessageServingWaiter : public LockWaiter {
public:
    bool waitWhileBusy() override
    {
        if (GetCurrentThreadId() != uiThread_) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        return true;
    }
    void setThread(DWORD thread) { uiThread_ = thread; }

private:
    DWORD uiThread_ = 0;
};

WindowObserver Observer;
ParserSink Sink;
MessageServingWaiter Waiter;

}  // namespace

TerminalObserver& windowObserver() { return Observer; }

void bindTerminalToWindow()
{
    Waiter.setThread(GetCurrentThreadId());
    terminalScreen().lock().setWaiter(&Waiter);
    bindStatusSink(&Sink);
}

ViewReadLock::ViewReadLock()
{
    TerminalLock& lock = terminalScreen().lock();
    if (!lock.ownerIsNotifying()) {
        lock.lock();
        held_ = true;
    }
}

ViewReadLock::~ViewReadLock()
{
    if (held_) {
        terminalScreen().lock().unlock();
    }
}

}  // namespace kestrel
