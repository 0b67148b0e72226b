#include "transport/outgoing_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tarnwick {

OutgoingQueue::OutgoingQueue(Writer write, FailureHandler failed)
    : write_(std::move(write)), failed_(std::move(failed)) {}

OutgoingQueue::~OutgoingQueue() {
    Stop();
    if (wake_fd_ >= 0) close(wake_fd_);
}

void OutgoingQueue::SetLimits(std::size_t max_queued, std::chrono::milliseconds stall_limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    max_queued_ = max_queued;
    stall_limit_ = stall_limit;
}

bool OutgoingQueue::Start(int fd) {
    Stop();
    if (wake_fd_ < 0) wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        DropLocked();
        fd_ = fd;
        run_ = true;
    }
    writer_.SetWaker([this] {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            run_ = false;
        }
        wake_.notify_all();
        const std::uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof one);
    });
    return writer_.Start([this] { return WriteLoop(); });
}

void OutgoingQueue::Stop() {
    writer_.Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    run_ = false;
    DropLocked();
    fd_ = -1;
}

void OutgoingQueue::Drop() {
    std::lock_guard<std::mutex> lock(mutex_);
    DropLocked();
}

void OutgoingQueue::DropLocked() {
    chunks_.clear();
    front_done_ = 0;
    queued_.store(0);
}

OutgoingQueue::Result OutgoingQueue::Put(const std::uint8_t* data, std::size_t length) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t done = 0;
    // With nothing queued the descriptor takes the bytes at once as a rule; whatever it does not
    // take waits behind them, so the order of bytes holds.
    if (chunks_.empty()) {
        while (done < length) {
            const ssize_t put = write_(fd_, data + done, length - done);
            if (put > 0) {
                done += static_cast<std::size_t>(put);
            } else if (put < 0 && errno == EINTR) {
                continue;
            } else if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return Result::kBroken;
            } else {
                break;  // full for now (a write that takes nothing counts as full)
            }
        }
        if (done == length) return Result::kOk;
        // The wait for the far end to take something starts now.
        last_progress_ = std::chrono::steady_clock::now();
    }
    const std::size_t rest = length - done;
    if (queued_.load() + rest > max_queued_) return Result::kOverflow;
    chunks_.emplace_back(data + done, data + length);
    queued_.fetch_add(rest);
    lock.unlock();
    wake_.notify_one();
    return Result::kOk;
}

bool OutgoingQueue::DrainLocked(int* error) {
    while (!chunks_.empty()) {
        SecureBytes& front = chunks_.front();
        const ssize_t put = write_(fd_, front.data() + front_done_, front.size() - front_done_);
        if (put > 0) {
            front_done_ += static_cast<std::size_t>(put);
            queued_.fetch_sub(static_cast<std::size_t>(put));
            last_progress_ = std::chrono::steady_clock::now();
            if (front_done_ == front.size()) {
                chunks_.pop_front();
                front_done_ = 0;
            }
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            *error = errno;
            return false;
        } else {
            return true;
        }
    }
    return true;
}

int OutgoingQueue::WriteLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (run_ && !WorkerThread::CurrentStopRequested()) {
        if (chunks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        const auto deadline = last_progress_ + stall_limit_;
        if (now >= deadline) {
            DropLocked();
            lock.unlock();
            failed_(WriterFailure::kStalled, 0);
            lock.lock();
            continue;
        }
        const int wait_ms = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        pollfd entries[2] = {{fd_, POLLOUT, 0}, {wake_fd_, POLLIN, 0}};
        lock.unlock();
        const int ready = poll(entries, 2, wait_ms);
        if (entries[1].revents & POLLIN) {
            std::uint64_t count;
            (void)!read(wake_fd_, &count, sizeof count);
        }
        lock.lock();
        if (ready <= 0 || !run_ || entries[0].revents == 0) continue;
        const std::size_t before = queued_.load();
        int error = 0;
        bool broken = !DrainLocked(&error);
        // A descriptor that reports a hang-up or an error but takes nothing would wake this loop
        // at once forever.
        if (!broken && queued_.load() == before &&
            (entries[0].revents & (POLLERR | POLLHUP | POLLNVAL))) {
            broken = true;
            error = (entries[0].revents & POLLNVAL) ? EBADF : EPIPE;
        }
        if (broken) {
            DropLocked();
            lock.unlock();
            failed_(WriterFailure::kBroken, error);
            lock.lock();
        }
    }
    lock.unlock();
    writer_.MarkExiting();
    return 0;
}

}  // namespace tarnwick
