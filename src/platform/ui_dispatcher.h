// "Run this on the user-interface thread and wait until it has run": the one way worker threads
// hand work to the user-interface thread (the data-arrival notification, questions to the user).
//
// The front end binds its user-interface thread and installs a wake hook that makes its event loop
// call RunPending (the Qt front end posts an event, the console and the tests use EventLoop). A
// waiting worker gives up when it is asked to stop, so the user-interface thread may stop and join
// a reader thread that is itself waiting for the user-interface thread without a deadlock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tarnwick {

class UiDispatcher {
  public:
    static UiDispatcher& Instance();

    // Makes the calling thread the user-interface thread.
    void BindToCurrentThread();
    // Forgets the user-interface thread (and the wake hook); queued tasks are abandoned.
    void Unbind();
    bool IsUiThread() const;
    bool HasUiThread() const;

    // Called from any thread whenever a task is queued; it must make the user-interface thread
    // call RunPending soon. It must not block.
    void SetWakeHook(std::function<void()> hook);

    // Runs task on the user-interface thread and waits until it has run. On the user-interface
    // thread the task runs at once. Returns false without running the task (or without waiting for
    // its end) when the calling WorkerThread is asked to stop, or when the dispatcher is unbound.
    bool RunAndWait(std::function<void()> task);

    // Queues task for the user-interface thread without waiting.
    void Post(std::function<void()> task);

    // On the user-interface thread: runs every task queued so far. Returns how many ran.
    int RunPending();
    bool HasPending() const;

    // Wakes every waiting worker so it can look at its stop flag again.
    void WakeWaiters();

  private:
    struct Task {
        std::function<void()> body;
        bool waited = false;  // a worker waits for it
        bool taken = false;
        bool done = false;
    };

    UiDispatcher() = default;

    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::shared_ptr<Task>> queue_;
    std::thread::id ui_thread_{};
    bool bound_ = false;
    std::uint64_t generation_ = 0;  // bumps on every Unbind so old waits end
    std::function<void()> wake_hook_;
};

}  // namespace tarnwick
