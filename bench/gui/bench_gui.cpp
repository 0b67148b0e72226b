// The desktop front end next to xterm on the same virtual X display (Xvfb), in one run:
//   (a) time until `cat FILE; touch DONE` has created DONE, for 50 MB of text lines and for 50 MB
//       of random cursor moves with colours. In xterm the command runs in xterm's own terminal
//       (80 x 24, the 6x9 misc-fixed font); in Tarnwick it is typed with X key events into a
//       Telnet session (80 x 24, the built-in 6 x 8 font) to busybox telnetd on 127.0.0.1, and
//       its time runs until nothing is left in the TCP queues between telnetd and the window;
//   (b) Tarnwick's resident set size with one idle session and with ten.
// Prints both times with their ratio, and the sizes.
//
//   bench_gui [--quick]     --quick: 10 MB files instead of 50 MB
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/test_util.h"
#include "support/x_display.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tarnwick::testing::ChildProcess;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

void WriteTextLines(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937 random(1);
    std::string line;
    std::size_t written = 0;
    for (std::size_t n = 0; written < bytes; ++n) {
        line = "line " + std::to_string(n) + ":";
        const std::size_t length = 20 + random() % 60;
        while (line.size() < length)
            line.push_back(static_cast<char>('a' + random() % 26));
        line += "\n";
        out << line;
        written += line.size();
    }
}

void WriteCursorMoves(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937 random(2);
    std::string chunk;
    std::size_t written = 0;
    while (written < bytes) {
        chunk = "\x1b[" + std::to_string(1 + random() % 24) + ";" +
                std::to_string(1 + random() % 80) + "H\x1b[" + std::to_string(30 + random() % 8) +
                ";" + std::to_string(40 + random() % 8) + "m";
        const std::size_t run = 1 + random() % 8;
        for (std::size_t i = 0; i < run; ++i)
            chunk.push_back(static_cast<char>('!' + random() % 94));
        out << chunk;
        written += chunk.size();
    }
    out << "\x1b[m\x1b[2J\x1b[H";
}

// Bytes queued in both directions of the TCP connections to port on this machine: once cat has
// ended, what is still on its way to the window.
long InFlightBytes(int port) {
    const std::string out =
        tarnwick::testing::RunCommand("ss -tnH '( sport = :" + std::to_string(port) +
                                      " or dport = :" + std::to_string(port) + " )' 2>/dev/null");
    long total = 0;
    std::size_t at = 0;
    while (at < out.size()) {
        std::size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        char state[32] = {};
        long receive = 0, send = 0;
        if (std::sscanf(out.c_str() + at, "%31s %ld %ld", state, &receive, &send) == 3) {
            total += receive + send;
        }
        at = end + 1;
    }
    return total;
}

long ResidentKilobytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::size_t size = (quick ? 10u : 50u) << 20;
    const std::string program = std::string(TARNWICK_BINARY_DIR) + "/bin/tarnwick";

    tarnwick::testing::Xvfb x;
    if (!x.Start()) {
        std::fprintf(stderr, "Xvfb (package xvfb) did not start\n");
        return 1;
    }
    tarnwick::testing::TempDir work;
    const std::string config = work.File("config");
    const std::string runtime = work.File("runtime");
    std::filesystem::create_directories(config);
    std::filesystem::create_directories(runtime);
    // A settings folder others could read is made private at start-up with a notice first.
    chmod(config.c_str(), 0700);
    chmod(runtime.c_str(), 0700);
    const std::string login = work.File("login.sh");
    tarnwick::testing::WriteFile(
        login, "#!/bin/sh\ncd '" + work.path() + "'\nPS1='$ ' TERM=vt100 exec /bin/sh\n");
    chmod(login.c_str(), 0755);
    tarnwick::testing::InetdTelnetServer server(login);
    const std::string session_file = work.File("bench.tks");
    tarnwick::testing::WriteFile(session_file,
                                 "IO_TELNET\r\nversion: 2\r\nhostname: 127.0.0.1\r\nportnum: " +
                                     std::to_string(server.port()) +
                                     "\r\nrows: 24\r\ncolumns: 80\r\nscrollback: 24\r\n");

    struct Stream {
        const char* name;
        std::string path;
    } streams[] = {{"text lines", work.File("lines.txt")},
                   {"cursor moves", work.File("moves.txt")}};
    WriteTextLines(streams[0].path, size);
    WriteCursorMoves(streams[1].path, size);

    // Tarnwick with one Telnet session.
    ChildProcess ours;
    ours.Start({"env", "DISPLAY=" + x.display(), "TARNWICK_CONFIG_DIR=" + config,
                "XDG_RUNTIME_DIR=" + runtime, program, session_file});
    const std::string window = x.WaitForWindow("Telnet: 127.0.0.1");
    if (window.empty()) {
        std::fprintf(stderr, "the Tarnwick window did not appear\n");
        return 1;
    }
    // Wait until the shell answers, then measure the idle size.
    const std::string ready = work.File("ready");
    x.Run("xdotool windowfocus --sync " + window);
    x.Run("xdotool type 'touch ready'");
    x.Run("xdotool key Return");
    if (!WaitUntil([&] { return std::filesystem::exists(ready); }, 10s)) {
        std::fprintf(stderr, "the Telnet session did not answer\n");
        return 1;
    }
    std::this_thread::sleep_for(1s);  // let the idle program settle before its size is read
    // env has become the program: its process is ours.
    const long rss_one = ResidentKilobytes(ours.pid());

    std::printf("%zu MB of       %12s %12s %8s\n", size >> 20, "xterm s", "Tarnwick s", "ratio");
    for (const Stream& stream : streams) {
        const std::string done_xterm = work.File("done-xterm");
        const std::string done_ours = work.File("done-ours");
        std::filesystem::remove(done_xterm);
        std::filesystem::remove(done_ours);
        // xterm: the command in its own terminal.
        const auto xterm_start = Clock::now();
        ChildProcess xterm;
        xterm.Start({"env", "DISPLAY=" + x.display(), "xterm", "-geometry", "80x24", "-fn", "6x9",
                     "-e", "sh", "-c", "cat '" + stream.path + "'; touch '" + done_xterm + "'"});
        const bool xterm_done =
            WaitUntil([&] { return std::filesystem::exists(done_xterm); }, 600s);
        const double xterm_seconds = Seconds(Clock::now() - xterm_start);
        xterm.Stop();

        // Tarnwick: typed into the session.
        x.Run("xdotool windowfocus --sync " + window);
        x.Run("xdotool type 'cat " + stream.path + "; touch " + done_ours + "'");
        const auto ours_start = Clock::now();
        x.Run("xdotool key Return");
        // DONE, and nothing left on its way between telnetd and the window.
        const bool ours_done = WaitUntil(
            [&] { return std::filesystem::exists(done_ours) && InFlightBytes(server.port()) == 0; },
            600s);
        const double ours_seconds = Seconds(Clock::now() - ours_start);
        std::printf("%-14s %12.2f %12.2f %8.2f%s\n", stream.name, xterm_seconds, ours_seconds,
                    xterm_seconds / ours_seconds, xterm_done && ours_done ? "" : "  (time-out)");
        std::fflush(stdout);
    }

    // Nine more idle sessions, handed over by later starts.
    for (int i = 0; i < 9; ++i) {
        ChildProcess later;
        later.Start({"env", "DISPLAY=" + x.display(), "TARNWICK_CONFIG_DIR=" + config,
                     "XDG_RUNTIME_DIR=" + runtime, program, session_file});
        WaitUntil([&] { return !later.Running(); }, 10s);
    }
    std::this_thread::sleep_for(2s);  // the sessions connect and settle
    const long rss_ten = ResidentKilobytes(ours.pid());
    std::printf(
        "\nresident set size: one idle session %.1f MB, ten %.1f MB (%.2f MB per further "
        "session)\n",
        rss_one / 1024.0, rss_ten / 1024.0, (rss_ten - rss_one) / 1024.0 / 9);
    std::printf("(ratio above 1: Tarnwick is faster than xterm)\n");
    ours.Stop();
    return 0;
}
