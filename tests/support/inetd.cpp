#include "support/inetd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "support/test_util.h"

namespace tarnwick::testing {

InetdServer::InetdServer(std::vector<std::string> argv, std::string log_path)
    : argv_(std::move(argv)), log_path_(std::move(log_path)) {
    if (pipe2(wake_, O_CLOEXEC) != 0) std::abort();
    thread_ = std::thread([this] { AcceptLoop(); });
}

InetdServer::~InetdServer() {
    (void)write(wake_[1], "x", 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
    std::lock_guard<std::mutex> guard(mutex_);
    for (pid_t child : children_) {
        kill(-child, SIGTERM);
        kill(child, SIGTERM);
    }
    for (pid_t child : children_) {
        // A server that ignores SIGTERM is not waited for long.
        int status = 0;
        for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) == 0; ++i)
            usleep(20000);
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
}

void InetdServer::AcceptLoop() {
    std::vector<char*> args;
    for (const std::string& a : argv_)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (;;) {
        pollfd fds[2] = {{listener_.fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents != 0) return;
        const int connection = accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        const pid_t child = fork();
        if (child == 0) {
            setpgid(0, 0);
            const int log = open(log_path_.empty() ? "/dev/null" : log_path_.c_str(),
                                 O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            dup2(connection, 0);
            dup2(connection, 1);
            if (log >= 0) dup2(log, 2);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(connection);
        if (child > 0) {
            setpgid(child, child);
            std::lock_guard<std::mutex> guard(mutex_);
            children_.push_back(child);
        }
    }
}

int WaitForReportedPort(const std::string& path, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = ReadFile(path);
        const std::size_t at = text.find("PORT ");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            return std::atoi(text.c_str() + at + 5);
        }
        usleep(20000);
    }
    return 0;
}

ReportingServer::ReportingServer(const std::vector<std::string>& argv) {
    if (process_.Start(argv, log_.File("server.log")))
        port_ = WaitForReportedPort(log_.File("server.log"), std::chrono::seconds(20));
}

std::string ReportingServer::Log() const {
    return ReadFile(log_.File("server.log"));
}

bool ReportingServer::WaitForLog(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline || !process_.Running()) return false;
        usleep(20000);
    }
    return true;
}

}  // namespace tarnwick::testing
