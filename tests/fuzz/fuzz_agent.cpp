// The forwarded agent's message loop, fed what a hostile server sends, in pieces. The first byte
// says how the user answers (allow once, allow for the session, refuse) and where the input is
// split; the key list holds one Ed25519 key (the seeds' requests name it) so that signing, adding
// and removing are reached. Every reply must be a well-formed framed message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/wire.h"
#include "platform/scripted_ui.h"
#include "ssh/private_keys.h"
#include "ssh/ssh2_agent.h"

namespace {

using namespace tarnwick;

void Check(bool condition) {
    if (!condition) std::abort();
}

// RFC 8032's first test key.
PrivateKey TestKey() {
    static const std::uint8_t seed[32] = {0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60,
                                          0xba, 0x84, 0x4a, 0xf4, 0x92, 0xec, 0x2c, 0xc4,
                                          0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32, 0x69, 0x19,
                                          0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
    static const std::uint8_t pub[32] = {0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7,
                                         0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
                                         0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25,
                                         0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
    PrivateKey key;
    key.type = kKeyEd25519;
    key.ed25519_seed.assign(seed, seed + 32);
    key.ed25519_public.assign(pub, pub + 32);
    key.comment = "fuzz";
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const int choice = data[0] % 3;
    ScriptedUi ui;  // records what is asked; each question gets the same answer
    for (std::size_t i = 0; i < size / 5 + 1; ++i)
        ui.QueueChoice(choice);
    const std::size_t split = data[0] / 3;
    PrivateKeyList::Instance().RemoveAll();
    PrivateKeyList::Instance().AddFromAgent(TestKey());

    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    AgentProtocol agent("fuzz.example");
    std::string replies;
    bool open = true;
    for (std::size_t at = 0; at < input.size() && open;) {
        const std::size_t piece = split == 0 ? input.size() : split;
        open = agent.Feed(input.substr(at, piece), &replies);
        at += piece;
    }
    WireReader in(replies);
    while (in.left() > 0) {
        const std::string_view reply = in.String();
        Check(!in.failed() && !reply.empty() && reply.size() <= agent::kMaxMessage);
    }
    return 0;
}
