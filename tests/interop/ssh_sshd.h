// A real OpenSSH server for the SSH tests and benchmarks: the test listens on a port of
// 127.0.0.1 that the system chose, and every connection is served by an sshd of its own in
// inetd mode (sshd -i), run as root in a temporary folder with freshly made host keys. By default
// it has RSA and DSA host keys and the legacy algorithms this client also speaks turned on; with
// SshdConfig::Default() it runs as Debian installs it, with only today's algorithms. Public keys
// for logging in go to authorized_keys in the same folder. The servers are ended by their process
// ids and everything is cleaned up when the object goes.
//
// The account the tests log in with is created once, idempotently, with a known password.
#pragma once

#include <signal.h>
#include <sys/stat.h>
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

// The fingerprint ssh-keygen prints for a public key file, in hash ("md5", "sha256"):
// "MD5:aa:bb:..." or "SHA256:...", or "" when it prints none.
inline std::string KeygenFingerprint(const std::string& pub_file, const std::string& hash) {
    const std::string line = RunCommand("ssh-keygen -l -E " + hash + " -f " + pub_file);
    const std::size_t space = line.find(' ');
    if (space == std::string::npos) return "";
    return line.substr(space + 1, line.find(' ', space + 1) - space - 1);
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

struct SshdConfig {
    // More sshd_config lines; they win over the defaults, which come after them.
    std::string extra;
    // The old algorithms this client also speaks turned on.
    bool legacy = true;
    // Host keys by ssh-keygen type: "rsa", "dsa", "ed25519", "ecdsa256", "ecdsa384", "ecdsa521".
    std::vector<std::string> host_keys = {"rsa", "dsa"};

    // Debian's sshd as installed: its default algorithms, host keys of today's types.
    static SshdConfig Default(std::string extra = "",
                              std::vector<std::string> host_keys = {"ed25519", "ecdsa256", "rsa"}) {
        return SshdConfig{std::move(extra), false, std::move(host_keys)};
    }
};

class SshdServer {
  public:
    // extra: more sshd_config lines (they win over the defaults below, which come after them).
    explicit SshdServer(const std::string& extra = "") : SshdServer(SshdConfig{extra}) {}

    explicit SshdServer(const SshdConfig& settings) {
        std::filesystem::create_directories("/run/sshd");
        const std::string dir = dir_.path();
        std::string host_keys;
        for (const std::string& kind : settings.host_keys) {
            std::string type = kind;
            std::string bits = kind == "rsa" ? " -b 2048" : "";
            if (kind.rfind("ecdsa", 0) == 0) {
                type = "ecdsa";
                bits = " -b " + kind.substr(5);
            }
            if (Shell("ssh-keygen -q -t " + type + bits + " -N '' -f " + dir + "/host_" + kind) !=
                0) {
                error_ = "ssh-keygen failed for " + kind;
                return;
            }
            host_keys += "HostKey " + dir + "/host_" + kind + "\n";
        }
        // sshd reads authorized_keys as the user: the folder must let it through.
        chmod(dir.c_str(), 0755);
        std::ofstream(dir + "/authorized_keys").close();
        chmod((dir + "/authorized_keys").c_str(), 0644);
        std::ofstream config(dir + "/sshd_config");
        // sshd takes the first value it reads for most keywords, so the test's own lines come
        // first.
        config << settings.extra << "\n" << host_keys << "PidFile none\n";
        if (settings.legacy) {
            config
                << "KexAlgorithms +diffie-hellman-group1-sha1,diffie-hellman-group-exchange-sha1\n"
                << "HostKeyAlgorithms +ssh-rsa,ssh-dss\n"
                << "PubkeyAcceptedAlgorithms +ssh-rsa,ssh-dss\n"
                << "Ciphers +aes128-cbc,aes192-cbc,aes256-cbc,3des-cbc\n"
                << "MACs +hmac-sha1,hmac-md5\n";
        }
        config << "AuthorizedKeysFile " << dir << "/authorized_keys\n"
               << "StrictModes no\n"
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
    // The host key's .pub file ("type base64 comment").
    std::string HostKeyPub(const std::string& kind) const {
        return ReadFile(dir_.path() + "/host_" + kind + ".pub");
    }
    // Lets a public key log in: a line "type base64".
    void AuthorizeKey(const std::string& line) const {
        std::ofstream(dir_.path() + "/authorized_keys", std::ios::app) << line << "\n";
    }
    const std::string& dir() const { return dir_.path(); }
    // OpenSSH's client logging into this server as the test account without asking anything, as
    // a program on the server runs it; the remote command follows.
    std::string SshCommand() const {
        return "ssh -n -o BatchMode=yes -o StrictHostKeyChecking=no -o "
               "UserKnownHostsFile=/dev/null "
               "-o LogLevel=ERROR -p " +
               std::to_string(port()) + " " + kTestUser + "@127.0.0.1 ";
    }

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
