#include "transport/tcp_acceptor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "transport/socket.h"

namespace tarnwick {

TcpAcceptor::TcpAcceptor(AcceptFunction accepted) : accepted_(std::move(accepted)) {}

TcpAcceptor::~TcpAcceptor() {
    Stop();
}

bool TcpAcceptor::Start(std::uint32_t port, bool allow_nonlocal) {
    if (port > 65535 || socket_.load() >= 0) return false;
    const int fd = CreateStreamSocket(1);
    if (fd < 0) return false;
    if (!ListenSocket(fd, static_cast<int>(port), allow_nonlocal ? 0 : 1)) {
        close(fd);
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        bound_port_ = ntohs(bound.sin_port);
    }
    socket_.store(fd);
    running_.store(true);
    // Shutting the listening socket down ends the thread's wait at once.
    thread_.SetWaker([this] {
        const int s = socket_.load();
        if (s >= 0) shutdown(s, SHUT_RDWR);
    });
    if (!thread_.Start([this] { return Run(); })) {
        running_.store(false);
        socket_.store(-1);
        close(fd);
        return false;
    }
    return true;
}

void TcpAcceptor::Stop() {
    running_.store(false);
    thread_.Stop();
    const int fd = socket_.exchange(-1);
    if (fd >= 0) close(fd);
}

int TcpAcceptor::Run() {
    const int fd = socket_.load();
    while (running_.load() && !WorkerThread::CurrentStopRequested()) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, 1000);
        if (!running_.load()) break;
        if (ready <= 0) continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int connection =
            accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (connection < 0) {
            // Out of descriptors, say: do not spin on a listening socket that stays readable.
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char address[INET_ADDRSTRLEN] = "0.0.0.0";
        inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
        accepted_(connection, address, ntohs(peer.sin_port));
    }
    thread_.MarkExiting();
    return 0;
}

}  // namespace tarnwick
