// A program the test starts (a server, a terminal multiplexer) and that is always stopped when the
// test ends, also when the test fails half-way.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tarnwick::testing {

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (searched in PATH) with its output sent to log_path (or discarded). With a
    // connection, the program's standard input and output are that socket (an inetd-style
    // server); the caller keeps its own copy of the descriptor.
    bool Start(const std::vector<std::string>& argv, const std::string& log_path = "",
               int connection = -1);
    // Terminates (SIGTERM, then SIGKILL after a grace period) and reaps it.
    void Stop();
    bool Running();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// Waits until something accepts connections on 127.0.0.1:port.
bool WaitForPort(int port, std::chrono::milliseconds limit);

// Runs a shell command and gives its standard output (empty when it cannot run).
std::string RunCommand(const std::string& command);

}  // namespace tarnwick::testing
