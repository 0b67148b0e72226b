// Two measurements, each with its reference in the same run:
//
// 1. XMODEM: a file (default 1 MB, 8 192 blocks) over a socat pseudo-terminal pair. The reference
//    is lrzsz on both ends (sx sending to rx); ours receives from sx and sends to rx through the
//    serial transport, its reader thread, the round trip to the user-interface thread and the
//    filter's worker. Printed: the cost per block of each and our cost against lrzsz's (goal at
//    most 1.0). The half-second wait before each ACK is injected as zero here: with it, every
//    block would cost at least 500 ms (68 minutes for 1 MB), which is reported apart.
// 2. Capture: 100 MB of session output (text lines with some colour) through the VT100 alone and
//    through the capture filter into a file first; printed: the slowdown (goal at most 5%).
//
//   bench_xmodem [kilobytes] [capture megabytes]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/io.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "terminal/memory_display.h"
#include "terminal/terminal_settings.h"
#include "terminal/vt100.h"
#include "transfer/capture.h"
#include "transfer/transfer_filter.h"
#include "transfer/xmodem_filters.h"
#include "transport/serial.h"
#include "transport/socket.h"
#include "transport/tcpip.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace tarnwick;
namespace fs = std::filesystem;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A child process started through the shell and ended by its pid.
struct Child {
    pid_t pid = -1;
    explicit Child(const std::string& command) {
        const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
        if (posix_spawnp(&pid, "sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
            pid = -1;
        }
    }
    // Waits for the end; false when it failed or did not end in time.
    bool Wait(std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    // Ended by now (successfully or not).
    bool Ended() {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) pid = -1;
        return pid <= 0;
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// A socat pseudo-terminal pair with links a and b in folder.
struct Cable {
    std::string a, b;
    std::unique_ptr<Child> socat;
    explicit Cable(const std::string& folder) : a(folder + "/a"), b(folder + "/b") {
        fs::create_directories(folder);
        socat = std::make_unique<Child>("exec socat pty,raw,echo=0,link=" + a +
                                        " pty,raw,echo=0,link=" + b + " 2>/dev/null");
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!(fs::exists(a) && fs::exists(b)) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!fs::exists(a)) {
            std::fprintf(stderr, "socat made no pseudo-terminals (is it installed?)\n");
            std::exit(1);
        }
    }
};

std::string Peer(const std::string& folder, const std::string& command, const std::string& end) {
    return "cd " + folder + " && exec " + command + " <" + end + " >" + end + " 2>/dev/null";
}

// Every transfer is timed until the receiver has the whole file: rx may lose its last ACK on a
// pseudo-terminal as it exits, which leaves the sender retrying its end of file for a while.
double LrzszPair(const std::string& folder, const std::string& file) {
    Cable cable(folder + "/ref");
    const auto start = Clock::now();
    Child receiver(Peer(folder, "rx -q -c ref/out.bin", cable.b));
    Child sender(Peer(folder, "sx -X -q " + file, cable.a));
    if (!receiver.Wait(std::chrono::seconds(3600))) {
        std::fprintf(stderr, "lrzsz's transfer failed\n");
        std::exit(1);
    }
    return Seconds(start);
}

std::atomic<int> g_ended{0};
void Ended(Session*, IO*) {
    ++g_ended;
}

// The user-interface side of a chain without a session: pumps the transport on notification.
void Pump(void*, IO* transport) {
    UiDispatcher::Instance().RunAndWait([transport] { (void)transport->Pump(); });
}

class Top final : public IO {
  public:
    Top() : IO(kLayerVT, "Top") {}
    void Close() override {}
    int Send(const std::uint8_t*, int) override { return 0; }
    int Receive(const std::uint8_t*, int) override { return 0; }
    int Display(const std::uint8_t*, int) override { return 0; }
};

// Ours on one end of a fresh cable, lrzsz's command on the other. Returns the seconds from the
// start of the transfer to its end.
double Ours(const std::string& folder, bool receive, const std::string& file,
            const std::string& peer_command) {
    EventLoop loop;
    ScriptedUi ui;
    Cable cable(folder + (receive ? "/ours-receive" : "/ours-send"));
    SessionConfig config;
    config.SetInt(setting::session_kind, kKindSerial);
    config.SetWideFromNarrow(setting::serial_device, cable.a.c_str());
    config.SetInt(setting::serial_speed, 115200);
    config.SetSessionCallback(&Pump, nullptr);
    Top top;
    auto* serial = new IO_Serial();
    if (top.InsertBelow(serial) != 0 || serial->Open(&config) != 0) {
        std::fprintf(stderr, "cannot open %s\n", cable.a.c_str());
        std::exit(1);
    }
    xmodem::Timing timing;
    timing.purge_ms = 0;
    IO* filter = receive ? static_cast<IO*>(new IO_ReceiveXmodem(timing))
                         : static_cast<IO*>(new IO_SendXmodem(timing));
    ui.QueueFile(file);
    g_ended = 0;
    // sx waits for its receiver; rx asks at once, and again only ten seconds later, so it starts
    // after our sender (whose opening purge would swallow an earlier request).
    std::unique_ptr<Child> peer;
    if (receive) peer = std::make_unique<Child>(Peer(folder, peer_command, cable.b));
    const auto start = Clock::now();
    if (top.InsertBelow(filter) != 0 || filter->Open(&config) != 0) {
        std::fprintf(stderr, "the transfer did not start\n");
        std::exit(1);
    }
    if (!receive) peer = std::make_unique<Child>(Peer(folder, peer_command, cable.b));
    double seconds = 0;
    if (receive) {
        loop.RunUntil([] { return g_ended.load() > 0; }, std::chrono::hours(1));
        seconds = Seconds(start);
    } else {
        loop.RunUntil([&peer] { return peer->Ended(); }, std::chrono::hours(1));
        seconds = Seconds(start);
    }
    filter->Close();
    return seconds;
}

std::string SessionOutput(std::size_t bytes) {
    static const char* const kWords[] = {"serial", "line", "console", "router", "boot",   "kernel",
                                         "eth0",   "link", "up",      "ok",     "0x1f3a", "ready"};
    std::string out;
    out.reserve(bytes + 200);
    unsigned x = 7;
    while (out.size() < bytes) {
        x = x * 1103515245u + 12345u;
        if ((x >> 20) % 9 == 0) out += "\x1b[1;32m";
        for (int w = 0; w < 9; ++w) {
            x = x * 1103515245u + 12345u;
            out += kWords[(x >> 16) % 12];
            out += ' ';
        }
        if ((x >> 20) % 9 == 0) out += "\x1b[0m";
        out += "\r\n";
    }
    out.resize(bytes);
    return out;
}

// The time the session's own thread spends, and the wall-clock time: on a busy machine the first
// is the steadier measure, the second also shows waiting for a disk that cannot keep up.
struct Cost {
    double cpu = 1e9;
    double wall = 1e9;
};

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The output arrives as a transport hands it up: in buffers of what one read got (64 KB when a
// bulk of output is waiting), each read costing a copy.
void Feed(IO& entry, const std::string& input, const std::function<void()>& finish, Cost& best) {
    constexpr std::size_t kChunk = 64 * 1024;
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    const auto start = Clock::now();
    const double cpu_start = ThreadSeconds();
    for (std::size_t at = 0; at < input.size(); at += kChunk) {
        const std::size_t length = std::min(kChunk, input.size() - at);
        auto buffer = std::make_unique<IO_Buffer>(static_cast<std::uint32_t>(length));
        buffer->append(data + at, static_cast<long long>(length));
        entry.ReceiveBuffer(std::move(buffer));
    }
    if (finish) finish();
    best.cpu = std::min(best.cpu, ThreadSeconds() - cpu_start);
    best.wall = std::min(best.wall, Seconds(start));
}

void PumpOnUiThread(void*, IO* transport) {
    UiDispatcher::Instance().RunAndWait([transport] {
        if (transport->Pump() != 0) transport->Close();
    });
}

// The whole session: the output comes over 127.0.0.1 through the TCP transport, its reader
// thread and the pump into the terminal, with the capture filter above the transport or not.
// Returns the seconds until the terminal has taken everything (and the capture file is closed).
double ThroughTransport(const std::string& folder, const std::string& input, bool capture) {
    EventLoop loop;
    const int listener = CreateStreamSocket(0);
    if (listener < 0 || ListenSocket(listener, 0, 1) != 1) std::exit(1);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);
    SessionConfig config;
    config.SetNarrow(setting::hostname, "127.0.0.1");
    config.SetInt(setting::portnum, ntohs(local.sin_port));
    config.SetSessionCallback(&PumpOnUiThread, nullptr);
    TerminalSettings settings;
    settings.rows = 24;
    settings.columns = 80;
    settings.scrollback = 500;
    settings.visual_bell = false;
    MemoryDisplay display;
    VT100 vt(&display, settings);
    IO_Capture* filter = capture ? new IO_Capture((folder + "/capture.log").c_str()) : nullptr;
    auto* tcp = new IO_TCPIP();
    if ((filter != nullptr && vt.InsertBelow(filter) != 0) ||
        (filter != nullptr ? filter->InsertBelow(tcp) : vt.InsertBelow(tcp)) != 0) {
        std::exit(1);
    }
    const auto start = Clock::now();
    std::thread writer([listener, &input] {
        const int peer = accept(listener, nullptr, nullptr);
        std::size_t sent = 0;
        while (peer >= 0 && sent < input.size()) {
            const ssize_t n = send(peer, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        if (peer >= 0) close(peer);
    });
    if (tcp->Open(&config) != 0) std::exit(1);
    loop.RunUntil([tcp] { return tcp->IsConnected() == 0; }, std::chrono::minutes(10));
    if (filter != nullptr) filter->Close();
    const double seconds = Seconds(start);
    writer.join();
    close(listener);
    return seconds;
}

void CaptureBench(const std::string& folder, std::size_t megabytes) {
    const std::string input = SessionOutput(megabytes << 20);
    TerminalSettings settings;
    settings.rows = 24;
    settings.columns = 80;
    settings.scrollback = 500;
    settings.visual_bell = false;
    Cost plain, captured;
    for (int round = 0; round < 5; ++round) {
        {
            MemoryDisplay display;
            VT100 vt(&display, settings);
            Feed(vt, input, {}, plain);
        }
        {
            MemoryDisplay display;
            VT100 vt(&display, settings);
            auto* capture = new IO_Capture((folder + "/capture.log").c_str());
            if (vt.InsertBelow(capture) != 0) std::exit(1);
            // Closing writes what is still held: it counts.
            Feed(
                *capture, input, [capture] { capture->Close(); }, captured);
            vt.RemoveBelow();
            delete capture;
        }
    }
    if (fs::file_size(folder + "/capture.log") != input.size()) {
        std::fprintf(stderr, "the capture file is incomplete\n");
        std::exit(1);
    }
    double session_plain = 1e9, session_captured = 1e9;
    for (int round = 0; round < 5; ++round) {
        session_plain = std::min(session_plain, ThroughTransport(folder, input, false));
        session_captured = std::min(session_captured, ThroughTransport(folder, input, true));
    }
    if (fs::file_size(folder + "/capture.log") != input.size()) {
        std::fprintf(stderr, "the capture file of the session is incomplete\n");
        std::exit(1);
    }
    std::printf(
        "capture: %zu MB of session output, without and with capture (best of 5):\n"
        "  a session over TCP: %.3f s and %.3f s, slowdown %.1f%% (goal at most 5%%)\n"
        "  the terminal alone: its thread's time %.3f s and %.3f s, %.1f%%; wall clock "
        "%.3f s and %.3f s, %.1f%%\n",
        megabytes, session_plain, session_captured, (session_captured / session_plain - 1) * 100,
        plain.cpu, captured.cpu, (captured.cpu / plain.cpu - 1) * 100, plain.wall, captured.wall,
        (captured.wall / plain.wall - 1) * 100);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t kilobytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const std::size_t capture_megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100;
    char pattern[] = "/tmp/bench-xmodem-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    const std::string folder = pattern;
    SetTransferEndedHandler(&Ended);

    const std::string file = folder + "/file.bin";
    {
        std::ofstream out(file, std::ios::binary);
        unsigned x = 1;
        for (std::size_t i = 0; i < kilobytes * 1024; ++i) {
            x = x * 1103515245u + 12345u;
            out.put(static_cast<char>(x >> 24));
        }
    }
    const double blocks = static_cast<double>(kilobytes * 1024 / 128);
    const double reference = LrzszPair(folder, file);
    const double receive = Ours(folder, true, folder + "/ours-received.bin", "sx -X -q " + file);
    const double send = Ours(folder, false, file, "rx -q -c ours-sent.bin");
    for (const char* name : {"/ref/out.bin", "/ours-received.bin", "/ours-sent.bin"}) {
        if (fs::file_size(folder + name) < kilobytes * 1024) {
            std::fprintf(stderr, "%s is incomplete\n", name);
            return 1;
        }
    }
    std::printf(
        "xmodem: %zu KB, %.0f blocks over a pseudo-terminal pair, the wait before each "
        "ACK injected as zero\n",
        kilobytes, blocks);
    std::printf("  lrzsz sx -> rx      %8.1f us per block\n", reference / blocks * 1e6);
    std::printf("  sx -> ours          %8.1f us per block   ratio %.2f (goal at most 1.0)\n",
                receive / blocks * 1e6, receive / reference);
    std::printf("  ours -> rx          %8.1f us per block   ratio %.2f (goal at most 1.0)\n",
                send / blocks * 1e6, send / reference);
    std::printf(
        "  with the real 500 ms wait before each ACK, receiving this file takes at least "
        "%.0f minutes\n",
        blocks * 0.5 / 60);
    CaptureBench(folder, capture_megabytes);
    fs::remove_all(folder);
    return 0;
}
