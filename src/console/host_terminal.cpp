#include "console/host_terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarnwick {

namespace {

// What a signal handler needs to put the terminal back; written before the handlers go in, read
// only by them.
struct RestoreState {
    volatile sig_atomic_t active = 0;
    int out_fd = 1;
    int in_fd = 0;
    termios saved{};
};
RestoreState g_restore;
int g_resize_pipe[2] = {-1, -1};

// Leave the alternate screen, reset colours and the cursor shape, show the cursor, leave the
// application keypad mode.
constexpr char kLeaveSequence[] = "\x1b[0m\x1b[0 q\x1b[?25h\x1b>\x1b[?1049l";
constexpr char kEnterSequence[] = "\x1b[?1049h\x1b[H\x1b[2J";

void RestoreFromSignal() {
    if (!g_restore.active) return;
    g_restore.active = 0;
    [[maybe_unused]] ssize_t n = write(g_restore.out_fd, kLeaveSequence, sizeof kLeaveSequence - 1);
    tcsetattr(g_restore.in_fd, TCSAFLUSH, &g_restore.saved);
}

void OnFatalSignal(int signal_number) {
    RestoreFromSignal();
    // Die the way the signal meant to, with the default action.
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void OnResize(int) {
    int saved_errno = errno;
    char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_resize_pipe[1], &byte, 1);
    errno = saved_errno;
}

constexpr int kFatalSignals[] = {SIGHUP,  SIGINT, SIGQUIT, SIGTERM, SIGABRT,
                                 SIGSEGV, SIGBUS, SIGFPE,  SIGILL};

}  // namespace

HostTerminal::HostTerminal() = default;

HostTerminal::~HostTerminal() {
    Restore();
}

bool HostTerminal::Enter(std::string& error) {
    if (!isatty(in_fd_) || !isatty(out_fd_)) {
        error = "standard input and output must be a terminal";
        return false;
    }
    if (tcgetattr(in_fd_, &saved_) != 0) {
        error = std::string("cannot read the terminal's settings: ") + std::strerror(errno);
        return false;
    }
    g_restore.out_fd = out_fd_;
    g_restore.in_fd = in_fd_;
    g_restore.saved = saved_;
    if (g_resize_pipe[0] < 0 && pipe2(g_resize_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }

    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (int s : kFatalSignals)
        sigaction(s, &action, nullptr);
    struct sigaction resize {};
    resize.sa_handler = OnResize;
    sigemptyset(&resize.sa_mask);
    resize.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &resize, nullptr);
    // A write to a closed connection is an error to handle, not a reason to die.
    ::signal(SIGPIPE, SIG_IGN);

    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(in_fd_, TCSAFLUSH, &raw) != 0) {
        error = std::string("cannot switch the terminal to raw mode: ") + std::strerror(errno);
        return false;
    }
    entered_ = true;
    g_restore.active = 1;
    Write(kEnterSequence);
    return true;
}

void HostTerminal::Restore() {
    if (!entered_) return;
    entered_ = false;
    g_restore.active = 0;
    Write(kLeaveSequence);
    tcsetattr(in_fd_, TCSAFLUSH, &saved_);
    for (int s : kFatalSignals)
        ::signal(s, SIG_DFL);
    ::signal(SIGWINCH, SIG_DFL);
}

void HostTerminal::Size(int& rows, int& columns) const {
    winsize size{};
    if (ioctl(out_fd_, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        rows = size.ws_row;
        columns = size.ws_col;
    } else {
        rows = 24;
        columns = 80;
    }
}

int HostTerminal::resize_fd() const {
    return g_resize_pipe[0];
}

bool HostTerminal::TakeResize() {
    bool resized = false;
    char buffer[64];
    while (g_resize_pipe[0] >= 0 && read(g_resize_pipe[0], buffer, sizeof buffer) > 0)
        resized = true;
    return resized;
}

void HostTerminal::Write(const std::string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(out_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the terminal went away; nothing sensible is left to do
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace tarnwick
