#include "session/deferred_deletion.h"

#include "core/io.h"

namespace tarnwick {

DeferredDeletion::DeferredDeletion(std::chrono::milliseconds delay) : delay_(delay) {}

DeferredDeletion::~DeferredDeletion() {
    StopReaper();
    DestroyAll();
}

DeferredDeletion& DeferredDeletion::Instance() {
    static DeferredDeletion* instance = new DeferredDeletion();
    return *instance;
}

void DeferredDeletion::Add(IO* layer) {
    if (layer == nullptr) return;
    std::lock_guard<std::mutex> guard(mutex_);
    pending_.push_back(layer);
    deadline_ = Clock::now() + delay_;
    has_deadline_ = true;
}

void DeferredDeletion::StartReaper() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = false;
    }
    reaper_.SetWaker([this] {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        wake_.notify_all();
    });
    reaper_.Start([this] { return ReaperLoop(); });
}

void DeferredDeletion::StopReaper() {
    reaper_.Stop();
}

int DeferredDeletion::ReaperLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, kPollInterval);
        if (stopping_ || !has_deadline_ || Clock::now() < deadline_) continue;
        std::vector<IO*> batch;
        batch.swap(pending_);
        has_deadline_ = false;
        lock.unlock();
        {
            std::lock_guard<std::mutex> reaping(reaper_lock_);
            for (IO* layer : batch)
                delete layer;
        }
        lock.lock();
    }
    reaper_.MarkExiting();
    return 0;
}

void DeferredDeletion::DestroyAll() {
    std::vector<IO*> batch;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        batch.swap(pending_);
        has_deadline_ = false;
    }
    std::lock_guard<std::mutex> reaping(reaper_lock_);
    for (IO* layer : batch)
        delete layer;
}

std::size_t DeferredDeletion::Pending() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return pending_.size();
}

}  // namespace tarnwick
