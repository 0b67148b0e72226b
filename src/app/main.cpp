// The tarnwick program: the Qt desktop front end whenever a display is available, else (or with
// --console) the text front end in the terminal it was started from.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/console_app.h"
#include "console/host_terminal.h"
#include "ssh/key_files.h"
#if TARNWICK_WITH_QT
#include "ui/qt_app.h"
#endif

namespace {

// The build turns this same text into the manual page, so the two never disagree.
void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Tarnwick 2.06, a remote-terminal client\n"
                 "\n"
                 "usage: tarnwick [--console] [FILE.tks]\n"
                 "       tarnwick --version | --help\n"
                 "\n"
                 "  --console   use the text front end in this terminal\n"
                 "  FILE.tks    open and connect a saved session\n"
                 "\n"
                 "With a display (DISPLAY or WAYLAND_DISPLAY set) Tarnwick opens its window;\n"
                 "a second start hands its session file to the window already open.\n"
                 "Without one, or with --console, it runs in the terminal: press Ctrl-] and\n"
                 "then ? for the list of commands.\n"
                 "Settings live in $TARNWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/tarnwick,\n"
                 "else ~/.config/tarnwick.\n");
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

int RunConsole(const std::vector<std::string>& files) {
    tarnwick::HostTerminal tty;
    std::string error;
    if (!tty.Enter(error)) {
        std::fprintf(stderr, "tarnwick: the console front end needs a terminal: %s\n",
                     error.c_str());
        return 1;
    }
    int status;
    {
        tarnwick::ConsoleApp app(tty);
        status = app.Run(files);
    }
    tty.Restore();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    bool console = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", TARNWICK_VERSION_TEXT);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--console") == 0) {
            console = true;
            continue;
        }
        if (argv[i][0] == '-') {
            std::fprintf(stderr, "tarnwick: unknown option '%s'\n\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
        files.emplace_back(argv[i]);
    }
    // Both front ends log in with key files, so the loader is there before either starts.
    tarnwick::InstallKeyFileLoader();
#if TARNWICK_WITH_QT
    if (!console && HasDisplay()) {
        // Qt reads only its own options; ours have been taken out above.
        int qt_argc = 1;
        return tarnwick::RunQtApplication(qt_argc, argv, files);
    }
#else
    (void)console;
    (void)HasDisplay;
#endif
    return RunConsole(files);
}
