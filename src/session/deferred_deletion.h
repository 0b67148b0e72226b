// Layers removed from a chain while worker threads may still use them are not destroyed on the
// spot: they wait here, and a reaper thread destroys them once no new entry has arrived for the
// delay (5 seconds), so a burst of removals is destroyed together. Destroying a layer destroys its
// whole chain below it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/worker_thread.h"

namespace tarnwick {

class IO;

class DeferredDeletion {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kDefaultDelay{5000};
    static constexpr std::chrono::milliseconds kPollInterval{250};

    explicit DeferredDeletion(std::chrono::milliseconds delay = kDefaultDelay);
    ~DeferredDeletion();  // stops the reaper and destroys what is still waiting
    DeferredDeletion(const DeferredDeletion&) = delete;
    DeferredDeletion& operator=(const DeferredDeletion&) = delete;

    // The process-wide list.
    static DeferredDeletion& Instance();

    // Queues the layer (taking ownership) and moves the deadline to now + delay.
    void Add(IO* layer);
    void StartReaper();
    void StopReaper();
    // Destroys everything waiting now (shut-down).
    void DestroyAll();
    std::size_t Pending() const;

  private:
    int ReaperLoop();

    const std::chrono::milliseconds delay_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<IO*> pending_;
    Clock::time_point deadline_{};
    bool has_deadline_ = false;
    bool stopping_ = false;
    std::mutex reaper_lock_;  // held while the list is being emptied
    WorkerThread reaper_;
};

}  // namespace tarnwick
