// What "scp -f" on the server sends is read by the header reader and the sink: any bytes, in any
// chunks, must leave at most one file behind, under a plain name inside the folder the sink was
// given, and no temporary file once the sink is gone.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "ssh/scp_header.h"
#include "ssh/scp_transfer.h"

namespace {

using tarnwick::fuzzing::Check;

class QuietPeer : public tarnwick::ScpPeer {
  public:
    void ToServer(std::string_view) override {}
    void Say(std::string_view line) override {
        Check(line.size() >= 2 && line.substr(line.size() - 2) == "\r\n");
    }
    bool AskReplace(const std::string&) override { return false; }
};

// One folder for every input, emptied after each and removed at the end.
char g_folder[] = "/tmp/fuzz-scp-XXXXXX";

const char* Folder() {
    static const bool made = [] {
        if (mkdtemp(g_folder) == nullptr) std::abort();
        std::atexit([] { rmdir(g_folder); });
        return true;
    }();
    (void)made;
    return g_folder;
}

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = (data[0] % 17) + 1;
    ++data;
    --size;

    // The header parser agrees with its own rules.
    tarnwick::ScpFileHeader header;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (tarnwick::ParseScpFileHeader(text, &header) == nullptr) {
        Check(header.size <= 0x7fffffffffffffffull && header.mode <= 07777);
    }

    const std::string folder = Folder();
    QuietPeer peer;
    {
        tarnwick::ScpSink sink(peer, {folder, "", "", false});
        sink.Start();
        for (std::size_t at = 0; at < size; at += chunk)
            sink.Feed(data + at, size - at < chunk ? size - at : chunk);
        sink.End();
    }
    const std::vector<std::string> left = Entries(folder);
    Check(left.size() <= 1);
    for (const std::string& name : left) {
        Check(tarnwick::ScpNameProblem(name) == nullptr && name.rfind(".tarnwick-scp-", 0) != 0);
        unlink((folder + "/" + name).c_str());
    }
    return 0;
}
