// The tarnwick program: the console front end (the GUI comes later and will be chosen when a
// display is available).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/console_app.h"
#include "console/host_terminal.h"

namespace {

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
                 "In the console, press Ctrl-] and then ? for the list of commands.\n"
                 "Settings live in $TARNWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/tarnwick,\n"
                 "else ~/.config/tarnwick.\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", TARNWICK_VERSION_TEXT);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--console") == 0) continue;
        if (argv[i][0] == '-') {
            std::fprintf(stderr, "tarnwick: unknown option '%s'\n\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
        files.emplace_back(argv[i]);
    }

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
