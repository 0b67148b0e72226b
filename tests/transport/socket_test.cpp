#include "transport/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <vector>

#include "platform/scripted_ui.h"
#include "support/loopback_peer.h"

namespace tarnwick {
namespace {

using testing::LoopbackListener;

int IntOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(fd, level, name, &value, &length);
    return value;
}

SocketAddress Loopback(int family, int port) {
    std::vector<SocketAddress> found = ResolveHost(family == AF_INET6 ? "::1" : "127.0.0.1", port);
    EXPECT_EQ(found.size(), 1u);
    return found.front();
}

TEST(SocketHelpersTest, DottedQuadIsExactlyFourNumbersBelow256) {
    in_addr address{};
    ASSERT_TRUE(ParseDottedQuad("192.168.1.20", &address));
    EXPECT_EQ(ntohl(address.s_addr), 0xC0A80114u);
    EXPECT_TRUE(ParseDottedQuad("255.255.255.255", &address));
    EXPECT_TRUE(ParseDottedQuad("0.0.0.0", &address));
    EXPECT_TRUE(ParseDottedQuad("010.1.1.1", &address));  // decimal, not octal
    EXPECT_EQ(ntohl(address.s_addr), 0x0A010101u);
    // Everything else is left to the resolver.
    for (const char* text : {"256.1.1.1", "1.2.3.256", "1.2.3", "1.2.3.4.5", "1.2.3.4x", " 1.2.3.4",
                             "1.2.3.4 ", "-1.2.3.4", "1..2.3", "", "0001.2.3.4", "host.example"}) {
        EXPECT_FALSE(ParseDottedQuad(text, &address)) << text;
    }
    EXPECT_FALSE(ParseDottedQuad(nullptr, &address));
}

TEST(SocketHelpersTest, CreateStreamSocketSetsModeAndNoDelay) {
    int blocking = CreateStreamSocket(0);
    ASSERT_GE(blocking, 0);
    EXPECT_EQ(fcntl(blocking, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(IntOption(blocking, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(IntOption(blocking, SOL_SOCKET, SO_DOMAIN), AF_INET);
    CloseSocket(blocking);

    int non_blocking = CreateStreamSocket(1, AF_INET6);
    ASSERT_GE(non_blocking, 0);
    EXPECT_NE(fcntl(non_blocking, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(IntOption(non_blocking, SOL_SOCKET, SO_DOMAIN), AF_INET6);
    CloseSocket(non_blocking);
}

TEST(SocketHelpersTest, ListenSocketBindsWhereAsked) {
    // Port 0: the system chooses, and the listener reports what it got.
    int loopback = CreateStreamSocket(0);
    ASSERT_EQ(ListenSocket(loopback, 0, 1), 1);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(loopback, reinterpret_cast<sockaddr*>(&bound), &length);
    EXPECT_EQ(ntohl(bound.sin_addr.s_addr), INADDR_LOOPBACK);
    const int port = ntohs(bound.sin_port);
    ASSERT_NE(port, 0);

    // A second listener on a port in use fails even with address reuse on.
    int second = CreateStreamSocket(0);
    EXPECT_EQ(ListenSocket(second, port, 0), 0);
    CloseSocket(second);

    // The port is free again at once after the first listener went, even though a connection
    // through it left a TIME_WAIT entry behind.
    int client = CreateStreamSocket(0);
    ASSERT_EQ(ConnectSocket(client, "127.0.0.1", port, false), 1);
    int accepted = accept(loopback, nullptr, nullptr);
    CloseSocket(accepted);
    CloseSocket(client);
    CloseSocket(loopback);
    int again = CreateStreamSocket(0);
    EXPECT_EQ(ListenSocket(again, port, 0), 1);
    getsockname(again, reinterpret_cast<sockaddr*>(&bound), &length);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
    CloseSocket(again);
}

TEST(SocketHelpersTest, ConnectsToLiteralsNamesAndIPv6) {
    LoopbackListener v4;
    for (const char* host : {"127.0.0.1", "localhost"}) {
        int fd = CreateStreamSocket(0);
        EXPECT_EQ(ConnectSocket(fd, host, v4.port(), true), 1) << host;
        int peer = v4.Accept();
        EXPECT_GE(peer, 0) << host;
        close(peer);
        CloseSocket(fd);
    }

    // An IPv4 socket asked to reach an IPv6 address is replaced under the same number, keeping
    // its blocking mode and no-delay option.
    LoopbackListener v6(AF_INET6);
    for (const char* host : {"[::1]", "::1"}) {
        int fd = CreateStreamSocket(0);
        ASSERT_EQ(ConnectSocket(fd, host, v6.port() + 65536, true), 1) << host;
        EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_DOMAIN), AF_INET6);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        int peer = v6.Accept();
        ASSERT_GE(peer, 0);
        ASSERT_EQ(send(fd, "ping", 4, MSG_NOSIGNAL), 4);
        EXPECT_EQ(testing::ReadSome(peer, 4), "ping");
        close(peer);
        CloseSocket(fd);
    }
}

// The texts for a refused connection and an unknown host are checked through the transport
// (TcpipTest); here, that they are shown only when asked for.
TEST(SocketHelpersTest, FailuresAreExplainedOnlyWhenAsked) {
    ScriptedUi ui;
    int fd = CreateStreamSocket(0);
    testing::RefusingPort refusing;
    EXPECT_EQ(ConnectSocket(fd, "", 22, true), 0);
    ASSERT_EQ(ui.shown().size(), 1u);
    EXPECT_EQ(ui.shown()[0].text, "Unable to resolve hostname ''");

    ui.Clear();
    EXPECT_EQ(ConnectSocket(fd, "127.0.0.1", refusing.port(), false), 0);
    EXPECT_EQ(ConnectSocket(fd, "no-such-host.invalid", 22, false), 0);
    EXPECT_TRUE(ui.shown().empty());
    CloseSocket(fd);
}

TEST(SocketHelpersTest, NextAddressIsTriedWhenOneRefuses) {
    // A name with an IPv6 address that refuses and an IPv4 address that listens must connect
    // whichever of the two is drawn first.
    LoopbackListener v4;
    testing::RefusingPort refusing4, refusing6(AF_INET6);
    std::vector<SocketAddress> addresses = {Loopback(AF_INET6, refusing6.port()),
                                            Loopback(AF_INET, v4.port())};
    for (std::size_t first : {0u, 1u}) {
        int fd = CreateStreamSocket(0);
        int error = 0;
        EXPECT_EQ(ConnectToAddresses(fd, addresses, first, {}, &error), 1) << first;
        EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_DOMAIN), AF_INET);
        int peer = v4.Accept();
        EXPECT_GE(peer, 0);
        close(peer);
        CloseSocket(fd);
    }

    std::vector<SocketAddress> refusing = {Loopback(AF_INET, refusing4.port()),
                                           Loopback(AF_INET6, refusing6.port())};
    int fd = CreateStreamSocket(0);
    int error = 0;
    EXPECT_EQ(ConnectToAddresses(fd, refusing, 1, {}, &error), 0);
    EXPECT_EQ(error, ECONNREFUSED);
    CloseSocket(fd);
}

TEST(SocketHelpersTest, AnAddressThatSwallowsPacketsTimesOut) {
    // A listener whose accept queue is full drops further connection attempts without an answer,
    // just like a black-holed address.
    LoopbackListener listener(AF_INET, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 16; ++i) {
        int filler = CreateStreamSocket(1);
        fillers.push_back(filler);
        SocketAddress address = Loopback(AF_INET, listener.port());
        connect(filler, address.get(), address.length);
        pollfd entry{filler, POLLOUT, 0};
        if (poll(&entry, 1, 200) == 0) break;  // this one hangs: the queue is full
    }
    ScriptedUi ui;
    int fd = CreateStreamSocket(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectSocket(fd, "127.0.0.1", listener.port(), true,
                            {std::chrono::milliseconds(300), std::chrono::milliseconds(600)}),
              0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_GE(took, std::chrono::milliseconds(250));
    ASSERT_EQ(ui.shown().size(), 1u);
    EXPECT_EQ(ui.shown()[0].text, SystemErrorText(ETIMEDOUT));
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // blocking again for its user
    CloseSocket(fd);
    for (int filler : fillers)
        CloseSocket(filler);
}

TEST(SocketHelpersTest, WaitReadableWorksAboveDescriptor1024) {
    std::array<int, 2> pair{};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair.data()), 0);
    const int high = 1500;
    ASSERT_EQ(dup2(pair[0], high), high);
    EXPECT_EQ(WaitReadable(high, 20), 0);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    EXPECT_EQ(WaitReadable(high), 1);
    close(pair[1]);
    close(pair[0]);
    close(high);
    EXPECT_EQ(WaitReadable(high, 20), -1);  // no longer open
    EXPECT_EQ(WaitReadable(-1), -1);
}

TEST(SocketHelpersTest, RandomPickCoversEveryAddress) {
    std::array<int, 3> seen{};
    for (int i = 0; i < 600; ++i) {
        std::size_t index = PickAddressIndex(seen.size());
        ASSERT_LT(index, seen.size());
        ++seen[index];
    }
    for (int count : seen)
        EXPECT_GT(count, 100);
    EXPECT_EQ(PickAddressIndex(1), 0u);
    EXPECT_EQ(PickAddressIndex(0), 0u);
}

}  // namespace
}  // namespace tarnwick
