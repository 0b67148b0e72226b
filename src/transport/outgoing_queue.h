// What a transport sends without ever waiting for the far end. Bytes go to the descriptor at once
// as far as it takes them; the rest waits, in order, for a writer thread of the queue's own. So a
// sender on the user-interface thread never blocks on a peer that stops reading or on a serial
// line held back by flow control. The far end is given up when it lets more than the queue's limit
// pile up (Put says so) or takes nothing for the stall limit while bytes wait (the writer tells
// the owner), and so is a descriptor that fails while the writer drains it.
//
//   OutgoingQueue out(write_one, on_writer_failure);
//   out.Start(fd);                 // when the descriptor is open
//   out.Put(data, length);         // from any thread, under the owner's send lock
//   out.Stop();                    // before the descriptor is closed
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "crypto/secure.h"
#include "platform/worker_thread.h"

namespace tarnwick {

class OutgoingQueue {
  public:
    static constexpr std::size_t kMaxQueued = 16u << 20;
    static constexpr std::chrono::milliseconds kStallLimit{60000};

    enum class Result { kOk, kOverflow, kBroken };
    // One write that does not block: the bytes taken, or -1 with errno (EAGAIN when full).
    using Writer = std::function<ssize_t(int fd, const std::uint8_t* data, std::size_t length)>;
    // Called on the writer thread, without the queue's lock, after the queue was emptied:
    // kStalled, or kBroken with the error.
    enum class WriterFailure { kStalled, kBroken };
    using FailureHandler = std::function<void(WriterFailure failure, int error)>;

    OutgoingQueue(Writer write, FailureHandler failed);
    ~OutgoingQueue();
    OutgoingQueue(const OutgoingQueue&) = delete;
    OutgoingQueue& operator=(const OutgoingQueue&) = delete;

    // Tests shorten the bounds.
    void SetLimits(std::size_t max_queued, std::chrono::milliseconds stall_limit);
    std::chrono::milliseconds stall_limit() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stall_limit_;
    }

    // Empties the queue and starts the writer for fd. False when no thread could be created.
    [[nodiscard]] bool Start(int fd);
    // Ends the writer and drops what waits. Safe from any thread but the writer, more than once.
    void Stop();
    // Writes or queues all bytes, keeping their order: kOk; kBroken when the descriptor failed
    // (errno tells why; nothing is queued); kOverflow when the limit would be passed.
    Result Put(const std::uint8_t* data, std::size_t length);
    // Drops what waits: the connection is being given up.
    void Drop();
    std::size_t Backlog() const { return queued_.load(); }

  private:
    int WriteLoop();
    // Writes queued bytes while the descriptor takes them; mutex_ held. False on an error.
    bool DrainLocked(int* error);
    void DropLocked();

    Writer write_;
    FailureHandler failed_;
    WorkerThread writer_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<SecureBytes> chunks_;
    std::size_t front_done_ = 0;  // bytes of the first chunk already written
    std::atomic<std::size_t> queued_{0};
    std::chrono::steady_clock::time_point last_progress_;
    int fd_ = -1;
    int wake_fd_ = -1;  // ends the writer's wait for the descriptor
    bool run_ = false;
    std::size_t max_queued_ = kMaxQueued;
    std::chrono::milliseconds stall_limit_ = kStallLimit;
};

}  // namespace tarnwick
