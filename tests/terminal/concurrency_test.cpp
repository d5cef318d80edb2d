// The buffer/parser pair fed from two threads while one of them resizes, with
// a view that reads the buffer inside its notifications.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "test_support.h"

namespace kestrel {
namespace {

// Stands in for the view: checks, inside each notification, that what it can
// read is consistent (the feeder is blocked in the call).
struct ReadingObserver : TerminalObserver {
    explicit ReadingObserver(const ScreenBuffer& screen) : screen(screen) {}
    void ringBell() override {}
    void notify(std::uint32_t message, std::uintptr_t, std::intptr_t) override
    {
        ++notifications;
        sawLockLent = sawLockLent && const_cast<ScreenBuffer&>(screen).lock().ownerIsNotifying();
        int columns = screen.columns();
        bool ok = screen.cursorColumn() >= 1 && screen.cursorColumn() <= columns + 1 && screen.cursorLine() >= 1 &&
                  screen.cursorLine() <= screen.screenBottom() &&
                  screen.screenBottom() - screen.screenTop() + 1 == screen.rows() && screen.characters() != nullptr;
        if (ok && message == MSG_REPAINT_PENDING) {
            // What a paint would do: read every visible cell.
            unsigned sum = 0;
            for (std::uint32_t i = 0; i < screen.cellCount(); ++i) {
                sum += screen.characters()[i];
            }
            ok = sum != 0xFFFFFFFFu &&
                 screen.selectionText(0, screen.screenTop(), columns, screen.screenBottom()).size() < 100000;
        }
        faults += ok ? 0 : 1;
    }

    const ScreenBuffer& screen;
    std::atomic<int> notifications{0};
    std::atomic<int> faults{0};
    std::atomic<bool> sawLockLent{true};
};

TEST(Concurrency, WorkerFeedsWhileTheUiThreadFeedsAndResizes)
{
    ScreenBuffer screen;
    TerminalParser parser;
    ReadingObserver view(screen);
    parser.attach(screen);
    screen.resize(80, 24, 0, 0, &view);

    std::atomic<bool> done{false};
    std::thread worker([&] {
        test::Random random(42);
        for (int i = 0; i < 400; ++i) {
            std::string chunk = test::mixedStream(random, 30);
            parser.feedBytes(chunk.data(), chunk.size());
        }
        done = true;
    });
    // The interface thread gives up after a bounded number of rounds: under a
    // slow sanitizer an unfair lock can let it win nearly every time, and the
    // worker must still get to finish.
    constexpr int MAX_UI_ROUNDS = 3000;
    int resizes = 0;
    for (; resizes < MAX_UI_ROUNDS && !done; ++resizes) {
        parser.feedText("Status line from the interface thread.\n");
        screen.setScrollbackLines(resizes % 3 == 0 ? 0 : 500);
        screen.resize(40 + resizes % 50, 10 + resizes % 20, 0, 0, &view);
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_GT(view.notifications.load(), 1000);
    EXPECT_EQ(view.faults.load(), 0);
    EXPECT_TRUE(view.sawLockLent.load());
}

// A model of the Win32 arrangement: notifications are "sent" to the UI thread
// and the worker waits until it has handled them; the UI thread resizes
// through a LockWaiter that keeps handling sent notifications. With a plain
// blocking lock this would deadlock.
class SentMessages {
public:
    explicit SentMessages(std::thread::id uiThread) : uiThread_(uiThread) {}

    // Like SendMessage: on the UI thread a direct call; from the worker,
    // hand over and wait until handled.
    void send(std::function<void()> handler)
    {
        if (std::this_thread::get_id() == uiThread_) {
            handler();
            return;
        }
        std::unique_lock<std::mutex> guard(mutex_);
        pending_ = std::move(handler);
        changed_.notify_all();
        changed_.wait(guard, [&] { return !pending_; });
    }
    // UI side: handle one sent message if any, waiting at most briefly.
    void dispatch()
    {
        std::unique_lock<std::mutex> guard(mutex_);
        changed_.wait_for(guard, std::chrono::milliseconds(1), [&] { return static_cast<bool>(pending_); });
        if (pending_) {
            pending_();
            pending_ = nullptr;
            changed_.notify_all();
        }
    }

private:
    std::thread::id uiThread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> pending_;
};

struct SendingObserver : TerminalObserver {
    SendingObserver(SentMessages& queue, ScreenBuffer& screen) : queue(queue), screen(screen) {}
    void notify(std::uint32_t, std::uintptr_t, std::intptr_t) override
    {
        queue.send([this] {
            ++handled;
            if (screen.lock().ownerIsNotifying()) {
                // The sender is blocked: reading without the lock is safe.
                lastTop = screen.screenTop();
            }
        });
    }
    void ringBell() override {}
    SentMessages& queue;
    ScreenBuffer& screen;
    int handled = 0;
    int lastTop = 0;
};

struct DispatchingWaiter : LockWaiter {
    DispatchingWaiter(SentMessages& queue, std::thread::id uiThread) : queue(queue), uiThread(uiThread) {}
    bool waitWhileBusy() override
    {
        if (std::this_thread::get_id() != uiThread) {
            return false;
        }
        queue.dispatch();
        return true;
    }
    SentMessages& queue;
    std::thread::id uiThread;
};

TEST(Concurrency, UiThreadKeepsHandlingSentNotificationsWhileWaitingForTheLock)
{
    ScreenBuffer screen;
    TerminalParser parser;
    SentMessages queue(std::this_thread::get_id());
    SendingObserver view(queue, screen);
    DispatchingWaiter waiter(queue, std::this_thread::get_id());
    screen.lock().setWaiter(&waiter);
    parser.attach(screen);
    screen.resize(80, 24, 0, 0, &view);

    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 300; ++i) {
            parser.feedText("output line\r\n\x1b[5;5Hx\x1b[K");
        }
        done = true;
    });
    int resizes = 0;
    while (!done) {
        screen.resize(80, 24 + resizes % 3, 0, 0, &view);  // must not deadlock
        parser.feedText("status\n");
        queue.dispatch();
        ++resizes;
    }
    worker.join();
    screen.lock().setWaiter(nullptr);
    EXPECT_GT(view.handled, 300);
    EXPECT_GT(resizes, 0);
}

}  // namespace
}  // namespace kestrel
