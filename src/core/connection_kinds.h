// The connection kinds a session can be (its session_kind) and the facts that the layers above
// the protocols need about each: the first line of its session files and the name of its default
// file, the prefix of its sessions' titles, its entry in the "New Connection" chooser, and the
// ports its dialog starts with. One row per kind; the chain of layers each kind is built from is
// in the session builder (src/session), and its dialog's fields in src/frontend.
#pragma once

#include <span>
#include <string_view>

namespace tarnwick {

// Connection kinds (session_kind).
enum SessionKind : int {
    kKindNone = 0,
    kKindSSH2 = 2,
    kKindSSH1 = 3,
    kKindSerial = 4,
    kKindTelnet = 5,
    kKindSSL = 6,
    kKindSSLPortForward = 7,
    kKindSTARTTLSProxy = 8,
};

struct ConnectionKind {
    int kind;
    const char* file_line;         // the first line of a session file: "IO_SSH2"
    const char* default_file;      // in the settings folder: "DEFAULT_SSH2.tks"
    const char16_t* title_prefix;  // "SSH2: "
    const char* chooser_text;      // "New SSH2 Connection"
    int default_port;              // the dialog's port when there is no default file
    int fallback_port;             // stored when a port field holds no valid port
    int default_listen_port;       // the listening port without a default file (0: unset)
};

// Every kind, in the chooser's order.
std::span<const ConnectionKind> ConnectionKinds();
// The row of a kind, or nullptr for kKindNone and unknown numbers.
const ConnectionKind* FindConnectionKind(int kind);
// The row whose session-file line is line, or nullptr.
const ConnectionKind* FindConnectionKindByLine(std::string_view line);

}  // namespace tarnwick
