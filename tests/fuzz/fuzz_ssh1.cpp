// The SSH-1 packet receiver and dispatcher: whatever a hostile server sends must leave the layer
// sound: a status, a closed layer, or nothing at all, but no crash, hang or stray access.
//
// The first byte picks the chunk size the stream is delivered in, the second the starting point:
//   0  from the version exchange, in the clear (the key exchange and its checks);
//   1  after the key exchange, with records (a type byte, a 2-byte length, a payload) framed under
//      a fixed session key, from the state the third byte picks (the login and session steps);
//   2  after the key exchange, the rest taken as cipher text as it stands, with the CRC check
//      off, so that the attack detector and the dispatcher see every kind of garbage.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/session_config.h"
#include "crypto/random_generator.h"
#include "platform/scripted_ui.h"
#include "ssh/ssh1.h"
#include "ssh/ssh1_framing.h"
#include "ssh/ssh1_test_access.h"

namespace {

const std::uint8_t kKey[32] = {9, 8, 7, 6,  5,  4,  3,  2,  1,  0,  1,  2,  3,  4,  5,  6,
                               7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22};
const int kStates[] = {tarnwick::IO_SSH1::kSessionKeySent, tarnwick::IO_SSH1::kUserSent,
                       tarnwick::IO_SSH1::kPasswordSent, tarnwick::IO_SSH1::kPtyRequested,
                       tarnwick::IO_SSH1::kInteractive};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Questions are answered No and prompts cancelled; the registry lives in a folder of its own.
    static tarnwick::ScriptedUi ui;
    static bool once = [] {
        char dir[] = "/tmp/fuzz_ssh1XXXXXX";
        if (mkdtemp(dir) != nullptr) setenv("TARNWICK_CONFIG_DIR", dir, 1);
        return true;
    }();
    (void)once;
    // What the services were shown is forgotten after every input, so nothing builds up.
    struct Forget {
        ~Forget() { ui.Clear(); }
    } forget;
    if (size < 3) return 0;
    const std::size_t chunk = (data[0] % 97) + 1;
    const int mode = data[1] % 3;
    const int state = kStates[data[2] % 5];
    data += 3;
    size -= 3;

    tarnwick::SessionConfig config;
    config.SetNarrow(tarnwick::setting::hostname, "fuzz");
    config.SetNarrow(tarnwick::setting::username, "user");
    config.SetInt(tarnwick::setting::debug, 1);
    config.SetInt(tarnwick::setting::ssh_cipher, tarnwick::ssh1::kCipher3Des);
    config.SetInt(tarnwick::setting::ssh1_check_CRC, mode == 2 ? 0 : 1);
    // Everything that comes up or goes down is only recorded.
    tarnwick::testing::RecordingLayer top;
    auto* below = new tarnwick::testing::RecordingLayer(tarnwick::kLayerTCPIP, "TCP/IP");
    below->open_lower = false;
    auto* ssh = new tarnwick::IO_SSH1();
    if (ssh->InsertBelow(below) != 0 || top.InsertBelow(ssh) != 0) std::abort();
    if (ssh->Open(&config) != 0) std::abort();

    std::string wire;
    if (mode == 0) {
        wire = "SSH-1.5-fuzz\n";
        wire.append(reinterpret_cast<const char*>(data), size);
    } else {
        tarnwick::SSH1TestAccess::AfterKeyExchange(*ssh, tarnwick::ssh1::kCipher3Des, kKey, state);
        if (mode == 2) {
            wire.assign(reinterpret_cast<const char*>(data), size);
        } else {
            tarnwick::SSH1Framing sender;
            sender.SetOutgoing(tarnwick::ssh1::MakeCipher(tarnwick::ssh1::kCipher3Des, true, kKey));
            tarnwick::RandomGenerator random;
            std::size_t at = 0;
            while (at + 3 <= size) {
                const std::uint8_t type = data[at];
                std::size_t n = (static_cast<std::size_t>(data[at + 1]) << 8) | data[at + 2];
                at += 3;
                if (n > size - at) n = size - at;
                tarnwick::SSHPacket packet;
                packet.beginPayload();
                packet.putByte(type);
                packet.putBytes(data + at, static_cast<std::uint32_t>(n));
                packet.finish();
                at += n;
                if (sender.Seal(packet, random) != 0) std::abort();
                wire.append(reinterpret_cast<const char*>(packet.data()), packet.size());
            }
        }
    }
    for (std::size_t at = 0; at < wire.size(); at += chunk) {
        const std::size_t n = std::min(chunk, wire.size() - at);
        if (top.GetLower() == nullptr) break;
        if (ssh->Receive(reinterpret_cast<const std::uint8_t*>(wire.data()) + at,
                         static_cast<int>(n)) != 0) {
            break;
        }
    }
    return 0;
}
