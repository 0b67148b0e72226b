#include "session/session_builder.h"

#include "core/connection_kinds.h"
#include "core/session_config.h"
#include "ssh/ssh1.h"
#include "ssh/ssh2.h"
#include "ssl/ssl.h"
#include "ssl/starttls_proxy.h"
#include "telnet/telnet.h"
#include "transport/serial.h"
#include "transport/socket_listener.h"
#include "transport/socket_worker.h"
#include "transport/tcpip.h"

namespace tarnwick {

namespace {

// A protocol layer with a TCP/IP transport below it. Without its transport the protocol layer's
// Open fails and the session says so.
IO* OverTcp(IO* protocol) {
    auto* transport = new IO_TCPIP();
    if (protocol->InsertBelow(transport) != status::kOk) delete transport;
    return protocol;
}

// A layer with the chain below linked under it.
IO* Above(IO* layer, IO* below) {
    if (layer->InsertBelow(below) != status::kOk) delete below;
    return layer;
}

IO* BuildTelnet(SessionConfig& config) {
    if (config.GetInt(setting::enable_ssl) != 0) {
        return Above(new IO_Telnet(), OverTcp(new IO_SSL()));
    }
    return OverTcp(new IO_Telnet());
}

IO* BuildSsh2(SessionConfig&) {
    return OverTcp(new IO_SSH2());
}

IO* BuildSerial(SessionConfig&) {
    return new IO_Serial();
}

IO* BuildSsh1(SessionConfig&) {
    return OverTcp(new IO_SSH1());
}

IO* BuildSsl(SessionConfig&) {
    return OverTcp(new IO_SSL());
}

// The listener keeps the chain below only as the pattern for each accepted connection's chain.
IO* BuildSslPortForward(SessionConfig&) {
    return Above(new IO_SocketListener(), OverTcp(new IO_SSL()));
}

IO* BuildStartTlsProxy(SessionConfig&) {
    return Above(new IO_SocketListener(), OverTcp(new IO_STARTTLSProxy()));
}

struct ChainBuilder {
    int kind;
    IO* (*build)(SessionConfig& config);
};

constexpr ChainBuilder kBuilders[] = {
    {kKindSSH2, BuildSsh2},
    {kKindSSH1, BuildSsh1},
    {kKindSerial, BuildSerial},
    {kKindTelnet, BuildTelnet},
    {kKindSSL, BuildSsl},
    {kKindSSLPortForward, BuildSslPortForward},
    {kKindSTARTTLSProxy, BuildStartTlsProxy},
};

const ChainBuilder* FindBuilder(int kind) {
    for (const ChainBuilder& builder : kBuilders) {
        if (builder.kind == kind) return &builder;
    }
    return nullptr;
}

}  // namespace

bool CanBuildChain(int kind) {
    return FindBuilder(kind) != nullptr;
}

IO* BuildChain(SessionConfig& config) {
    const ChainBuilder* builder = FindBuilder(config.GetInt(setting::session_kind));
    return builder != nullptr ? builder->build(config) : nullptr;
}

bool CanBuildTemplate(std::span<const int> layer_types) {
    for (int type : layer_types) {
        switch (type) {
            case kLayerTCPIP:
            case kLayerTelnet:
            case kLayerSSH1:
            case kLayerSSH2:
            case kLayerSSL:
            case kLayerVT:
            case kLayerCapture:
            case kLayerSendAscii:
            case kLayerReceiveXmodem:
            case kLayerSendXmodem:
            case kLayerSocketListener:
            case kLayerSocketWorker:
            case kLayerSTARTTLSProxy:
                break;
            default:
                return false;  // a serial line cannot be forwarded to, nor can anything unknown
        }
    }
    return true;
}

IO* MakeTemplateLayer(int layer_type, int socket) {
    switch (layer_type) {
        case kLayerTCPIP:
            return new IO_TCPIP();
        case kLayerTelnet:
            return new IO_Telnet();
        case kLayerSSH1:
            return new IO_SSH1();
        case kLayerSSH2:
            return new IO_SSH2();
        case kLayerSSL:
            return new IO_SSL();
        case kLayerSocketListener:
        case kLayerSocketWorker:
            return new IO_SocketWorker(socket);
        case kLayerSTARTTLSProxy:
            return new IO_STARTTLSProxy();
        default:
            return nullptr;  // the terminal, transfer filters
    }
}

}  // namespace tarnwick
