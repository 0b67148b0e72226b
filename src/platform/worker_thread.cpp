#include "platform/worker_thread.h"

#include <system_error>

#include "platform/ui_dispatcher.h"

namespace tarnwick {

namespace {
thread_local WorkerThread* t_current = nullptr;
// The running thread's own state; the lambda keeps it alive for as long as the thread runs, so a
// detached thread never reads freed memory.
thread_local const void* t_state = nullptr;
}  // namespace

WorkerThread::~WorkerThread() {
    Stop();
}

bool WorkerThread::Start(Function function, void* argument) {
    return Start([function, argument] { return function(argument); });
}

bool WorkerThread::Start(std::function<int()> body) {
    Stop();
    auto state = std::make_shared<State>();
    try {
        thread_ = std::thread([this, state, body = std::move(body)] {
            t_current = this;
            t_state = state.get();
            state->running.store(true);
            int result = body();
            state->exit_code.store(result);
            state->running.store(false);
            t_current = nullptr;
            t_state = nullptr;
        });
    } catch (const std::system_error&) {
        return false;
    }
    state_ = std::move(state);
    return true;
}

void WorkerThread::SetWaker(std::function<void()> waker) {
    waker_ = std::move(waker);
}

void WorkerThread::MarkExiting() {
    if (state_) state_->exiting.store(true);
}

void WorkerThread::Stop() {
    if (!state_) return;
    state_->stop_requested.store(true);
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A thread cannot join itself; it is already leaving through its own code.
        thread_.detach();
        state_.reset();
        return;
    }
    if (waker_) waker_();
    // A thread waiting for the user-interface thread must notice the stop even when the
    // user-interface thread is the one stopping it.
    UiDispatcher::Instance().WakeWaiters();
    if (thread_.joinable()) thread_.join();
    state_->running.store(false);
    state_.reset();
}

WorkerThread* WorkerThread::Current() {
    return t_current;
}

bool WorkerThread::CurrentStopRequested() {
    const auto* state = static_cast<const State*>(t_state);
    return state != nullptr && state->stop_requested.load();
}

}  // namespace tarnwick
