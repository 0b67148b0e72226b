// The far end of a test connection: a listening socket on the loopback address, and bounded
// helpers to accept, read and write on the sockets it hands out. Also the watchdog that turns a
// deadlock in a threading test into a failure.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tarnwick::testing {

// A stream socket bound to a loopback address on port 0 (the system chooses); its port in *port.
inline int BindLoopback(int family, int* port) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length;
    if (family == AF_INET6) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_loopback;
        length = sizeof *v6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *v4;
    }
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) std::abort();
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    *port = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return fd;
}

class LoopbackListener {
  public:
    explicit LoopbackListener(int family = AF_INET, int backlog = 8) {
        fd_ = BindLoopback(family, &port_);
        if (listen(fd_, backlog) != 0) std::abort();
    }
    ~LoopbackListener() { close(fd_); }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int port() const { return port_; }
    int fd() const { return fd_; }

    // The next connection, or -1 when none came within the time.
    int Accept(int timeout_ms = 5000) {
        pollfd entry{fd_, POLLIN, 0};
        if (poll(&entry, 1, timeout_ms) != 1) return -1;
        return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    // The next connection, or -1 once stop is set.
    int AcceptUnless(const std::atomic<bool>& stop) {
        int fd = -1;
        while (!stop && fd < 0)
            fd = Accept(50);
        return fd;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A loopback port that refuses connections for as long as the object lives: a socket is bound to
// it (port 0, so the system chooses) but does not listen, and nothing else can take the port.
class RefusingPort {
  public:
    explicit RefusingPort(int family = AF_INET) { fd_ = BindLoopback(family, &port_); }
    ~RefusingPort() { close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A connection to port on the loopback address of the family, or -1 when nothing accepts it.
inline int ConnectLoopback(int port, int family = AF_INET) {
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int result;
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<std::uint16_t>(port));
        address.sin6_addr = in6addr_loopback;
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A loopback port held for a program under test that must be told a port number (a forward the
// user types in): the socket stays bound, not listening, with address reuse on, for as long as
// the object lives. The program (which listens with address reuse on, as every listener of ours
// does) can take the port; no other program can, so the port cannot be taken away in between.
class ReservedPort {
  public:
    ReservedPort() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) std::abort();
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        // The same number on ::1, where listeners that serve "localhost" also listen; nothing
        // else may be given it as a port of its own meanwhile. A machine without IPv6 has none.
        fd6_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd6_ >= 0) {
            setsockopt(fd6_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            setsockopt(fd6_, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
            sockaddr_in6 address6{};
            address6.sin6_family = AF_INET6;
            address6.sin6_addr = in6addr_loopback;
            address6.sin6_port = htons(static_cast<std::uint16_t>(port_));
            (void)bind(fd6_, reinterpret_cast<sockaddr*>(&address6), sizeof address6);
        }
    }
    ~ReservedPort() {
        close(fd_);
        if (fd6_ >= 0) close(fd6_);
    }
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;
    int port() const { return port_; }

  private:
    int fd_ = -1;
    int fd6_ = -1;
    int port_ = 0;
};

// Reads until count bytes arrived, the peer closed, or the time is up.
inline std::string ReadSome(int fd, std::size_t count, int timeout_ms = 5000) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char chunk[65536];
    while (data.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left)) != 1) break;
        std::size_t want = std::min(sizeof chunk, count - data.size());
        ssize_t got = recv(fd, chunk, want, 0);
        if (got <= 0) break;
        data.append(chunk, static_cast<std::size_t>(got));
    }
    return data;
}

// True when the peer closed the connection within the time.
inline bool SeesEndOfStream(int fd, int timeout_ms = 5000) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeout_ms) != 1) return false;
    char byte;
    return recv(fd, &byte, 1, 0) <= 0;
}

inline bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t sent = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// Passes bytes between two connected sockets until either side closes or stop is set. A tap sees
// each piece on its way (from_a tells the direction) and may change it.
using RelayTap = std::function<void(bool from_a, std::string& piece)>;

inline void PassBetween(int a, int b, const std::atomic<bool>& stop, const RelayTap& tap = {}) {
    pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
    char buffer[65536];
    while (!stop) {
        if (poll(fds, 2, 50) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            const ssize_t got = recv(fds[i].fd, buffer, sizeof buffer, 0);
            if (got <= 0) return;
            std::string piece(buffer, static_cast<std::size_t>(got));
            if (tap) tap(i == 0, piece);
            if (!WriteAll(fds[1 - i].fd, piece)) return;
        }
    }
}

// A relay in front of a server on a loopback port: it takes one connection and passes it through
// to the server, both ways, with a tap on the way (from_a: what the client sent).
class LoopbackRelay {
  public:
    explicit LoopbackRelay(int server_port, RelayTap tap = {})
        : server_port_(server_port), tap_(std::move(tap)), thread_([this] { Run(); }) {}
    ~LoopbackRelay() {
        stop_ = true;
        thread_.join();
    }
    LoopbackRelay(const LoopbackRelay&) = delete;
    LoopbackRelay& operator=(const LoopbackRelay&) = delete;
    int port() const { return listener_.port(); }

  private:
    void Run() {
        const int client = listener_.AcceptUnless(stop_);
        if (client < 0) return;
        const int server = ConnectLoopback(server_port_);
        if (server >= 0) {
            PassBetween(client, server, stop_, tap_);
            close(server);
        }
        close(client);
    }

    LoopbackListener listener_;
    const int server_port_;
    const RelayTap tap_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Takes one connection on a loopback port and sends back whatever arrives, until the other side
// closes or nothing comes for the time.
class EchoServer {
  public:
    explicit EchoServer(int timeout_ms = 30000)
        : thread_([this, timeout_ms] {
              const int fd = listener_.Accept(timeout_ms);
              if (fd < 0) return;
              char buffer[65536];
              for (;;) {
                  pollfd entry{fd, POLLIN, 0};
                  if (poll(&entry, 1, timeout_ms) != 1) break;
                  const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                  if (got <= 0 || !WriteAll(fd, std::string(buffer, static_cast<std::size_t>(got))))
                      break;
              }
              close(fd);
          }) {}
    ~EchoServer() { thread_.join(); }
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;
    int port() const { return listener_.port(); }

  private:
    LoopbackListener listener_;
    std::thread thread_;
};

// A local program talking to an echo through a forward: it connects to the port and writes its
// data while it reads the echo back, on threads of its own. With half_close it shuts its sending
// side once everything is written, as a client that has said all it has to say.
class EchoClient {
  public:
    EchoClient(int port, std::string data, bool half_close = false) : data_(std::move(data)) {
        fd_ = ConnectLoopback(port);
        if (fd_ < 0) return;
        writer_ = std::thread([this, half_close] {
            WriteAll(fd_, data_);
            if (half_close) shutdown(fd_, SHUT_WR);
        });
        reader_ = std::thread([this] {
            echoed_ = ReadSome(fd_, data_.size(), 120000);
            done_ = true;
        });
    }
    ~EchoClient() { Close(); }
    EchoClient(const EchoClient&) = delete;
    EchoClient& operator=(const EchoClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool done() const { return done_; }
    bool intact() const { return done_ && echoed_ == data_; }
    std::size_t echoed() const { return echoed_.size(); }
    // Ends the program: its connection closes.
    void Close() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (writer_.joinable()) writer_.join();
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

  private:
    std::string data_;
    std::string echoed_;
    std::atomic<bool> done_{false};
    int fd_ = -1;
    std::thread writer_;
    std::thread reader_;
};

// Ends the process with a message when a scope runs longer than allowed: a deadlocked thread
// cannot be recovered, and the test must fail rather than hang.
class Watchdog {
  public:
    Watchdog(const char* what, std::chrono::milliseconds limit)
        : thread_([this, what, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "Watchdog: '%s' did not finish in time (deadlock?)\n", what);
                  std::_Exit(3);
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        done_cv_.notify_all();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace tarnwick::testing
