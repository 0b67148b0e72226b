// Accepts TCP connections on one local port, on a thread of its own, for the local ends of port
// forwards: each accepted connection (non-blocking, without Nagle's delay) goes to a function on
// the accept thread with the peer's dotted address and port.
//
//   TcpAcceptor acceptor([](int socket, const std::string& peer, std::uint32_t peer_port) {...});
//   if (!acceptor.Start(8080, false)) ...;  // 127.0.0.1 only
//   acceptor.Stop();                         // also done by the destructor
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/worker_thread.h"

namespace tarnwick {

class TcpAcceptor {
  public:
    using AcceptFunction =
        std::function<void(int socket, const std::string& peer, std::uint32_t peer_port)>;

    explicit TcpAcceptor(AcceptFunction accepted);
    ~TcpAcceptor();
    TcpAcceptor(const TcpAcceptor&) = delete;
    TcpAcceptor& operator=(const TcpAcceptor&) = delete;

    // Binds port (0 lets the system choose) on 127.0.0.1, or on every address when
    // allow_nonlocal, listens and starts the thread. False when the port cannot be had.
    [[nodiscard]] bool Start(std::uint32_t port, bool allow_nonlocal);
    // Ends the thread at once and closes the listening socket.
    void Stop();
    // The port actually bound; 0 before Start succeeded.
    std::uint32_t bound_port() const { return bound_port_; }

  private:
    int Run();

    AcceptFunction accepted_;
    std::uint32_t bound_port_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<int> socket_{-1};
    WorkerThread thread_;
};

}  // namespace tarnwick
