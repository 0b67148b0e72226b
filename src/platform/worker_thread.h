// A thread with a cooperative exit flag. A WorkerThread is never killed: Stop asks the thread to
// end (its stop flag, the owner's waker that ends a blocking wait, and a wake-up of any wait on the
// user-interface thread), then joins it. Stop never returns while the thread can still run the
// owner's code, so the owner may be destroyed right afterwards.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace tarnwick {

class WorkerThread {
  public:
    using Function = int (*)(void* argument);

    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread running function(argument). A thread still attached from an earlier Start
    // is stopped first. Returns false when no thread could be created (no handle is kept then).
    bool Start(Function function, void* argument);
    bool Start(std::function<int()> body);

    // Installs what Stop calls to end the thread's blocking wait (shut a socket down, signal a
    // condition). Called on the stopping thread before the join.
    void SetWaker(std::function<void()> waker);

    // Called by the thread function on its own way out.
    void MarkExiting();

    // Requests the stop, wakes the thread and joins it. Called from the thread itself it only sets
    // the flags (a thread cannot join itself); the thread is then on its way out anyway.
    void Stop();

    bool HasHandle() const { return state_ != nullptr; }
    bool IsRunning() const { return state_ && state_->running.load(); }
    bool IsExiting() const { return state_ && state_->exiting.load(); }
    bool StopRequested() const { return state_ && state_->stop_requested.load(); }
    // The function's result once the thread has ended; 0 before.
    int ExitCode() const { return state_ ? state_->exit_code.load() : 0; }

    // The WorkerThread whose function runs on the calling thread, or nullptr on other threads.
    static WorkerThread* Current();
    // True when the calling thread is a WorkerThread that has been asked to stop.
    static bool CurrentStopRequested();

  private:
    struct State {
        std::atomic<bool> running{false};
        std::atomic<bool> exiting{false};
        std::atomic<bool> stop_requested{false};
        std::atomic<int> exit_code{0};
    };

    std::shared_ptr<State> state_;
    std::thread thread_;
    std::function<void()> waker_;
};

}  // namespace tarnwick
