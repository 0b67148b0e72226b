// The threading primitives under real threads: Lock, WorkerThread, UiDispatcher and EventLoop.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/event_loop.h"
#include "platform/lock.h"
#include "platform/ui_dispatcher.h"
#include "platform/worker_thread.h"
#include "support/loopback_peer.h"  // Watchdog

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

using testing::Watchdog;

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(LockTest, ExcludesAndMayBeReleasedByAnotherThread) {
    Lock lock;
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                LockHolder hold(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(counter, 20000);

    // Not recursive, and a handover: taken here, released by another thread.
    lock.Acquire();
    EXPECT_FALSE(lock.TryAcquire());
    EXPECT_FALSE(lock.TryAcquireFor(10ms));
    std::thread([&] { lock.Release(); }).join();
    EXPECT_TRUE(lock.TryAcquire());
    lock.Release();
}

TEST(WorkerThreadTest, RunsTheFunctionWithItsArgument) {
    WorkerThread worker;
    struct Seen {
        std::atomic<WorkerThread*> current{nullptr};
        std::atomic<bool> ran{false};
    } seen;
    ASSERT_TRUE(worker.Start(
        [](void* argument) {
            auto* s = static_cast<Seen*>(argument);
            s->current = WorkerThread::Current();
            s->ran = true;
            return 42;
        },
        &seen));
    ASSERT_TRUE(WaitFor([&] { return worker.ExitCode() == 42; }));
    EXPECT_TRUE(seen.ran);
    EXPECT_EQ(seen.current.load(), &worker);
    EXPECT_FALSE(worker.IsRunning());
    EXPECT_EQ(WorkerThread::Current(), nullptr);  // not on this thread
    worker.Stop();
    EXPECT_FALSE(worker.HasHandle());
    worker.Stop();  // twice is harmless
}

TEST(WorkerThreadTest, MarkExitingRightAtTheStartIsKept) {
    // A thread may reach MarkExiting before Start has returned to its caller; the mark must not
    // be lost (Stop relies on it to tell a thread on its way out from one that is stuck).
    for (int i = 0; i < 1000; ++i) {
        WorkerThread worker;
        ASSERT_TRUE(worker.Start([] {
            WorkerThread::Current()->MarkExiting();
            return 7;
        }));
        ASSERT_TRUE(WaitFor([&] { return worker.ExitCode() == 7; }));
        ASSERT_TRUE(worker.IsExiting()) << "iteration " << i;
    }
}

TEST(WorkerThreadTest, StopWakesABlockingWaitAndJoins) {
    int wake = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    std::atomic<bool> saw_stop{false};
    std::atomic<bool> finished{false};
    WorkerThread worker;
    worker.SetWaker([wake] {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wake, &one, sizeof one);
    });
    ASSERT_TRUE(worker.Start([&] {
        pollfd entry{wake, POLLIN, 0};
        poll(&entry, 1, -1);  // no time limit: only the waker ends this
        saw_stop = WorkerThread::CurrentStopRequested();
        finished = true;
        return 0;
    }));
    ASSERT_TRUE(WaitFor([&] { return worker.IsRunning(); }));
    {
        Watchdog watchdog("Stop of a blocked worker", 5s);
        worker.Stop();
    }
    // Stop returned only after the thread was done with everything it touches.
    EXPECT_TRUE(finished);
    EXPECT_TRUE(saw_stop);
    close(wake);
}

TEST(WorkerThreadTest, StopFromTheThreadItselfReturns) {
    // The thread may call Stop before Start has even returned to its caller.
    Watchdog watchdog("self stop", 5s);
    for (int i = 0; i < 200; ++i) {
        std::atomic<bool> after_stop{false};
        auto worker = std::make_unique<WorkerThread>();
        WorkerThread* raw = worker.get();
        ASSERT_TRUE(raw->Start([&after_stop] {
            WorkerThread::Current()->Stop();
            after_stop = true;
            return 0;
        }));
        ASSERT_TRUE(WaitFor([&] { return after_stop.load(); }));
        worker.reset();
    }
}

TEST(UiDispatcherTest, RunAndWaitRunsOnTheUserInterfaceThread) {
    EventLoop loop;
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    EXPECT_TRUE(dispatcher.IsUiThread());
    const std::thread::id ui = std::this_thread::get_id();

    // On the user-interface thread itself the task runs at once.
    bool inline_ran = false;
    EXPECT_TRUE(dispatcher.RunAndWait([&] { inline_ran = true; }));
    EXPECT_TRUE(inline_ran);

    std::atomic<bool> returned{false};
    std::thread::id ran_on;
    bool result = false;
    std::thread worker([&] {
        EXPECT_FALSE(dispatcher.IsUiThread());
        result = dispatcher.RunAndWait([&] { ran_on = std::this_thread::get_id(); });
        returned = true;
    });
    EXPECT_TRUE(loop.RunUntil([&] { return returned.load(); }, 5s));
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(ran_on, ui);

    // Posted tasks run in order without anyone waiting.
    std::vector<int> order;
    std::thread poster([&] {
        dispatcher.Post([&] { order.push_back(1); });
        dispatcher.Post([&] { order.push_back(2); });
    });
    poster.join();
    EXPECT_TRUE(loop.RunUntil([&] { return order.size() == 2; }, 5s));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(UiDispatcherTest, StoppingAWaitingWorkerFromTheUserInterfaceThread) {
    // The deadlock the design warns of: the user-interface thread stops a worker that is
    // waiting for the user-interface thread. The worker must give up, and its task must never
    // run later.
    EventLoop loop;
    std::atomic<bool> waiting{false};
    std::atomic<int> task_runs{0};
    bool result = true;
    WorkerThread worker;
    ASSERT_TRUE(worker.Start([&] {
        waiting = true;
        result = UiDispatcher::Instance().RunAndWait([&] { ++task_runs; });
        return 0;
    }));
    ASSERT_TRUE(WaitFor([&] { return waiting.load() && UiDispatcher::Instance().HasPending(); }));
    {
        Watchdog watchdog("Stop of a worker waiting for the user-interface thread", 5s);
        worker.Stop();
    }
    EXPECT_FALSE(result);
    loop.RunFor(20ms);
    EXPECT_EQ(task_runs.load(), 0);
}

TEST(UiDispatcherTest, ClosingTheLoopReleasesWaiters) {
    auto loop = std::make_unique<EventLoop>();
    std::atomic<bool> returned{false};
    bool result = true;
    std::thread worker([&] {
        result = UiDispatcher::Instance().RunAndWait([] {});
        returned = true;
    });
    ASSERT_TRUE(WaitFor([] { return UiDispatcher::Instance().HasPending(); }));
    loop.reset();  // the user-interface thread goes away without running the task
    ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_FALSE(result);
    EXPECT_FALSE(UiDispatcher::Instance().HasUiThread());
    // Without a user-interface thread nobody would run the task: no waiting at all.
    EXPECT_FALSE(UiDispatcher::Instance().RunAndWait([] {}));
}

TEST(EventLoopTest, TimersWatchesAndQuit) {
    EventLoop loop;
    int ticks = 0;
    EventLoop::TimerId repeating = loop.AddTimer(5ms, [&] { ++ticks; });
    int once = 0;
    EventLoop::TimerId self = 0;
    self = loop.AddTimer(5ms, [&] {
        ++once;
        loop.RemoveTimer(self);  // removing itself from inside its own callback
    });
    EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 3; }, 2s));
    EXPECT_EQ(once, 1);
    loop.RemoveTimer(repeating);
    int frozen = ticks;
    loop.RunFor(30ms);
    EXPECT_EQ(ticks, frozen);

    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    int readable = 0;
    loop.WatchReadable(fd, [&] {
        std::uint64_t count;
        [[maybe_unused]] ssize_t got = read(fd, &count, sizeof count);
        ++readable;
    });
    std::thread([fd] {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
    }).join();
    EXPECT_TRUE(loop.RunUntil([&] { return readable == 1; }, 2s));
    loop.Unwatch(fd);
    close(fd);

    // Quit from another thread's task ends Run.
    std::thread quitter([&] { UiDispatcher::Instance().Post([&] { loop.Quit(); }); });
    {
        Watchdog watchdog("Run until Quit", 5s);
        loop.Run();
    }
    quitter.join();
    EXPECT_TRUE(loop.QuitRequested());
}

}  // namespace
}  // namespace tarnwick
