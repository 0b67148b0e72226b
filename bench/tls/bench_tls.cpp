// Our TLS client next to gnutls-cli, against the same gnutls-serv (TLS 1.0, RSA, DES-CBC3-SHA,
// echo mode), in one run:
//   (a) handshake: ours from Open to the server's Finished checked; gnutls-cli from its start to
//       its "Handshake was completed" line (so its figure also holds a process start);
//   (b) 100 MB of lines echoed through a TLS session's chain (a counting layer in the terminal's
//       place, IO_SSL, IO_TCPIP), against gnutls-cli with its standard input and output on pipes;
//   (c) the same 100 MB through the SSL port forwarder: a local program writes and reads back
//       through an SSLPF session of the session list.
// Prints each figure of both and their ratio.
//
//   bench_tls [--quick]     --quick: 5 handshakes instead of 20 and 20 MB instead of 100 MB
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/preferences.h"
#include "core/session_config.h"
#include "interop/tls_client.h"
#include "interop/tls_peers.h"
#include "platform/event_loop.h"
#include "session/deferred_deletion.h"
#include "session/session.h"
#include "support/loopback_peer.h"
#include "support/memory_front_end.h"
#include "transport/socket_listener.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tarnwick;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Lines of printable text: what gnutls-serv's echo returns whole.
std::string Lines(std::size_t size) {
    std::string data;
    data.reserve(size);
    unsigned seed = 1;
    while (data.size() < size) {
        for (int i = 0; i < 79 && data.size() + 1 < size; ++i) {
            seed = seed * 1103515245 + 12345;
            data.push_back(static_cast<char>('!' + (seed >> 16) % 94));
        }
        data.push_back('\n');
    }
    return data;
}

const char* kCliPriority = "NONE:+VERS-TLS1.0:+3DES-CBC:+RSA:+SHA1:+COMP-NULL:+SIGN-ALL";

// gnutls-cli with standard input and output on pipes.
struct Cli {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output

    explicit Cli(int port) {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(to[0], 0);
            dup2(from[1], 1);
            const int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, 2);
            close(to[1]);
            close(from[0]);
            const std::string port_text = std::to_string(port);
            execlp("gnutls-cli", "gnutls-cli", "--insecure", "--priority", kCliPriority, "-p",
                   port_text.c_str(), "localhost", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to[0]);
        close(from[1]);
        in = to[1];
        out = from[0];
    }
    ~Cli() {
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        if (pid > 0) {
            kill(pid, SIGTERM);
            int status;
            waitpid(pid, &status, 0);
        }
    }
    // Reads its output until text has appeared; false at its end.
    bool ReadUntil(const std::string& text) {
        std::string seen;
        char c;
        while (read(out, &c, 1) == 1) {
            seen.push_back(c);
            if (seen.size() >= text.size() &&
                seen.compare(seen.size() - text.size(), text.size(), text) == 0) {
                return true;
            }
        }
        return false;
    }
};

double CliHandshake(int port) {
    const Clock::time_point start = Clock::now();
    Cli cli(port);
    if (!cli.ReadUntil("Handshake was completed")) return -1;
    return Seconds(Clock::now() - start);
}

// Bytes per second of echo; what came back within the time limit counts when not all of it did
// (*complete is false then).
double CliBulk(int port, const std::string& data, std::chrono::seconds limit, bool* complete) {
    *complete = false;
    Cli cli(port);
    if (!cli.ReadUntil("Simple Client Mode:\n")) return -1;
    const Clock::time_point start = Clock::now();
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(cli.in, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    });
    // Its output holds a blank line after the marker, then the echo.
    std::size_t got = 0;
    std::vector<char> buffer(1 << 16);
    while (got < data.size() + 1 && Clock::now() - start < limit) {
        pollfd entry{cli.out, POLLIN, 0};
        if (poll(&entry, 1, 100) <= 0) continue;
        const ssize_t n = read(cli.out, buffer.data(), buffer.size());
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    const double seconds = Seconds(Clock::now() - start);
    *complete = got >= data.size() + 1;
    // Ending it closes the pipe the writer may still be blocked on.
    kill(cli.pid, SIGTERM);
    close(cli.in);
    cli.in = -1;
    writer.join();
    return static_cast<double>(std::min(got, data.size())) / seconds;
}

double OurHandshake(testing::TlsTestEnvironment& env, int port) {
    testing::TlsClient client(env.loop, "localhost", port);
    const Clock::time_point start = Clock::now();
    if (client.Open() != 0 || !client.WaitConnected()) return -1;
    return Seconds(Clock::now() - start);
}

double OurBulk(testing::TlsTestEnvironment& env, int port, const std::string& data) {
    testing::TlsClient client(env.loop, "localhost", port);
    if (client.Open() != 0 || !client.WaitConnected()) return -1;
    // Received bytes are counted, not kept.
    std::size_t received = 0;
    struct Counter : IO {
        explicit Counter(std::size_t* count) : IO(kLayerVT, "Counter"), count_(count) {}
        void Close() override {}
        int Send(const std::uint8_t*, int) override { return 0; }
        int Receive(const std::uint8_t*, int length) override {
            *count_ += static_cast<std::size_t>(length);
            return 0;
        }
        int Display(const std::uint8_t*, int) override { return 0; }
        std::size_t* count_;
    } counter(&received);
    client.ssl->SetUpper(&counter);
    const Clock::time_point start = Clock::now();
    // At most this much is in flight: the user-interface thread must go on reading the echo.
    constexpr std::size_t kWindow = 1 << 20;
    constexpr std::size_t kPiece = 64 * 1024;
    std::size_t sent = 0;
    while (received < data.size() && !client.ended) {
        while (sent < data.size() && sent - received < kWindow) {
            const std::size_t n = std::min(kPiece, data.size() - sent);
            if (client.ssl->Send(reinterpret_cast<const std::uint8_t*>(data.data() + sent),
                                 static_cast<int>(n)) != 0) {
                return -1;
            }
            sent += n;
        }
        env.loop.ProcessOnce(std::chrono::milliseconds(100));
    }
    const double seconds = Seconds(Clock::now() - start);
    client.ssl->SetUpper(client.top);
    return received >= data.size() ? static_cast<double>(data.size()) / seconds : -1;
}

double ForwarderBulk(testing::TlsTestEnvironment& env, int port, const std::string& data) {
    testing::MemoryFrontEnd front_end;
    auto list = std::make_unique<SessionList>(&front_end);
    auto* config = new SessionConfig();
    config->SetInt(setting::session_kind, kKindSSLPortForward);
    config->SetNarrow(setting::hostname, "localhost");
    config->SetInt(setting::portnum, port);
    config->SetInt(setting::portnum_listener, 0);
    list->CreateSession(config);
    auto* listener = static_cast<IO_SocketListener*>(list->Current()->GetTerminal()->GetLower());
    env.loop.RunUntil([&] { return listener->ListeningPort() != 0; }, std::chrono::seconds(5));
    const int fd = testing::ConnectLoopback(listener->ListeningPort());
    if (fd < 0) return -1;
    // The first line back marks the end of the handshake; the clock starts after it.
    testing::WriteAll(fd, "ready\n");
    std::string first;
    env.loop.RunUntil(
        [&] {
            first += testing::ReadSome(fd, 6 - first.size(), 10);
            return first.size() >= 6;
        },
        std::chrono::seconds(20));
    const Clock::time_point start = Clock::now();
    std::thread writer([&] { testing::WriteAll(fd, data); });
    std::atomic<std::size_t> got{0};
    std::thread reader([&] {
        std::vector<char> buffer(1 << 16);
        while (got < data.size()) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
    });
    env.loop.RunUntil([&] { return got.load() >= data.size(); }, std::chrono::seconds(600));
    const double seconds = Seconds(Clock::now() - start);
    shutdown(fd, SHUT_RDWR);
    writer.join();
    reader.join();
    close(fd);
    list.reset();
    DeferredDeletion::Instance().DestroyAll();
    return got >= data.size() ? static_cast<double>(data.size()) / seconds : -1;
}

void Row(const char* what, double ours, double theirs, const char* unit, bool lower_is_better) {
    const double ratio = theirs > 0 && ours > 0 ? ours / theirs : 0;
    std::printf("| %-48s | %10.2f | %10.2f | %-5s | %6.2fx %s|\n", what, ours, theirs, unit, ratio,
                lower_is_better ? "(time)  " : "(speed) ");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int handshakes = quick ? 5 : 20;
    const std::size_t bytes = (quick ? 20 : 100) * 1000 * 1000;
    signal(SIGPIPE, SIG_IGN);
    testing::TlsTestPki pki;
    if (!pki.ok()) {
        std::fprintf(stderr, "openssl could not make the certificates\n");
        return 1;
    }
    testing::GnutlsServer server(pki.Pem("server"), pki.key());
    if (!server.ok()) {
        std::fprintf(stderr, "gnutls-serv did not start: %s\n", server.log().c_str());
        return 1;
    }
    testing::TlsTestEnvironment env(pki.ca_folder());
    const std::string data = Lines(bytes);

    std::printf(
        "TLS 1.0 DES-CBC3-SHA client against gnutls-cli, same gnutls-serv on 127.0.0.1, "
        "%d handshakes, %zu MB\n\n",
        handshakes, bytes / 1000000);
    std::printf("| %-48s | %10s | %10s | %-5s | %-15s |\n", "measure", "ours", "gnutls-cli", "unit",
                "ours/gnutls-cli");
    std::printf(
        "|--------------------------------------------------|------------|------------|"
        "-------|-----------------|\n");
    std::vector<double> ours, theirs;
    for (int i = 0; i < handshakes; ++i) {
        ours.push_back(OurHandshake(env, server.port()));
        theirs.push_back(CliHandshake(server.port()));
    }
    Row("(a) handshake", Median(ours) * 1000, Median(theirs) * 1000, "ms", true);
    bool complete = false;
    const double cli =
        CliBulk(server.port(), data, std::chrono::seconds(quick ? 30 : 120), &complete);
    Row("(b) echo through a TLS session", OurBulk(env, server.port(), data) / 1e6, cli / 1e6,
        "MB/s", false);
    Row("(c) echo through the SSL port forwarder", ForwarderBulk(env, server.port(), data) / 1e6,
        cli / 1e6, "MB/s", false);
    if (!complete) {
        std::printf(
            "\ngnutls-cli's echo did not complete within its time; its figure is what came "
            "back until then.\n");
    }
    return 0;
}
