// The TLS peers of the tests and benchmarks: a small certificate authority made with the openssl
// command (PrintableString names, SHA-1 signatures, as the client reads them) and its server
// certificates, and gnutls-serv restricted to TLS 1.0 with RSA key exchange and triple DES.
//
// gnutls-serv cannot be handed a listening socket and has no inetd mode, but it binds port 0
// when told to: the test learns the port it was given from /proc (the inode of its listening
// socket in /proc/net/tcp), so no port is ever guessed or probed.
#pragma once

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/test_util.h"

namespace tarnwick::testing {

// TLS 1.0, RSA key exchange, DES-CBC3-SHA: what both sides can agree on.
inline constexpr const char* kGnutlsPriority = "NORMAL:+3DES-CBC:+VERS-TLS1.0:+RSA:%COMPAT";
// The same with everything else taken away.
inline constexpr const char* kGnutlsNarrowPriority =
    "NONE:+VERS-TLS1.0:+3DES-CBC:+RSA:+SHA1:+COMP-NULL:+SIGN-ALL:%COMPAT";

inline int RunQuietly(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string SlurpFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Any byte but NUL, ending in a line end: gnutls-serv's echo ends a record's text at its first
// NUL and answers whole lines.
inline std::string EchoableData(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245 + 12345;
        c = static_cast<char>(1 + (seed >> 16) % 255);
    }
    data.back() = '\n';
    return data;
}

// A certificate authority and the server certificates the tests present, in a temporary folder.
// Every certificate is for "localhost" unless its name says otherwise.
class TlsTestPki {
  public:
    TlsTestPki() {
        const std::string d = dir_.path();
        std::ofstream(d + "/req.cnf") << "[req]\ndistinguished_name = dn\nstring_mask = nombstr\n"
                                         "prompt = no\n[dn]\nCN = unused\n"
                                         "[utf8]\ndistinguished_name = dn\n"
                                         "string_mask = utf8only\nprompt = no\n";
        std::filesystem::create_directories(ca_folder());
        const std::string req = "openssl req -config " + d + "/req.cnf";
        ok_ = RunQuietly(req + " -x509 -newkey rsa:1024 -nodes -sha1 -days 30 -keyout " + d +
                         "/ca.key -out " + ca_folder() +
                         "/ca.pem -subj '/C=NL/O=Tarnwick Test/CN=Tarnwick Test CA'") == 0 &&
              RunQuietly("openssl genrsa -out " + key() + " 1024") == 0 &&
              Signed("server", "/C=NL/O=Tarnwick Test/CN=localhost", 30) &&
              Signed("expired", "/C=NL/O=Tarnwick Test/CN=localhost", -1) &&
              Signed("other", "/C=NL/O=Tarnwick Test/CN=other.example", 30) &&
              Signed("wildcard", "/C=NL/O=Tarnwick Test/CN=*.tarnwick.test", 30) &&
              RunQuietly(req + " -x509 -new -key " + key() + " -sha1 -days 30 -out " +
                         Pem("selfsigned") + " -subj '/C=NL/O=Tarnwick Self/CN=localhost'") == 0 &&
              // What this client refuses with a reason: UTF8String names, a SHA-256 signature.
              RunQuietly("openssl req -config " + d + "/req.cnf -section utf8 -x509 -new -key " +
                         key() + " -sha1 -days 30 -out " + Pem("utf8") +
                         " -subj '/O=Tarnwick UTF8/CN=localhost'") == 0 &&
              RunQuietly(req + " -x509 -new -key " + key() + " -sha256 -days 30 -out " +
                         Pem("sha256") + " -subj '/O=Tarnwick SHA256/CN=localhost'") == 0;
    }

    bool ok() const { return ok_; }
    const std::string& dir() const { return dir_.path(); }
    // The folder to use as the certificate folder: the authority's certificate alone.
    std::string ca_folder() const { return dir_.path() + "/ca"; }
    std::string ca_key() const { return dir_.path() + "/ca.key"; }
    // The one key of every server certificate.
    std::string key() const { return dir_.path() + "/server.key"; }
    // "server", "expired", "other", "wildcard", "selfsigned", "utf8", "sha256".
    std::string Pem(const std::string& name) const { return dir_.path() + "/" + name + ".pem"; }
    // The certificate's DER bytes.
    std::string Der(const std::string& name) {
        auto found = der_.find(name);
        if (found != der_.end()) return found->second;
        const std::string path = dir_.path() + "/" + name + ".der";
        RunQuietly("openssl x509 -in " + Pem(name) + " -outform DER -out " + path);
        return der_[name] = SlurpFile(path);
    }

  private:
    bool Signed(const std::string& name, const std::string& subject, int days) {
        const std::string d = dir_.path();
        return RunQuietly("openssl req -config " + d + "/req.cnf -new -key " + key() + " -out " +
                          d + "/" + name + ".csr -subj '" + subject + "'") == 0 &&
               RunQuietly("openssl x509 -req -in " + d + "/" + name + ".csr -CA " + ca_folder() +
                          "/ca.pem -CAkey " + ca_key() + " -set_serial " +
                          std::to_string(++serial_) + " -sha1 -days " + std::to_string(days) +
                          " -out " + Pem(name)) == 0;
    }

    TempDir dir_;
    std::map<std::string, std::string> der_;
    int serial_ = 1;
    bool ok_ = false;
};

// One authority and its certificates for all the tests of the process (making them takes a while).
inline TlsTestPki& SharedTestPki() {
    static TlsTestPki pki;
    return pki;
}

// The IPv4 port on which process pid listens, or 0: its socket descriptors' inodes, looked up
// among the listening entries of /proc/net/tcp.
inline int ListeningPortOf(pid_t pid) {
    std::set<std::string> inodes;
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = opendir(fd_dir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            char target[256];
            const std::string link = fd_dir + "/" + entry->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            const std::string text(target, static_cast<std::size_t>(n));
            if (text.rfind("socket:[", 0) == 0) inodes.insert(text.substr(8, text.size() - 9));
        }
        closedir(dir);
    }
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);  // the column titles
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode;
        if (state != "0A" || inodes.count(inode) == 0) continue;
        return static_cast<int>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
    return 0;
}

// gnutls-serv in echo mode on a port of its own choosing, stopped with the object. Its echo
// answers whole lines and ends a record's text at its first NUL: tests send NUL-free lines.
class GnutlsServer {
  public:
    GnutlsServer(const std::string& certificate, const std::string& key,
                 const std::string& priority = kGnutlsPriority) {
        log_ = log_dir_.File("gnutls-serv.log");
        // --crlf: echo line ends as they came; -a: no client certificate is asked for.
        if (!process_.Start({"gnutls-serv", "-p", "0", "--echo", "--crlf", "-a", "-q", "--priority",
                             priority, "--x509certfile", certificate, "--x509keyfile", key},
                            log_)) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline && process_.Running()) {
            port_ = ListeningPortOf(process_.pid());
            if (port_ != 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (port_ != 0 && !WaitForPort(port_, std::chrono::seconds(5))) port_ = 0;
    }

    bool ok() const { return port_ != 0; }
    int port() const { return port_; }
    std::string log() const { return SlurpFile(log_); }

  private:
    TempDir log_dir_;
    std::string log_;
    ChildProcess process_;
    int port_ = 0;
};

}  // namespace tarnwick::testing
