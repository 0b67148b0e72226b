#include "core/connection_kinds.h"

namespace tarnwick {

namespace {

// Kind, file line, default file, title prefix, chooser text, default port, fall-back port,
// default listening port.
constexpr ConnectionKind kKinds[] = {
    {kKindSSH1, "IO_SSH1", "DEFAULT_SSH1.tks", u"SSH1: ", "New SSH1 Connection", 22, 22, 0},
    {kKindSSH2, "IO_SSH2", "DEFAULT_SSH2.tks", u"SSH2: ", "New SSH2 Connection", 22, 22, 0},
    {kKindSSL, "IO_SSL", "DEFAULT_SSL.tks", u"SSL: ", "New SSL Connection", 443, 443, 0},
    {kKindSSLPortForward, "IO_SSLPORTFW", "DEFAULT_SSLPF.tks", u"SSLPF: ",
     "New PortForward SSL Connection", 443, 443, 443},
    {kKindSTARTTLSProxy, "IO_STARTTLSPROXY", "DEFAULT_STARTTLS.tks", u"STARTTLS: ",
     "New STARTTLS Proxy", 25, 443, 0},
    {kKindTelnet, "IO_TELNET", "DEFAULT_TELNET.tks", u"Telnet: ", "New Telnet Connection", 23, 23,
     0},
    {kKindSerial, "IO_SERIAL", "DEFAULT_SERIAL.tks", u"Serial: ", "New Serial Connection", 0, 0, 0},
};

}  // namespace

std::span<const ConnectionKind> ConnectionKinds() {
    return kKinds;
}

const ConnectionKind* FindConnectionKind(int kind) {
    for (const ConnectionKind& row : kKinds) {
        if (row.kind == kind) return &row;
    }
    return nullptr;
}

const ConnectionKind* FindConnectionKindByLine(std::string_view line) {
    for (const ConnectionKind& row : kKinds) {
        if (line == row.file_line) return &row;
    }
    return nullptr;
}

}  // namespace tarnwick
