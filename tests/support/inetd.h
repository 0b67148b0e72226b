// A server owned by the test: the test listens on 127.0.0.1 port 0 and, like inetd, starts the
// server program for every accepted connection with the connection as its standard input and
// output (busybox telnetd -i, sshd -i). The server never needs a port number chosen in advance,
// and every process it starts is ended by its process id when the object goes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/test_util.h"

namespace tarnwick::testing {

class InetdServer {
  public:
    // argv is started per connection (searched in PATH); its standard error goes to log_path
    // (or is discarded).
    explicit InetdServer(std::vector<std::string> argv, std::string log_path = "");
    ~InetdServer();
    InetdServer(const InetdServer&) = delete;
    InetdServer& operator=(const InetdServer&) = delete;

    int port() const { return listener_.port(); }

  private:
    void AcceptLoop();

    std::vector<std::string> argv_;
    std::string log_path_;
    LoopbackListener listener_;
    int wake_[2] = {-1, -1};
    std::mutex mutex_;
    std::vector<pid_t> children_;
    std::thread thread_;
};

// Waits until the file at path holds a line "PORT <number>" (a server that bound port 0 reports
// its port this way) and gives the number, or 0 when none came within the time.
int WaitForReportedPort(const std::string& path, std::chrono::milliseconds limit);

// A server program that binds port 0 and reports it with a line "PORT <number>" on its output; its
// output and errors are its log. It is ended by its process id with the object.
class ReportingServer {
  public:
    explicit ReportingServer(const std::vector<std::string>& argv);
    ReportingServer(const ReportingServer&) = delete;
    ReportingServer& operator=(const ReportingServer&) = delete;

    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    bool Running() { return process_.Running(); }
    std::string Log() const;
    // Waits until the log holds text; false when the time ran out or the server ended first.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds limit);

  private:
    TempDir log_;
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace tarnwick::testing
