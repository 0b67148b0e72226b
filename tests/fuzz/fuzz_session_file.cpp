// Session files come from anywhere (mail, downloads): the loader must take any bytes without a
// crash, and whatever it accepts must save and load back to the same file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/session_config.h"
#include "platform/scripted_ui.h"

namespace {

std::string PathOf(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool WriteAll(int fd, const std::string& bytes) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool AllLinesFit(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end - start > 255) return false;
        start = end + 2;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int fd = memfd_create("session", 0);
    static tarnwick::ScriptedUi* ui = new tarnwick::ScriptedUi();
    if (fd < 0) std::abort();
    ui->Clear();
    ui->QueueYesNo(size % 2 == 0);
    if (!WriteAll(fd, std::string(reinterpret_cast<const char*>(data), size))) std::abort();

    tarnwick::SessionConfig first;
    if (!first.LoadFromPath(PathOf(fd), true)) return 0;
    const std::string saved = first.Serialize();
    if (!AllLinesFit(saved)) return 0;  // values longer than a line cannot come back whole

    ui->Clear();
    if (!WriteAll(fd, saved)) std::abort();
    tarnwick::SessionConfig second;
    if (!second.LoadFromPath(PathOf(fd), true)) {
        std::fprintf(stderr, "saved file does not load again:\n%s\n", saved.c_str());
        std::abort();
    }
    if (second.Serialize() != saved) {
        std::fprintf(stderr, "save and load are not stable:\n%s\n---\n%s\n", saved.c_str(),
                     second.Serialize().c_str());
        std::abort();
    }
    return 0;
}
