// The server's first bytes come from anyone who answers on the port: the version-line reader
// and parser must take any bytes, in any chunks, without a crash, and agree with themselves.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ssh/ssh2_version.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the chunk size, so that every split is tried.
    const std::size_t chunk = (data[0] % 17) + 1;
    ++data;
    --size;
    tarnwick::VersionLineReader reader;
    std::size_t at = 0;
    tarnwick::VersionLineReader::Result result = tarnwick::VersionLineReader::Result::kNeedMore;
    while (at < size && result == tarnwick::VersionLineReader::Result::kNeedMore) {
        std::size_t n = size - at < chunk ? size - at : chunk;
        std::size_t used = 0;
        result = reader.Add(data + at, n, &used);
        if (used > n) std::abort();
        at += used;
    }
    if (result == tarnwick::VersionLineReader::Result::kFound) {
        const std::string& line = reader.line();
        if (line.compare(0, 4, "SSH-") != 0) std::abort();
        if (line.find('\n') != std::string::npos) std::abort();
        tarnwick::ServerVersion version;
        if (tarnwick::ParseVersionLine(line, &version)) {
            (void)tarnwick::VersionUsable(version);
            (void)tarnwick::QuirksFor(version.software);
            if (version.software.empty()) std::abort();
        }
    }
    return 0;
}
