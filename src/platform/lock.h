// A binary-semaphore lock: not recursive (a thread that acquires it twice blocks itself) and may be
// released by a thread other than the one that acquired it. Queue handovers between a reader thread
// and the user-interface thread rely on that second property.
#pragma once

#include <chrono>
#include <semaphore>

namespace tarnwick {

class Lock {
  public:
    Lock() : semaphore_(1) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void Acquire() { semaphore_.acquire(); }
    bool TryAcquire() { return semaphore_.try_acquire(); }
    bool TryAcquireFor(std::chrono::milliseconds timeout) {
        return semaphore_.try_acquire_for(timeout);
    }
    void Release() { semaphore_.release(); }

  private:
    std::binary_semaphore semaphore_;
};

// Holds a Lock for the lifetime of a scope.
class LockHolder {
  public:
    explicit LockHolder(Lock& lock) : lock_(lock) { lock_.Acquire(); }
    ~LockHolder() { lock_.Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
    Lock& lock_;
};

}  // namespace tarnwick
