// A small event loop for the headless front ends (console, tests): it runs the tasks that worker
// threads hand to the user-interface thread, timers, and callbacks for readable file descriptors.
// Constructing it makes the calling thread the user-interface thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace tarnwick {

class EventLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using TimerId = int;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Repeating timer; the first tick comes one interval from now.
    TimerId AddTimer(std::chrono::milliseconds interval, std::function<void()> callback);
    void RemoveTimer(TimerId id);

    // Calls callback on the loop's thread whenever fd is readable.
    void WatchReadable(int fd, std::function<void()> callback);
    void Unwatch(int fd);

    // Runs until Quit.
    void Run();
    void Quit();
    bool QuitRequested() const { return quit_; }

    // Processes events until predicate holds or the time is up; returns the predicate's last value.
    bool RunUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    void RunFor(std::chrono::milliseconds duration);

    // Waits at most max_wait for one round of events and processes them.
    void ProcessOnce(std::chrono::milliseconds max_wait);

  private:
    struct Timer {
        std::chrono::milliseconds interval;
        Clock::time_point due;
        std::function<void()> callback;
    };

    void Wake();
    void RunDueTimers();

    int wake_fd_ = -1;
    bool quit_ = false;
    TimerId next_timer_ = 1;
    std::map<TimerId, Timer> timers_;
    std::map<int, std::function<void()>> watches_;
};

}  // namespace tarnwick
