#include "platform/event_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/ui_dispatcher.h"

namespace tarnwick {

EventLoop::EventLoop() {
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    dispatcher.BindToCurrentThread();
    int fd = wake_fd_;
    dispatcher.SetWakeHook([fd] {
        std::uint64_t one = 1;
        // A full counter still leaves the descriptor readable, so a failed write loses nothing.
        [[maybe_unused]] ssize_t written = write(fd, &one, sizeof one);
    });
}

EventLoop::~EventLoop() {
    UiDispatcher::Instance().Unbind();
    if (wake_fd_ >= 0) close(wake_fd_);
}

EventLoop::TimerId EventLoop::AddTimer(std::chrono::milliseconds interval,
                                       std::function<void()> callback) {
    TimerId id = next_timer_++;
    timers_[id] = Timer{interval, Clock::now() + interval, std::move(callback)};
    return id;
}

void EventLoop::RemoveTimer(TimerId id) {
    timers_.erase(id);
}

void EventLoop::WatchReadable(int fd, std::function<void()> callback) {
    watches_[fd] = std::move(callback);
}

void EventLoop::Unwatch(int fd) {
    watches_.erase(fd);
}

void EventLoop::Run() {
    quit_ = false;
    while (!quit_)
        ProcessOnce(std::chrono::milliseconds(1000));
}

void EventLoop::Quit() {
    quit_ = true;
    Wake();
}

bool EventLoop::RunUntil(const std::function<bool()>& predicate,
                         std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        auto now = Clock::now();
        if (now >= deadline) return predicate();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        ProcessOnce(std::min(left, std::chrono::milliseconds(50)));
    }
}

void EventLoop::RunFor(std::chrono::milliseconds duration) {
    auto deadline = Clock::now() + duration;
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) return;
        ProcessOnce(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    }
}

void EventLoop::Wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
}

void EventLoop::RunDueTimers() {
    auto now = Clock::now();
    std::vector<TimerId> due;
    for (const auto& [id, timer] : timers_) {
        if (timer.due <= now) due.push_back(id);
    }
    for (TimerId id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;  // removed by an earlier callback
        it->second.due = now + it->second.interval;
        auto callback = it->second.callback;
        callback();
    }
}

void EventLoop::ProcessOnce(std::chrono::milliseconds max_wait) {
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    auto wait = max_wait;
    auto now = Clock::now();
    for (const auto& [id, timer] : timers_) {
        auto until = std::chrono::duration_cast<std::chrono::milliseconds>(timer.due - now);
        if (until < wait) wait = std::max(until, std::chrono::milliseconds(0));
    }
    if (dispatcher.HasPending()) wait = std::chrono::milliseconds(0);

    std::vector<pollfd> fds;
    fds.push_back({wake_fd_, POLLIN, 0});
    for (const auto& [fd, callback] : watches_)
        fds.push_back({fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (ready > 0) {
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t got = read(wake_fd_, &count, sizeof count);
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto it = watches_.find(fds[i].fd);
            if (it == watches_.end()) continue;
            auto callback = it->second;
            callback();
        }
    }
    dispatcher.RunPending();
    RunDueTimers();
}

}  // namespace tarnwick
