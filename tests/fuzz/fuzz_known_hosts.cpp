// The user's ~/.ssh/known_hosts is read on every SSH2 connection; whatever another program (or a
// careless edit) left in it must give an answer quickly, never a crash: hashed names with broken
// base64, patterns full of stars, lines without keys, markers, lines of any length.
//
// Input: byte 0 the port (0, 22 or another), byte 1 how many bytes of the rest are the host name;
// then the host name and the file's text. The presented key is a fixed Ed25519 blob.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/known_hosts.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const int kPorts[] = {0, 22, 2222};
    const int port = kPorts[data[0] % 3];
    const std::size_t host_length = std::min<std::size_t>(data[1] % 64, size - 2);
    const std::string host(reinterpret_cast<const char*>(data + 2), host_length);
    const std::string_view text(reinterpret_cast<const char*>(data + 2 + host_length),
                                size - 2 - host_length);
    static const std::uint8_t kBlob[51] = {0,   0,   0,   11,  's', 's', 'h', '-', 'e',
                                           'd', '2', '5', '5', '1', '9', 0,   0,   0,
                                           32,  1,   2,   3,   4,   5,   6};
    const tarnwick::OpenSshKnownHost found =
        tarnwick::LookUpOpenSshKnownHosts(text, host, port, "ssh-ed25519", kBlob, sizeof kBlob);
    // A decision names the line that made it, and that line is in the text.
    if (found.result != tarnwick::OpenSshKnownHost::kNotListed) {
        tarnwick::fuzzing::Check(found.line >= 1);
        tarnwick::fuzzing::Check(static_cast<std::size_t>(found.line) <= text.size());
    }
    return 0;
}
