// The one lock of the ScreenBuffer/TerminalParser pair.
//
// Who takes it: every feed of the TerminalParser, and the ScreenBuffer's
// resize, setScrollbackLines and releaseStorage. The editing operations assume
// their caller (the parser) already holds it.
//
// The deadlock it must not cause. Notifications to the view are synchronous
// (SendMessage on Win32) and are made while the feeding thread holds the lock.
// If the worker thread feeds and sends a message to the UI thread while the UI
// thread is blocked waiting for this lock (to resize, or to feed a status line),
// neither thread can go on. Two rules avoid that:
//
// 1. The UI thread never blocks on the lock in a way that stops it handling
//    sent messages. Install a LockWaiter with setWaiter(): while the lock is
//    busy, lock() calls waitWhileBusy() between try_lock() attempts. The Win32
//    waiter, on the UI thread, does
//        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
//        PeekMessage(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
//    (the peek delivers any sent message, so the worker's notification is
//    handled and the worker can finish and unlock) and returns true; on any
//    other thread it returns false, and lock() then simply blocks.
//
// 2. Inside a notification handler the lock is held by the (blocked) sender:
//    do not lock, and do not call resize, setScrollbackLines, releaseStorage or
//    feed from there. Reading the buffer there is safe without the lock because
//    the sender waits until the handler returns. ownerIsNotifying() tells a
//    paint routine whether it runs in that situation (e.g. WM_PAINT from
//    UpdateWindow inside the MSG_INVALIDATE_CELLS handler): when it is true the
//    owner is blocked until the UI thread handles its message, so the UI thread
//    may read without locking; otherwise it takes the lock through rule 1.
#pragma once

#include <atomic>
#include <mutex>

namespace kestrel {

class LockWaiter {
public:
    virtual ~LockWaiter() = default;
    // Called while the lock is busy. Return true after a short wait (during
    // which sent messages may be dispatched) to retry, false to block instead.
    virtual bool waitWhileBusy() = 0;
};

class TerminalLock {
public:
    void lock();
    bool try_lock() { return mutex_.try_lock(); }
    void unlock() { mutex_.unlock(); }

    // Install before a second thread uses the terminal; nullptr removes it.
    void setWaiter(LockWaiter* waiter) { waiter_.store(waiter); }

    // True while the holder of the lock is inside a notification call.
    bool ownerIsNotifying() const { return notifying_.load(std::memory_order_acquire); }

private:
    friend class ScreenBuffer;
    friend class NotifyScope;

    std::mutex mutex_;
    std::atomic<LockWaiter*> waiter_{nullptr};
    std::atomic<int> notifying_{0};
};

// Marks the lock as lent to the notified side for the duration of one call.
class NotifyScope {
public:
    explicit NotifyScope(TerminalLock& lock) : lock_(lock) { lock_.notifying_.fetch_add(1, std::memory_order_release); }
    ~NotifyScope() { lock_.notifying_.fetch_sub(1, std::memory_order_release); }
    NotifyScope(const NotifyScope&) = delete;
    NotifyScope& operator=(const NotifyScope&) = delete;

private:
    TerminalLock& lock_;
};

inline void TerminalLock::lock()
{
    LockWaiter* waiter = waiter_.load();
    if (waiter == nullptr) {
        mutex_.lock();
        return;
    }
    while (!mutex_.try_lock()) {
        if (!waiter->waitWhileBusy()) {
            mutex_.lock();
            return;
        }
    }
}

}  // namespace kestrel
