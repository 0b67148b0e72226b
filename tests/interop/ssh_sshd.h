// A real OpenSSH server for the SSH tests and benchmarks: started as root on a free port of
// 127.0.0.1 in a temporary folder, with freshly made RSA and DSA host keys and the legacy
// algorithms this client speaks turned on; stopped and cleaned up when the object goes.
//
// The account the tests log in with is created once, idempotently, with a known password.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_util.h"
#include "transport/loopback_peer.h"

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
        port_ = UnusedPort();
        std::ofstream config(dir + "/sshd_config");
        // sshd takes the first value it reads for most keywords, so the test's own lines come
        // first.
        config << extra << "\n"
               << "Port " << port_ << "\n"
               << "ListenAddress 127.0.0.1\n"
               << "HostKey " << dir << "/host_rsa\n"
               << "HostKey " << dir << "/host_dsa\n"
               << "PidFile " << dir << "/sshd.pid\n"
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
               << "MaxStartups 100\n"
               << "LogLevel VERBOSE\n";
        config.close();
        pid_ = fork();
        if (pid_ == 0) {
            execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-f", (dir + "/sshd_config").c_str(),
                  "-E", (dir + "/sshd.log").c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Ready once it accepts connections (bounded).
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                error_ = "sshd exited: " + Log();
                return;
            }
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port_));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            if (up) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        error_ = "sshd did not start: " + Log();
    }

    ~SshdServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (waitpid(pid_, &status, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
            }
        }
    }
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;

    bool ok() const { return pid_ > 0 && error_.empty(); }
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    std::string Log() const { return ReadFile(dir_.path() + "/sshd.log"); }
    // The public host-key blob (the second field of the .pub file, base64-decoded).
    std::string HostKeyPub(const std::string& kind) const {
        return ReadFile(dir_.path() + "/host_" + kind + ".pub");
    }
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string error_;
};

}  // namespace tarnwick::testing
