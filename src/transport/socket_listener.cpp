#include "transport/socket_listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "core/session_config.h"
#include "platform/user_interface.h"
#include "transport/forwarded_sessions.h"
#include "transport/socket.h"

namespace tarnwick {

namespace {

int LocalPort(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    if (local.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
}

// The peer's host name by reverse lookup, or its numeric address when it has none.
std::string PeerName(const sockaddr_storage& peer, socklen_t length) {
    char host[NI_MAXHOST];
    const auto* address = reinterpret_cast<const sockaddr*>(&peer);
    if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NAMEREQD) == 0) return host;
    if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0) {
        return host;
    }
    return "unknown";
}

}  // namespace

IO_SocketListener::IO_SocketListener() : IO(kLayerSocketListener, "Socket Listener") {}

IO_SocketListener::~IO_SocketListener() {
    run_.store(false);
    StopListening();
}

void IO_SocketListener::StopListening() {
    ShutDownSockets();
    accept_thread_.Stop();
    for (std::atomic<int>* socket : {&socket4_, &socket6_}) {
        const int fd = socket->exchange(kInvalidSocket);
        if (fd >= 0) close(fd);
    }
}

std::vector<int> IO_SocketListener::Template() const {
    std::lock_guard<std::mutex> guard(template_mutex_);
    return template_;
}

int IO_SocketListener::Open(SessionConfig* config) {
    if (accept_thread_.HasHandle()) return status::kAlreadyOpen;
    AttachConfig(config);
    IO* top = FindTerminal();
    if (top == nullptr) top = upper_;
    if (top == nullptr) return status::kListenerNoTerminal;
    lower_name_ = lower_ != nullptr && lower_->GetName() != nullptr ? lower_->GetName() : "unknown";
    {
        std::lock_guard<std::mutex> guard(template_mutex_);
        template_.clear();
        for (IO* layer = top; layer != nullptr; layer = layer->GetLower())
            template_.push_back(layer->GetType());
    }
    // The layers below were only the pattern; each connection gets its own.
    if (IO* below = lower_) {
        lower_ = nullptr;
        below->SetUpper(nullptr);
        delete below;
    }
    debug_ = config != nullptr && config->GetInt(setting::debug) != 0;
    run_.store(true);
    accept_thread_.SetWaker([this] { ShutDownSockets(); });
    if (!accept_thread_.Start([this] { return AcceptLoop(); })) return status::kReaderStartFailed;
    return status::kOk;
}

void IO_SocketListener::ShutDownSockets() {
    std::lock_guard<std::mutex> guard(close_mutex_);
    // Shutting a listening socket down ends a poll or accept waiting on it; the descriptors are
    // closed only once the thread is gone.
    for (std::atomic<int>* socket : {&socket4_, &socket6_}) {
        const int fd = socket->load();
        if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
}

void IO_SocketListener::Close() {
    {
        std::lock_guard<std::mutex> guard(close_mutex_);
        run_.store(false);
    }
    StopListening();
    port_.store(0);
    if (lower_ != nullptr) lower_->Close();
}

int IO_SocketListener::IsLinkUp() {
    return run_.load() && accept_thread_.HasHandle() && !accept_thread_.IsExiting() ? 1 : 0;
}

int IO_SocketListener::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

void IO_SocketListener::Tell(const std::string& text) {
    if (ForwardedSessions* sessions = GetForwardedSessions()) {
        sessions->Show(this, text);
    } else {
        DisplayString(text.c_str());
    }
}

void IO_SocketListener::Debug(const std::string& text) {
    if (debug_) Tell(text);
}

bool IO_SocketListener::StartListening(int port) {
    auto refuse = [this, port](int error) {
        char line[200];
        std::snprintf(line, sizeof line, "Unable to listen on port %d: %s\r\n", port,
                      SystemErrorText(error).c_str());
        Tell(line);
        return false;
    };
    const int fd4 = CreateStreamSocket(0, AF_INET);
    if (fd4 < 0) return refuse(errno);
    if (!ListenSocket(fd4, port, 1)) {
        const int error = errno;
        close(fd4);
        return refuse(error);
    }
    const int bound = LocalPort(fd4);
    // ::1 on the same port, where the machine has IPv6: "localhost" may resolve to either.
    int fd6 = CreateStreamSocket(0, AF_INET6);
    if (fd6 >= 0) {
        const int one = 1;
        setsockopt(fd6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        if (!ListenSocket(fd6, bound, 1)) {
            const int error = errno;
            close(fd6);
            fd6 = kInvalidSocket;
            if (error == EADDRINUSE) {
                close(fd4);
                return refuse(error);
            }
        }
    }
    std::lock_guard<std::mutex> guard(close_mutex_);
    if (!run_.load()) {
        close(fd4);
        if (fd6 >= 0) close(fd6);
        return false;
    }
    socket4_.store(fd4);
    socket6_.store(fd6);
    port_.store(bound);
    return true;
}

int IO_SocketListener::AcceptLoop() {
    Debug("Creating new port forwarding listener\r\n");
    const int port = config_ != nullptr ? config_->GetInt(setting::portnum_listener) : 0;
    if (StartListening(port)) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Listening for new connections on port %d.\r\nDisconnect this session to "
                      "stop accepting new connections.\r\n",
                      port_.load());
        Debug(line);
        while (run_.load()) {
            pollfd entries[2];
            nfds_t count = 0;
            for (std::atomic<int>* socket : {&socket4_, &socket6_}) {
                const int fd = socket->load();
                if (fd >= 0) entries[count++] = {fd, POLLIN, 0};
            }
            const int ready = poll(entries, count, -1);
            if (!run_.load()) break;
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) break;
            bool stop = false;
            for (nfds_t i = 0; i < count && !stop; ++i) {
                if (entries[i].revents == 0) continue;
                sockaddr_storage peer{};
                socklen_t length = sizeof peer;
                const int fd = accept4(entries[i].fd, reinterpret_cast<sockaddr*>(&peer), &length,
                                       SOCK_CLOEXEC);
                if (fd < 0) {
                    if (!run_.load()) break;
                    // Out of descriptors, say: try again shortly rather than spin.
                    if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                    continue;
                }
                const int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                Debug("Creating new worker thread\r\n");
                AcceptedConnection connection;
                connection.socket = fd;
                connection.layer_template = Template();
                connection.title = lower_name_ + ": " + PeerName(peer, length);
                ForwardedSessions* sessions = GetForwardedSessions();
                if (sessions == nullptr) {
                    CloseSocket(fd);
                    continue;
                }
                stop = !sessions->OpenAccepted(this, std::move(connection));
            }
            if (stop) break;
        }
    }
    if (WorkerThread* self = WorkerThread::Current()) self->MarkExiting();
    // Ended by itself (the port could not be had, or a connection's chain cannot be built):
    // the session goes too. After Close nobody is left to tell.
    if (run_.load()) {
        if (ForwardedSessions* sessions = GetForwardedSessions()) sessions->DisconnectOwner(this);
    }
    return 0;
}

}  // namespace tarnwick
