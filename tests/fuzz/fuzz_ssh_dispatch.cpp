// The dispatcher after a completed key exchange: any sequence of packets a hostile server can
// send with valid keys (here fixed ones) must leave the layer sound: a status, a closed layer,
// or nothing at all, but no crash, hang or stray access.
//
// Input: records of a 2-byte length and a payload; each payload is framed with the fixed keys
// and the whole stream is delivered in chunks sized by the first byte.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "../ssh/ssh_test_access.h"
#include "core/session_config.h"
#include "crypto/random_generator.h"
#include "platform/scripted_ui.h"
#include "ssh/ssh2.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_framing.h"

namespace {

class Sink : public tarnwick::IO {
  public:
    Sink() : IO(tarnwick::kLayerTCPIP, "TCP/IP") {}
    int Open(tarnwick::SessionConfig*) override { return 0; }
    void Close() override {}
    int IsConnected() override { return 1; }
    int Send(const std::uint8_t*, int) override { return 0; }
    int Receive(const std::uint8_t*, int) override { return 2; }
    int Display(const std::uint8_t*, int) override { return 2; }
};

class Top : public tarnwick::IO {
  public:
    Top() : IO(tarnwick::kLayerCapture, "Top") {}
    void Close() override {}
    int Send(const std::uint8_t*, int) override { return 0; }
    int Receive(const std::uint8_t*, int) override { return 0; }
    int Display(const std::uint8_t*, int) override { return 0; }
};

const std::uint8_t kKey[32] = {7, 7, 7, 7, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const std::uint8_t kIv[16] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool once = [] {
        // Questions are answered No; the registry lives in a folder of its own.
        static tarnwick::ScriptedUi ui;
        char dir[] = "/tmp/fuzz_ssh_dispatchXXXXXX";
        if (mkdtemp(dir) != nullptr) setenv("TARNWICK_CONFIG_DIR", dir, 1);
        return true;
    }();
    (void)once;
    if (size < 2) return 0;
    const std::size_t chunk = (data[0] % 97) + 1;
    const bool interactive = (data[1] & 1) != 0;
    data += 2;
    size -= 2;

    tarnwick::SessionConfig config;
    config.SetNarrow(tarnwick::setting::hostname, "fuzz");
    config.SetNarrow(tarnwick::setting::username, "user");
    config.SetInt(tarnwick::setting::debug, 1);
    config.SetInt(tarnwick::setting::ssh2_want_interactive, interactive ? 1 : 0);
    config.SetInt(tarnwick::setting::ssh2_random_generator_percentage, 25);
    Top top;
    auto* ssh = new tarnwick::IO_SSH2();
    if (ssh->InsertBelow(new Sink()) != 0 || top.InsertBelow(ssh) != 0) std::abort();
    if (ssh->Open(&config) != 0) std::abort();
    tarnwick::SSH2TestAccess::AfterLogin(*ssh, tarnwick::MakeCipher(3, false, kKey, kIv),
                                         tarnwick::MakeMac(0, kKey), interactive);

    tarnwick::SSH2Framing sender;
    sender.SetOutgoing(tarnwick::MakeCipher(3, true, kKey, kIv), tarnwick::MakeMac(0, kKey));
    tarnwick::RandomGenerator random;
    std::string wire;
    std::size_t at = 0;
    while (at + 2 <= size) {
        std::size_t length = (static_cast<std::size_t>(data[at]) << 8) | data[at + 1];
        at += 2;
        if (length == 0 || length > size - at) length = size - at;
        if (length == 0) break;
        tarnwick::SSHPacket packet(static_cast<std::uint32_t>(length + 64));
        packet.beginPayload();
        packet.putBytes(data + at, static_cast<std::uint32_t>(length));
        packet.finish();
        at += length;
        if (sender.Seal(packet, random) != 0) break;
        wire.append(reinterpret_cast<const char*>(packet.data()), packet.size());
    }
    for (std::size_t off = 0; off < wire.size(); off += chunk) {
        std::size_t n = wire.size() - off < chunk ? wire.size() - off : chunk;
        if (ssh->Receive(reinterpret_cast<const std::uint8_t*>(wire.data()) + off,
                         static_cast<int>(n)) != 0) {
            break;
        }
    }
    (void)ssh->Pump();
    return 0;
}
