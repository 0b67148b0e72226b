#include "platform/ui_dispatcher.h"

#include "platform/worker_thread.h"

namespace tarnwick {

UiDispatcher& UiDispatcher::Instance() {
    static UiDispatcher instance;
    return instance;
}

void UiDispatcher::BindToCurrentThread() {
    std::lock_guard<std::mutex> guard(mutex_);
    ui_thread_ = std::this_thread::get_id();
    bound_ = true;
}

void UiDispatcher::Unbind() {
    std::lock_guard<std::mutex> guard(mutex_);
    bound_ = false;
    ui_thread_ = std::thread::id{};
    wake_hook_ = nullptr;
    queue_.clear();
    ++generation_;
    done_.notify_all();
}

bool UiDispatcher::IsUiThread() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bound_ && ui_thread_ == std::this_thread::get_id();
}

bool UiDispatcher::HasUiThread() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bound_;
}

void UiDispatcher::SetWakeHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(mutex_);
    wake_hook_ = std::move(hook);
}

bool UiDispatcher::RunAndWait(std::function<void()> task) {
    if (IsUiThread()) {
        task();
        return true;
    }
    auto entry = std::make_shared<Task>();
    entry->body = std::move(task);
    entry->waited = true;
    std::function<void()> hook;
    std::uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!bound_) return false;
        queue_.push_back(entry);
        hook = wake_hook_;
        generation = generation_;
    }
    if (hook) hook();

    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (entry->done) return true;
        if (generation != generation_) return false;
        if (WorkerThread::CurrentStopRequested()) {
            if (!entry->taken) {
                for (auto it = queue_.begin(); it != queue_.end(); ++it) {
                    if (*it == entry) {
                        queue_.erase(it);
                        break;
                    }
                }
            }
            // A task already taken keeps running on the user-interface thread; it owns its own
            // copy of everything it needs, so the worker may leave now.
            return false;
        }
        done_.wait(lock);
    }
}

void UiDispatcher::Post(std::function<void()> task) {
    auto entry = std::make_shared<Task>();
    entry->body = std::move(task);
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!bound_) return;
        queue_.push_back(entry);
        hook = wake_hook_;
    }
    if (hook) hook();
}

int UiDispatcher::RunPending() {
    int ran = 0;
    for (;;) {
        std::shared_ptr<Task> entry;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (queue_.empty()) break;
            entry = queue_.front();
            queue_.pop_front();
            entry->taken = true;
        }
        entry->body();
        ++ran;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            entry->done = true;
        }
        done_.notify_all();
    }
    return ran;
}

bool UiDispatcher::HasPending() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !queue_.empty();
}

void UiDispatcher::WakeWaiters() {
    std::lock_guard<std::mutex> guard(mutex_);
    done_.notify_all();
}

}  // namespace tarnwick
