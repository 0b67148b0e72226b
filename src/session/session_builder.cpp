#include "session/session_builder.h"

#include "core/connection_kinds.h"
#include "core/session_config.h"
#include "ssh/ssh1.h"
#include "ssh/ssh2.h"
#include "telnet/telnet.h"
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

IO* BuildTelnet(SessionConfig& config) {
    // Telnet inside TLS needs the TLS layer, which this build does not have yet.
    if (config.GetInt(setting::enable_ssl) != 0) return nullptr;
    return OverTcp(new IO_Telnet());
}

IO* BuildSsh2(SessionConfig&) {
    return OverTcp(new IO_SSH2());
}

IO* BuildSsh1(SessionConfig&) {
    return OverTcp(new IO_SSH1());
}

struct ChainBuilder {
    int kind;
    IO* (*build)(SessionConfig& config);
};

constexpr ChainBuilder kBuilders[] = {
    {kKindSSH2, BuildSsh2},
    {kKindSSH1, BuildSsh1},
    {kKindTelnet, BuildTelnet},
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

}  // namespace tarnwick
