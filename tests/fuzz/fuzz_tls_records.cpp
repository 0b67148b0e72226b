// What a TLS server sends, in any pieces: the record layer with protection in force (both suites,
// fixed keys), and the client layer from its ClientHello on, fed raw or with each piece wrapped
// as a handshake record so that the handshake's parsers are reached. Nothing may crash, read
// outside the records or deliver data before a handshake that never completed.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/preferences.h"
#include "core/session_config.h"
#include "crypto/wire.h"
#include "fuzz/fuzz_util.h"
#include "ssl/ssl.h"
#include "ssl/ssl_record.h"
#include "support/recording_layer.h"

namespace {

using namespace tarnwick;
using fuzzing::Check;

void Records(const std::uint8_t* data, std::size_t size, bool triple) {
    const SSLCipherSuite& suite = *FindCipherSuite(triple ? kSuite3DesEdeCbcSha : kSuiteDesCbcSha);
    SecureBytes key_block(suite.key_block_size);
    for (std::size_t i = 0; i < key_block.size(); ++i)
        key_block[i] = static_cast<std::uint8_t>(i * 13 + 1);
    SSLCipherState state;
    Check(state.Activate(suite, key_block, false, false));
    SSLPacket packet;
    std::size_t at = 0;
    while (at < size) {
        std::size_t used = 0;
        const auto collected = packet.Take(data + at, size - at, kSSLMaxCiphertext, &used);
        Check(used <= size - at);
        at += used;
        if (collected == SSLPacket::Collect::kNeedMore) break;
        if (collected != SSLPacket::Collect::kComplete) break;
        const std::uint32_t before = packet.BodyLength();
        if (state.Open(packet)) Check(packet.BodyLength() + kSSLMacSize + 1 <= before);
        packet.Reset();
    }
}

void Client(const std::uint8_t* data, std::size_t size, bool wrap, std::size_t chunk) {
    static bool prepared = [] {
        // Known hosts and the certificate folder stay out of the user's files.
        char folder[] = "/tmp/tarnwick-fuzz-XXXXXX";
        if (mkdtemp(folder) != nullptr) setenv("TARNWICK_CONFIG_DIR", folder, 1);
        Preferences::Instance().SetWide(pref::CAPath, u"");
        return true;
    }();
    (void)prepared;
    SessionConfig config;
    config.SetNarrow(setting::hostname, "localhost");
    config.SetInt(setting::debug, static_cast<int>(size % 2));
    auto* top = new testing::RecordingLayer(kLayerVT, "VT");
    auto* ssl = new IO_SSL();
    auto* bottom = new testing::RecordingLayer(kLayerTCPIP, "TCP/IP");
    Check(ssl->InsertBelow(bottom) == 0 && top->InsertBelow(ssl) == 0);
    Check(ssl->Open(&config) == 0);
    std::size_t at = 0;
    int status = 0;
    while (at < size && status == 0) {
        const std::size_t n = size - at < chunk ? size - at : chunk;
        if (wrap) {
            std::string record;
            WireWriter(record)
                .Byte(kSSLHandshake)
                .Byte(3)
                .Byte(1)
                .String16(std::string_view(reinterpret_cast<const char*>(data + at), n));
            status = ssl->Receive(reinterpret_cast<const std::uint8_t*>(record.data()),
                                  static_cast<int>(record.size()));
        } else {
            status = ssl->Receive(data + at, static_cast<int>(n));
        }
        at += n;
    }
    // Without the server's Finished nothing is application data.
    Check(ssl->HandshakeComplete() || top->Received().empty());
    if (status != 0) Check(ssl->IsConnected() == 0);
    delete top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: what is fuzzed; second: the size of the pieces.
    const int mode = data[0] % 4;
    const std::size_t chunk = 1 + data[1] % 200;
    data += 2;
    size -= 2;
    if (mode < 2) {
        Records(data, size, mode == 1);
    } else {
        Client(data, size, mode == 3, chunk);
    }
    return 0;
}
