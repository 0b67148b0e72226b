// What the tests and benchmarks of the desktop front end need around it: a virtual X display that
// picks its own free display number, a Telnet server that serves each connection of a listening
// socket of its own (port 0) with busybox telnetd in inetd mode, and the X tools that find windows,
// type with real key events and take screenshots.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/loopback_peer.h"

namespace tarnwick::testing {

// Xvfb on a display number it chooses itself (-displayfd), ended with the object.
class Xvfb {
  public:
    Xvfb() = default;
    ~Xvfb() { server_.Stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    bool Start(int width = 1024, int height = 768) {
        int fds[2];
        if (pipe(fds) != 0) return false;
        fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        const bool started =
            server_.Start({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0",
                           std::to_string(width) + "x" + std::to_string(height) + "x24",
                           "-nolisten", "tcp", "-noreset"});
        close(fds[1]);
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (started && std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fds[0], POLLIN, 0};
            if (poll(&entry, 1, 100) != 1) continue;
            char c;
            if (read(fds[0], &c, 1) != 1) break;
            if (c == '\n') break;
            number.push_back(c);
        }
        close(fds[0]);
        if (number.empty()) return false;
        display_ = ":" + number;
        return true;
    }
    const std::string& display() const { return display_; }
    // Runs an X client command against this display; its standard output.
    std::string Run(const std::string& command) const {
        return RunCommand("DISPLAY=" + display_ + " " + command);
    }
    // The first window whose name contains `name`, or "" when none appears in time.
    std::string WaitForWindow(const std::string& name,
                              std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::string id = Run("xdotool search --name '" + name + "' 2>/dev/null | head -n 1");
            while (!id.empty() && (id.back() == '\n' || id.back() == ' '))
                id.pop_back();
            if (!id.empty()) return id;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return {};
    }

  private:
    ChildProcess server_;
    std::string display_;
};

// A Telnet server on a listening socket of its own: every connection gets a busybox telnetd in
// inetd mode with `login` as its login program.
class InetdTelnetServer {
  public:
    explicit InetdTelnetServer(std::string login) : login_(std::move(login)) {
        thread_ = std::thread([this] { Serve(); });
    }
    ~InetdTelnetServer() {
        stop_ = true;
        thread_.join();
        std::lock_guard<std::mutex> guard(mutex_);
        for (pid_t pid : children_) {
            kill(-pid, SIGTERM);
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    }
    InetdTelnetServer(const InetdTelnetServer&) = delete;
    InetdTelnetServer& operator=(const InetdTelnetServer&) = delete;

    int port() const { return listener_.port(); }

  private:
    void Serve() {
        while (!stop_) {
            const int fd = listener_.Accept(100);
            if (fd < 0) continue;
            const pid_t pid = fork();
            if (pid == 0) {
                setpgid(0, 0);
                dup2(fd, 0);
                dup2(fd, 1);
                dup2(fd, 2);
                execlp("busybox", "busybox", "telnetd", "-i", "-l", login_.c_str(),
                       static_cast<char*>(nullptr));
                _exit(127);
            }
            close(fd);
            if (pid > 0) {
                std::lock_guard<std::mutex> guard(mutex_);
                children_.push_back(pid);
            }
        }
    }

    std::string login_;
    LoopbackListener listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<pid_t> children_;
    std::thread thread_;
};

}  // namespace tarnwick::testing
