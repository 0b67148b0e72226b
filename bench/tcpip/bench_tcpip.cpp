// Receive throughput over 127.0.0.1: a stream of N megabytes (default 100) read by a plain
// blocking recv loop, and the same stream through IO_TCPIP, its reader thread, the synchronous
// notification to the user-interface thread (an EventLoop) and the pump into a counting top
// layer. Prints MB/s for each and the ratio chain / plain (the goal is at least 0.5).
//
//   bench_tcpip [megabytes] [rounds]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/io.h"
#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/ui_dispatcher.h"
#include "transport/socket.h"
#include "transport/tcpip.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tarnwick;

// The plain loop reads with the transport's largest read size, so the ratio shows what the reader
// thread, the round trip to the user-interface thread and the pump cost.
constexpr std::size_t kPlainReadSize = IO_TCPIP::kMaxReadSize;

// The top of the chain: counts what arrives, as cheaply as the plain loop does.
class CountingLayer final : public IO {
  public:
    CountingLayer() : IO(kLayerVT, "Counter") {}
    void Close() override {}
    int Send(const std::uint8_t*, int) override { return 0; }
    int Receive(const std::uint8_t*, int length) override {
        received += static_cast<std::size_t>(length);
        ++calls;
        return 0;
    }
    int Display(const std::uint8_t*, int) override { return 0; }
    std::size_t received = 0;
    std::size_t calls = 0;
};

struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = CreateStreamSocket(0);
        if (fd < 0 || ListenSocket(fd, 0, 1) != 1) {
            std::perror("listen");
            std::exit(1);
        }
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ~Listener() { CloseSocket(fd); }
};

// Accepts one connection and writes total bytes to it.
std::thread StartWriter(int listen_fd, std::size_t total) {
    return std::thread([listen_fd, total] {
        int peer = accept(listen_fd, nullptr, nullptr);
        if (peer < 0) return;
        std::vector<char> block(65536);
        for (std::size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 7);
        std::size_t sent = 0;
        while (sent < total) {
            std::size_t chunk = std::min(block.size(), total - sent);
            ssize_t n = send(peer, block.data(), chunk, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        CloseSocket(peer);
    });
}

double PlainLoop(std::size_t total) {
    Listener listener;
    auto start = Clock::now();
    std::thread writer = StartWriter(listener.fd, total);
    int fd = CreateStreamSocket(0);
    if (ConnectSocket(fd, "127.0.0.1", listener.port, false) != 1) std::exit(1);
    std::vector<char> buffer(kPlainReadSize);
    std::size_t received = 0;
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        received += static_cast<std::size_t>(n);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    CloseSocket(fd);
    if (received != total) {
        std::fprintf(stderr, "plain loop received %zu of %zu bytes\n", received, total);
        std::exit(1);
    }
    return static_cast<double>(total) / seconds / 1e6;
}

void PumpOnUiThread(void*, IO* transport) {
    UiDispatcher::Instance().RunAndWait([transport] {
        if (transport->Pump() != 0) transport->Close();
    });
}

double Chain(std::size_t total) {
    EventLoop loop;
    Listener listener;
    SessionConfig config;
    config.SetNarrow(setting::hostname, "127.0.0.1");
    config.SetInt(setting::portnum, listener.port);
    config.SetSessionCallback(&PumpOnUiThread, nullptr);
    CountingLayer top;
    auto* tcp = new IO_TCPIP();  // owned by top
    if (top.InsertBelow(tcp) != 0) std::exit(1);

    auto start = Clock::now();
    std::thread writer = StartWriter(listener.fd, total);
    if (tcp->Open(&config) != 0) {
        std::fprintf(stderr, "open failed\n");
        std::exit(1);
    }
    bool done = loop.RunUntil([&] { return top.received >= total; }, std::chrono::minutes(10));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    tcp->Close();
    if (!done || top.received != total) {
        std::fprintf(stderr, "chain received %zu of %zu bytes\n", top.received, total);
        std::exit(1);
    }
    std::printf("  chain: %zu buffers, %.0f bytes each on average\n", top.calls,
                static_cast<double>(total) / static_cast<double>(top.calls));
    return static_cast<double>(total) / seconds / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (megabytes == 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_tcpip [megabytes] [rounds]\n");
        return 2;
    }
    const std::size_t total = megabytes * 1000 * 1000;
    Preferences::Instance().SetInt(pref::EnableICM, 0);

    std::vector<double> plain;
    std::vector<double> chain;
    for (int round = 0; round < rounds; ++round) {
        plain.push_back(PlainLoop(total));
        chain.push_back(Chain(total));
        std::printf("round %d: plain %.1f MB/s, chain %.1f MB/s\n", round + 1, plain.back(),
                    chain.back());
    }
    double p = Median(plain);
    double c = Median(chain);
    std::printf("\n%zu MB over 127.0.0.1, median of %d rounds\n", megabytes, rounds);
    std::printf("%-50s %10s\n", "reader", "MB/s");
    std::string plain_name =
        "plain blocking recv loop (" + std::to_string(kPlainReadSize) + "-byte reads)";
    std::printf("%-50s %10.1f\n", plain_name.c_str(), p);
    std::string chain_name = "IO_TCPIP + pump (reads of " + std::to_string(IO_TCPIP::kMinReadSize) +
                             " to " + std::to_string(IO_TCPIP::kMaxReadSize) + " bytes)";
    std::printf("%-50s %10.1f\n", chain_name.c_str(), c);
    std::printf("ratio chain / plain: %.3f (goal: at least 0.5)\n", c / p);
    return 0;
}
