// Throughput of our VT100 (screen model and memory display) against libvterm's screen layer
// with a scroll-back callback, on the same inputs in one run. Prints MB/s for both and the ratio.
//
//   bench_terminal [--quick]
//
// Inputs, each at 80x24 and 200x60:
//   (a) 80-column text lines, scroll-back 24 and 10000;
//   (b) "y" CR LF repeated (pure scrolling), on the whole screen and in a half-screen region;
//   (c) a dense stream where every cell gets its own colour and attribute change;
//   (d) a cursor address before every cell.
// Both terminals get the input in 4 KB writes. libvterm runs without a damage callback, its
// cheapest configuration; ours keeps its display image up to date.
#include <vterm.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "terminal/memory_display.h"
#include "terminal/vt100.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kChunk = 4096;

std::string TextLines(std::size_t bytes, int width) {
    std::mt19937 rng(7);
    std::string out;
    out.reserve(bytes + 256);
    while (out.size() < bytes) {
        for (int i = 0; i < width; ++i) {
            const int r = static_cast<int>(rng() % 100);
            out.push_back(r < 15 ? ' ' : static_cast<char>('!' + rng() % 94));
        }
        out += "\r\n";
    }
    return out;
}

std::string Scrolling(std::size_t bytes, int rows, bool region) {
    std::string out;
    if (region) {
        const int top = rows / 4 + 1;
        const int bottom = top + rows / 2 - 1;
        out = "\x1b[" + std::to_string(top) + ";" + std::to_string(bottom) + "r\x1b[" +
              std::to_string(bottom) + ";1H";
    }
    while (out.size() < bytes)
        out += "y\r\n";
    return out;
}

std::string DenseAttributes(std::size_t bytes) {
    std::mt19937 rng(11);
    static const char* kAttributes[] = {"0", "1", "4", "5", "7", "1;4", "0;7"};
    std::string out;
    while (out.size() < bytes) {
        out += "\x1b[";
        out += kAttributes[rng() % 7];
        out += ";3";
        out += static_cast<char>('0' + rng() % 8);
        out += ";4";
        out += static_cast<char>('0' + rng() % 8);
        out += 'm';
        out += static_cast<char>('!' + rng() % 94);
    }
    return out;
}

std::string Addressing(std::size_t bytes, int rows, int columns) {
    std::mt19937 rng(13);
    std::string out;
    while (out.size() < bytes) {
        out += "\x1b[" + std::to_string(1 + rng() % static_cast<unsigned>(rows)) + ";" +
               std::to_string(1 + rng() % static_cast<unsigned>(columns)) + "H";
        out += static_cast<char>('!' + rng() % 94);
    }
    return out;
}

double Ours(const std::string& input, int rows, int columns, int scrollback, std::string* screen) {
    tarnwick::TerminalSettings settings;
    settings.rows = rows;
    settings.columns = columns;
    settings.scrollback = scrollback;
    settings.visual_bell = false;
    tarnwick::MemoryDisplay display;
    tarnwick::VT100 vt(&display, settings);
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    const auto start = Clock::now();
    for (std::size_t at = 0; at < input.size(); at += kChunk) {
        vt.Receive(data + at, static_cast<int>(std::min(kChunk, input.size() - at)));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (screen) {
        screen->clear();
        for (int r = 0; r < rows; ++r)
            *screen += vt.ScreenLine(r) + "\n";
    }
    return seconds;
}

// libvterm's scroll-back: the lines it pushes are copied into a ring, as a terminal keeps them.
struct Scrollback {
    int capacity = 0;
    int columns = 0;
    int next = 0;
    std::vector<VTermScreenCell> cells;
};

int PushLine(int cols, const VTermScreenCell* cells, void* user) {
    auto* sb = static_cast<Scrollback*>(user);
    if (sb->capacity == 0) return 1;
    const int n = std::min(cols, sb->columns);
    std::memcpy(
        &sb->cells[static_cast<std::size_t>(sb->next) * static_cast<std::size_t>(sb->columns)],
        cells, static_cast<std::size_t>(n) * sizeof(VTermScreenCell));
    sb->next = (sb->next + 1) % sb->capacity;
    return 1;
}

double Reference(const std::string& input, int rows, int columns, int scrollback,
                 std::string* screen) {
    VTerm* vt = vterm_new(rows, columns);
    vterm_set_utf8(vt, 0);
    VTermScreen* vs = vterm_obtain_screen(vt);
    Scrollback sb;
    sb.capacity = scrollback;
    sb.columns = columns;
    sb.cells.resize(static_cast<std::size_t>(scrollback) * static_cast<std::size_t>(columns));
    VTermScreenCallbacks callbacks{};
    callbacks.sb_pushline = PushLine;
    vterm_screen_set_callbacks(vs, &callbacks, &sb);
    vterm_screen_reset(vs, 1);
    const auto start = Clock::now();
    for (std::size_t at = 0; at < input.size(); at += kChunk) {
        vterm_input_write(vt, input.data() + at, std::min(kChunk, input.size() - at));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (screen) {
        screen->clear();
        for (int r = 0; r < rows; ++r) {
            std::string line;
            for (int c = 0; c < columns; ++c) {
                VTermScreenCell cell;
                vterm_screen_get_cell(vs, VTermPos{r, c}, &cell);
                line.push_back(cell.chars[0] ? static_cast<char>(cell.chars[0]) : ' ');
            }
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            *screen += line + "\n";
        }
    }
    vterm_free(vt);
    return seconds;
}

struct Result {
    double ours_mbs;
    double theirs_mbs;
};

Result Measure(const char* name, const std::string& input, int rows, int columns, int scrollback,
               int repeats) {
    double ours = 1e9;
    double theirs = 1e9;
    std::string ours_screen, theirs_screen;
    for (int i = 0; i < repeats; ++i) {
        ours = std::min(ours, Ours(input, rows, columns, scrollback, &ours_screen));
        theirs = std::min(theirs, Reference(input, rows, columns, scrollback, &theirs_screen));
    }
    const double mb = static_cast<double>(input.size()) / 1e6;
    Result r{mb / ours, mb / theirs};
    std::printf("| %-34s | %3dx%-3d | %6d | %9.1f | %10.1f | %7.1fx |%s\n", name, columns, rows,
                scrollback, r.ours_mbs, r.theirs_mbs, r.ours_mbs / r.theirs_mbs,
                ours_screen == theirs_screen ? "" : " screens differ!");
    std::fflush(stdout);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const std::size_t text_bytes = quick ? 4u << 20 : 32u << 20;
    const std::size_t other_bytes = quick ? 2u << 20 : 8u << 20;
    const int repeats = quick ? 1 : 3;

    std::printf("| %-34s | %-7s | %-6s | %-8s | %-8s | %-8s |\n", "input", "size", "sb",
                "ours MB/s", "vterm MB/s", "ratio");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(9, '-').c_str(),
                std::string(8, '-').c_str(), std::string(11, '-').c_str(),
                std::string(12, '-').c_str(), std::string(10, '-').c_str());
    const std::string text = TextLines(text_bytes, 80);
    const std::string dense = DenseAttributes(other_bytes);
    struct Size {
        int rows, columns;
    };
    for (Size size : {Size{24, 80}, Size{60, 200}}) {
        const Result a24 = Measure("(a) text lines", text, size.rows, size.columns, 24, repeats);
        const Result a10k =
            Measure("(a) text lines", text, size.rows, size.columns, 10000, repeats);
        std::printf("|   scroll-back 10000 vs 24: %.0f%% of the throughput\n",
                    100.0 * a10k.ours_mbs / a24.ours_mbs);
        Measure("(b) y CR LF, whole screen", Scrolling(other_bytes, size.rows, false), size.rows,
                size.columns, 24, repeats);
        Measure("(b) y CR LF, half-screen region", Scrolling(other_bytes, size.rows, true),
                size.rows, size.columns, 24, repeats);
        Measure("(c) colour and attribute per cell", dense, size.rows, size.columns, 24, repeats);
        Measure("(d) cursor address per cell", Addressing(other_bytes, size.rows, size.columns),
                size.rows, size.columns, 24, repeats);
    }
    return 0;
}
