// The toolkit-independent rules of the connection set-up: which kinds a new connection may be,
// their default and fall-back ports, how a port field is read, and the saved sessions the chooser
// offers. The console asks on the tty and the GUI in dialogs; both follow these rules.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

class SessionConfig;

struct ChooserKind {
    int kind;
    const char* text;  // "New SSH2 Connection", ...
};

// The kinds in the chooser's order.
const std::vector<ChooserKind>& ChooserKinds();

struct SavedSession {
    std::string name;  // the file name without ".tks"
    std::string path;
};

// Every "*.tks" file (not "DEFAULT_*") under the folders and their sub-folders, sorted by name
// without regard to case.
std::vector<SavedSession> FindSavedSessions(const std::vector<std::string>& folders);

// The port a kind's dialog starts with when there is no default file, and the one stored when the
// field holds no valid port.
int DefaultPort(int kind);
int FallbackPort(int kind);

// A port field: one unsigned decimal number from 1 to 65535, otherwise the fall-back.
int ParsePort(const std::string& text, int fallback);

// What the SSH2 dialog does first: every empty algorithm list gets the default order (ciphers
// Blowfish, AES 256, AES 192, AES 128, 3DES; MACs SHA1, MD5 with "None" disabled; host keys
// ssh-rsa, ssh-dss), with its disabled list to match.
void FillSsh2AlgorithmDefaults(SessionConfig& config);

}  // namespace tarnwick
