// Free socket helpers shared by the TCP/IP transport and the port-forwarding layers: stream
// sockets with the no-delay option, name resolution and connect, listening sockets, and the
// shutdown-then-close that ends every connection.
//
// Sockets are plain descriptors (-1 when there is none). Sends on them should pass MSG_NOSIGNAL:
// a peer that has gone away must give an error, not kill the program with SIGPIPE.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace tarnwick {

inline constexpr int kInvalidSocket = -1;

// Bounds on connecting, so that an address that swallows our packets does not freeze the
// user-interface thread for the minutes the system would otherwise wait. A refusal or an
// unreachable network comes back at once and moves on to the next address.
struct ConnectLimits {
    std::chrono::milliseconds per_address{10000};
    std::chrono::milliseconds total{20000};
};

// One resolved address with its port filled in.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    std::string ToString() const;  // "127.0.0.1:22", "[::1]:22"
};

// A TCP stream socket of the given family (IPv4 unless told otherwise), blocking when nonBlocking
// is 0, with Nagle's algorithm off. Returns -1 on failure.
int CreateStreamSocket(int nonBlocking, int family = AF_INET);

// Resolves host and connects socket to it on port (taken modulo 65536). True on success; with
// show_messages, a failure is explained in a message box.
//
// host may be four dotted decimal numbers below 256 (used without a lookup), a bracketed or bare
// IPv6 literal, or a name, which may resolve to IPv4 and IPv6 addresses. One address is picked at
// random; when it cannot be reached the others are tried in turn, within the limits. The socket
// keeps its descriptor number, blocking mode and no-delay option, but when the chosen address is
// of another family (or an earlier attempt failed) a fresh socket takes over that number, since a
// socket that failed to connect cannot portably be connected again.
[[nodiscard]] bool ConnectSocket(int socket, const char* host, int port, bool show_messages,
                                 ConnectLimits limits = {});

// Binds socket to port on 127.0.0.1 (or ::1) when loopbackOnly is nonzero, else on every local
// address, and listens with a backlog of 2. True on success.
[[nodiscard]] bool ListenSocket(int socket, int port, int loopbackOnly);

// Shuts the connection down in both directions, which ends a wait of another thread on it, then
// closes the descriptor. Never call it while another thread may still be about to use the number.
void CloseSocket(int socket);

// Waits until socket is readable (or has hung up, or failed). Returns poll's result: 1 when
// ready, 0 when timeout_ms (-1: no limit) passed, -1 on error. Works for any descriptor number.
int WaitReadable(int socket, int timeout_ms = -1);

// Lower-level pieces of ConnectSocket, for callers and tests that need them.

// True when text is exactly four decimal numbers, each below 256, separated by dots; the address
// is then filled in.
bool ParseDottedQuad(const char* text, in_addr* address);

// The addresses host stands for, with port set, in the resolver's order. Empty when the name
// cannot be resolved.
std::vector<SocketAddress> ResolveHost(const char* host, int port);

// Index of the address to try first among count, drawn from a generator seeded once per process.
std::size_t PickAddressIndex(std::size_t count);

// Tries addresses starting at first and wrapping around, until one connects or the limits are
// spent. True on success; on failure false with *error set to the last attempt's errno.
[[nodiscard]] bool ConnectToAddresses(int socket, std::span<const SocketAddress> addresses,
                                      std::size_t first, ConnectLimits limits, int* error);

}  // namespace tarnwick
