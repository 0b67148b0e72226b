// The tarnwick program.
#include <cstdio>
#include <cstring>
#include <string>

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Tarnwick 2.06, a remote-terminal client\n"
                 "\n"
                 "usage: tarnwick [--console] [FILE.tks | FILE.pky]\n"
                 "       tarnwick --version | --help\n"
                 "\n"
                 "  --console   use the text front end in this terminal\n"
                 "  FILE.tks    open and connect a saved session\n"
                 "  FILE.pky    import a private key\n"
                 "\n"
                 "Settings live in $TARNWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/tarnwick,\n"
                 "else ~/.config/tarnwick.\n");
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", TARNWICK_VERSION_TEXT);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
    }
    std::printf("Tarnwick %s\n", TARNWICK_VERSION_TEXT);
    PrintUsage(stdout);
    return 0;
}
