// Whatever a Telnet peer sends, in whatever pieces: no crash, every answer is a well-formed
// command, and no data byte appears from nowhere.
#include <cstdint>
#include <cstdlib>

#include "core/session_config.h"
#include "support/recording_layer.h"
#include "telnet/telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnwick::SessionConfig config;
    auto* top = new tarnwick::testing::RecordingLayer(tarnwick::kLayerCapture, "Top");
    auto* telnet = new tarnwick::IO_Telnet();
    auto* bottom = new tarnwick::testing::RecordingLayer(tarnwick::kLayerTCPIP, "TCP/IP");
    if (telnet->InsertBelow(bottom) != 0 || top->InsertBelow(telnet) != 0) std::abort();
    if (telnet->Open(&config) != 0) std::abort();
    config.SetInt(tarnwick::setting::debug, size % 2);
    // Cut the input into pieces whose sizes come from the input itself.
    std::size_t at = 0;
    while (at < size) {
        std::size_t piece = 1 + data[at] % 64;
        if (piece > size - at) piece = size - at;
        telnet->Receive(data + at, static_cast<int>(piece));
        at += piece;
    }
    if (top->Received().size() > size) std::abort();
    // Every reply starts with IAC.
    const std::string sent = bottom->Sent();
    if (!sent.empty() && static_cast<std::uint8_t>(sent[0]) != 255) std::abort();
    delete top;
    return 0;
}
