// A real OpenSSH server for the SSH tests and benchmarks: the test listens on a port of
// 127.0.0.1 that the system chose, and every connection is served by an sshd of its own in
// inetd mode (sshd -i), run as root in a temporary folder with freshly made RSA and DSA host
// keys and the legacy algorithms this client speaks turned on. The servers are ended by their
// process ids and everything is cleaned up when the object goes.
//
// The account the tests log in with is created once, idempotently, with a known password.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/test_util.h"

namespace tarnwick::testing {

inline constexpr const char* kTestUser = "tarnwick-test";
inline constexpr const char* kTestPassword = "Tw-test-pass-7";

// Runs a shell command; its exit status.
inline int Shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Creates the test account when it is missing and (re)sets its password. Needs root.
inline bool EnsureTestAccount() {
    if (geteuid() != 0) return false;
    std::string user = kTestUser;
    if (Shell("id " + user + " >/dev/null 2>&1") != 0 &&
        Shell("useradd -m -s /bin/sh " + user + " >/dev/null 2>&1") != 0 &&
        Shell("id " + user + " >/dev/null 2>&1") != 0) {
        return false;
    }
    return Shell("echo '" + user + ":" + kTestPassword + "' | chpasswd") == 0;
}

class SshdServer {
  public:
    // extra: more sshd_config lines (they win over the defaults below, which come after them).
    explicit SshdServer(const std::string& extra = "") {
        std::filesystem::create_directories("/run/sshd");
        const std::string dir = dir_.path();
        if (Shell("ssh-keygen -q -t rsa -b 2048 -N '' -f " + dir + "/host_rsa") != 0 ||
            Shell("ssh-keygen -q -t dsa -N '' -f " + dir + "/host_dsa") != 0) {
            error_ = "ssh-keygen failed";
            return;
        }
        std::ofstream config(dir + "/sshd_config");
        // sshd takes the first value it reads for most keywords, so the test's own lines come
        // first.
        config << extra << "\n"
               << "HostKey " << dir << "/host_rsa\n"
               << "HostKey " << dir << "/host_dsa\n"
               << "PidFile none\n"
               << "KexAlgorithms +diffie-hellman-group1-sha1,diffie-hellman-group-exchange-sha1\n"
               << "HostKeyAlgorithms +ssh-rsa,ssh-dss\n"
               << "PubkeyAcceptedAlgorithms +ssh-rsa,ssh-dss\n"
               << "Ciphers +aes128-cbc,aes192-cbc,aes256-cbc,3des-cbc\n"
               << "MACs +hmac-sha1,hmac-md5\n"
               << "PasswordAuthentication yes\n"
               << "KbdInteractiveAuthentication yes\n"
               << "UsePAM yes\n"
               << "UseDNS no\n"
               << "PermitRootLogin no\n"
               << "AllowTcpForwarding yes\n"
               << "LogLevel VERBOSE\n";
        config.close();
        // A configuration sshd refuses would otherwise only show as connections that close.
        if (Shell("/usr/sbin/sshd -t -f " + dir + "/sshd_config >" + dir + "/check.log 2>&1") !=
            0) {
            error_ = "sshd refuses the configuration: " + ReadFile(dir + "/check.log");
            return;
        }
        running_ = true;
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~SshdServer() {
        running_ = false;
        if (acceptor_.joinable()) acceptor_.join();
        std::lock_guard<std::mutex> guard(mutex_);
        servers_.clear();  // each one is ended by its process id
    }
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;

    bool ok() const { return error_.empty() && running_; }
    const std::string& error() const { return error_; }
    int port() const { return listener_.port(); }
    std::string Log() const { return ReadFile(dir_.path() + "/sshd.log"); }
    // The public host-key blob (the second field of the .pub file, base64-decoded).
    std::string HostKeyPub(const std::string& kind) const {
        return ReadFile(dir_.path() + "/host_" + kind + ".pub");
    }
    const std::string& dir() const { return dir_.path(); }

  private:
    void AcceptLoop() {
        while (running_) {
            pollfd entry{listener_.fd(), POLLIN, 0};
            if (poll(&entry, 1, 100) != 1) continue;
            const int connection = listener_.Accept(0);
            if (connection < 0) continue;
            auto server = std::make_unique<ChildProcess>();
            // sshd re-executes itself, so it needs its absolute path.
            server->Start({"/usr/sbin/sshd", "-i", "-f", dir_.path() + "/sshd_config", "-E",
                           dir_.path() + "/sshd.log"},
                          "", connection);
            close(connection);
            std::lock_guard<std::mutex> guard(mutex_);
            servers_.push_back(std::move(server));
        }
    }

    TempDir dir_;
    LoopbackListener listener_{AF_INET, 64};
    std::atomic<bool> running_{false};
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<ChildProcess>> servers_;
    std::string error_;
};

}  // namespace tarnwick::testing
