#include "transport/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/user_interface.h"

namespace tarnwick {

namespace {

using Clock = std::chrono::steady_clock;

std::uint16_t PortInNetworkOrder(int port) {
    return htons(static_cast<std::uint16_t>(static_cast<unsigned>(port) & 0xFFFFu));
}

void SetNoDelay(int fd, int on) {
    // Interactive traffic is many tiny writes (one key press each); waiting to coalesce them
    // would add a round trip of delay to every key. A failure only costs latency.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int SocketFamily(int fd) {
    int family = AF_UNSPEC;
    socklen_t length = sizeof family;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0) return AF_UNSPEC;
    return family;
}

// Puts a fresh socket of family under the descriptor number fd, with fd's blocking mode,
// no-delay option and close-on-exec flag. The old socket is closed by the same call.
bool ReplaceSocket(int fd, int family) {
    int status_flags = fcntl(fd, F_GETFL);
    int descriptor_flags = fcntl(fd, F_GETFD);
    if (status_flags < 0 || descriptor_flags < 0) return false;
    int nodelay = 0;
    socklen_t length = sizeof nodelay;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length) != 0) nodelay = 1;

    int fresh = socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fresh < 0) return false;
    SetNoDelay(fresh, nodelay);
    if (status_flags & O_NONBLOCK) fcntl(fresh, F_SETFL, fcntl(fresh, F_GETFL) | O_NONBLOCK);
    int flags = (descriptor_flags & FD_CLOEXEC) ? O_CLOEXEC : 0;
    int result;
    do {
        result = dup3(fresh, fd, flags);
    } while (result < 0 && errno == EINTR);
    int saved = errno;
    close(fresh);
    errno = saved;
    return result == fd;
}

// One connect attempt bounded by timeout. Returns 0 or the errno of the failure (ETIMEDOUT when
// the time ran out). The socket's blocking mode is left as it was.
int ConnectOnce(int fd, const SocketAddress& address, std::chrono::milliseconds timeout) {
    int status_flags = fcntl(fd, F_GETFL);
    if (status_flags < 0) return errno;
    bool was_blocking = (status_flags & O_NONBLOCK) == 0;
    if (was_blocking && fcntl(fd, F_SETFL, status_flags | O_NONBLOCK) != 0) return errno;

    int error = 0;
    if (connect(fd, address.get(), address.length) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            auto deadline = Clock::now() + timeout;
            pollfd entry{fd, POLLOUT, 0};
            for (;;) {
                auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) {
                    error = ETIMEDOUT;
                    break;
                }
                int ready = poll(&entry, 1, static_cast<int>(left.count()));
                if (ready < 0 && errno == EINTR) continue;
                if (ready < 0) {
                    error = errno;
                    break;
                }
                if (ready == 0) {
                    error = ETIMEDOUT;
                    break;
                }
                int so_error = 0;
                socklen_t length = sizeof so_error;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length) != 0) so_error = errno;
                error = so_error;
                break;
            }
        }
    }
    if (was_blocking) fcntl(fd, F_SETFL, status_flags);
    return error;
}

}  // namespace

std::string SocketAddress::ToString() const {
    char text[INET6_ADDRSTRLEN] = "";
    if (family() == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (family() == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        std::string out = "[";
        out.append(text);
        out.append("]:");
        out.append(std::to_string(ntohs(v6->sin6_port)));
        return out;
    }
    return "(unknown address)";
}

int CreateStreamSocket(int nonBlocking, int family) {
    int type = SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    int fd = socket(family, type, IPPROTO_TCP);
    if (fd < 0) return kInvalidSocket;
    SetNoDelay(fd, 1);
    return fd;
}

bool ParseDottedQuad(const char* text, in_addr* address) {
    if (text == nullptr) return false;
    std::uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') return false;
            ++p;
        }
        if (*p < '0' || *p > '9') return false;
        unsigned number = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            number = number * 10 + static_cast<unsigned>(*p - '0');
            ++p;
            // More digits than any number below 256 needs (leading zeros included) would only
            // risk overflow; such a text is left to the resolver.
            if (++digits > 3 || number > 255) return false;
        }
        value = (value << 8) | number;
    }
    if (*p != '\0') return false;
    if (address != nullptr) address->s_addr = htonl(value);
    return true;
}

std::vector<SocketAddress> ResolveHost(const char* host, int port) {
    std::vector<SocketAddress> addresses;
    std::string name = host != nullptr ? host : "";
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);  // "[::1]", as written in URLs
    }
    if (name.empty()) return addresses;

    in_addr literal{};
    if (ParseDottedQuad(name.c_str(), &literal)) {
        SocketAddress address;
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
        v4->sin_family = AF_INET;
        v4->sin_port = PortInNetworkOrder(port);
        v4->sin_addr = literal;
        address.length = sizeof(sockaddr_in);
        addresses.push_back(address);
        return addresses;
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* results = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &results) != 0) return addresses;
    for (addrinfo* info = results; info != nullptr; info = info->ai_next) {
        if (info->ai_family != AF_INET && info->ai_family != AF_INET6) continue;
        if (info->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, info->ai_addr, info->ai_addrlen);
        address.length = info->ai_addrlen;
        if (info->ai_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = PortInNetworkOrder(port);
        } else {
            reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = PortInNetworkOrder(port);
        }
        bool duplicate = std::any_of(addresses.begin(), addresses.end(), [&](const auto& seen) {
            return seen.length == address.length &&
                   std::memcmp(&seen.storage, &address.storage, address.length) == 0;
        });
        if (!duplicate) addresses.push_back(address);
    }
    freeaddrinfo(results);
    return addresses;
}

std::size_t PickAddressIndex(std::size_t count) {
    if (count <= 1) return 0;
    static std::mutex mutex;
    static std::mt19937 generator = [] {
        std::seed_seq seed{static_cast<std::uint32_t>(std::random_device{}()),
                           static_cast<std::uint32_t>(Clock::now().time_since_epoch().count()),
                           static_cast<std::uint32_t>(getpid())};
        return std::mt19937(seed);
    }();
    int r;
    {
        std::lock_guard<std::mutex> guard(mutex);
        r = std::uniform_int_distribution<int>(0, 32767)(generator);
    }
    auto index = static_cast<std::size_t>(
        std::floor(static_cast<double>(count) * static_cast<double>(r) / 32768.0));
    return std::min(index, count - 1);
}

bool ConnectToAddresses(int socket, std::span<const SocketAddress> addresses, std::size_t first,
                        ConnectLimits limits, int* error) {
    int last_error = EHOSTUNREACH;
    if (socket < 0) {
        last_error = EBADF;
    } else if (!addresses.empty()) {
        auto deadline = Clock::now() + limits.total;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            const SocketAddress& address = addresses[(first + i) % addresses.size()];
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                if (i == 0) last_error = ETIMEDOUT;
                break;
            }
            // After a failed attempt the socket's state is unspecified; start from a fresh one.
            if ((i > 0 || SocketFamily(socket) != address.family()) &&
                !ReplaceSocket(socket, address.family())) {
                last_error = errno;
                continue;
            }
            int result = ConnectOnce(socket, address, std::min(limits.per_address, left));
            if (result == 0) return true;
            last_error = result;
        }
    }
    if (error != nullptr) *error = last_error;
    return false;
}

bool ConnectSocket(int socket, const char* host, int port, bool show_messages,
                   ConnectLimits limits) {
    std::vector<SocketAddress> addresses = ResolveHost(host, port);
    if (addresses.empty()) {
        if (show_messages) {
            Ui().ShowMessage("Notice", std::string("Unable to resolve hostname '") +
                                           (host != nullptr ? host : "") + "'");
        }
        return false;
    }
    int error = 0;
    if (ConnectToAddresses(socket, addresses, PickAddressIndex(addresses.size()), limits, &error)) {
        return true;
    }
    if (show_messages) Ui().ShowMessage("Unable to open connection", SystemErrorText(error));
    return false;
}

bool ListenSocket(int socket, int port, int loopbackOnly) {
    if (socket < 0) return false;
    // Lets a listener come back on its port at once after a session ends, instead of failing
    // while old connections linger in TIME_WAIT. On Linux this never lets two sockets listen on
    // one port.
    int one = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    int result;
    if (SocketFamily(socket) == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = PortInNetworkOrder(port);
        address.sin6_addr = loopbackOnly ? in6addr_loopback : in6addr_any;
        result = bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = PortInNetworkOrder(port);
        address.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
        result = bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    return result == 0 && listen(socket, 2) == 0;
}

void CloseSocket(int socket) {
    if (socket < 0) return;
    shutdown(socket, SHUT_RDWR);
    close(socket);
}

int WaitReadable(int socket, int timeout_ms) {
    if (socket < 0) return -1;
    // poll rather than select: select cannot watch descriptors numbered 1024 or above.
    pollfd entry{socket, POLLIN, 0};
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int wait = timeout_ms;
        if (timeout_ms >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            wait = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        int ready = poll(&entry, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0 && (entry.revents & POLLNVAL)) return -1;
        return ready;
    }
}

}  // namespace tarnwick
