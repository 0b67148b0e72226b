// Known hosts: the public host keys the user has accepted, one registry key per key space and
// algorithm ("Software\Halvek\Tarnwick\ssh_known_hosts\<space>\<algorithm>"), one binary value
// per stored key named by the host name as the user typed it. A host's second key is stored
// under the name followed by "~", the third with "~~", and so on.
//
// HostKeyCheck is the dialogue the transports run when a server presents its key. For SSH2 it also
// consults the keys the user already trusts in OpenSSH's ~/.ssh/known_hosts (read only: new keys
// are saved in our own store).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Key spaces.
enum KnownHostSpace : int { kSpaceSSL = 0, kSpaceSSH1 = 1, kSpaceSSH2 = 2 };

// The MD5 fingerprint of a key blob: 16 lower-case hex pairs joined by ":" (47 characters).
std::string Fingerprint(const std::uint8_t* blob, std::size_t length);
// The SHA-256 fingerprint as "ssh-keygen -l" prints it: "SHA256:" and the base64 of the digest
// without its padding.
std::string FingerprintSha256(const std::uint8_t* blob, std::size_t length);

struct KnownHostEntry {
    std::string name;  // the value name: host, host~, host~~, ...
    std::string fingerprint;
};

class CKnownHosts {
  public:
    enum CheckResult : int { kKnown = 0, kUnknown = 1, kChanged = 2 };

    // A store opened only to list, delete or import.
    CKnownHosts(int space, const std::string& algorithm);
    // A store opened to check the key a server presented for host. The blob is borrowed.
    CKnownHosts(int space, const std::string& algorithm, const std::string& host,
                const std::uint8_t* blob, std::size_t length);
    CKnownHosts(const CKnownHosts&) = delete;
    CKnownHosts& operator=(const CKnownHosts&) = delete;

    static std::string KeyPath(int space, const std::string& algorithm);

    // kKnown when a stored value of the host holds exactly the presented blob, kUnknown when the
    // host has no stored value, kChanged when it has some and none matches. Counts the host's
    // values and remembers the name of the last one.
    int Check();
    int HostValueCount() const { return count_; }
    // Stores the blob under the first free name of the host. False (after telling the user)
    // when the store cannot be written.
    bool Add();
    // Overwrites the last value of the host that Check found with the blob.
    bool Replace();
    // Deletes the value named exactly by the host name.
    bool Remove();
    // Deletes the last value of the host that Check found.
    bool RemoveLast();
    // Every stored value of this space and algorithm with its fingerprint.
    std::vector<KnownHostEntry> List();
    // The stored data of a value; empty when there is none.
    std::vector<std::uint8_t> Data(const std::string& value_name);
    bool IsOpen() const { return open_; }

  private:
    bool Open();
    bool Belongs(const std::string& name) const;

    int space_;
    std::string algorithm_;
    std::string host_;
    const std::uint8_t* blob_ = nullptr;
    std::size_t length_ = 0;
    std::string path_;
    bool open_ = false;
    int count_ = 0;
    std::string last_name_;
};

// The key types (algorithm names) under which the host has keys stored in the key space.
std::vector<std::string> StoredKeyTypes(int space, const std::string& host);

// What OpenSSH's known_hosts file says about a key a server presented.
struct OpenSshKnownHost {
    enum Result { kNotListed, kKnown, kChanged, kRevoked };
    Result result = kNotListed;
    int line = 0;                    // the line that decided (1 is the first)
    std::vector<std::string> types;  // the key types the file lists for the host
};

// Looks up host (as the user typed it; "[host]:port" unless port is 0 or 22) in the text of a
// known_hosts file: plain and hashed ("|1|salt|hash") names, patterns with "*", "?" and "!",
// "@revoked" lines. A listed key equal to blob is known (unless it is revoked); another key
// for the host, of whatever type, makes the key changed: a host is one host, and the type is
// the server's choice. "@cert-authority" lines are not used. type is the presented key's type.
OpenSshKnownHost LookUpOpenSshKnownHosts(std::string_view text, const std::string& host, int port,
                                         const std::string& type, const std::uint8_t* blob,
                                         std::size_t length);
// The user's file: $HOME/.ssh/known_hosts.
std::string OpenSshKnownHostsPath();

// The key types the host is known with: our store's, and for SSH2 those of OpenSSH's file.
std::vector<std::string> KnownKeyTypes(int space, const std::string& host, int port);

// The host-key dialogue: accepts a known key; asks before saving an unknown one; for a changed
// key offers Add, Overwrite (only with exactly one stored key) or Reject, or refuses at once when
// strict checking is on. True to go on with the connection.
//
// Keys are stored per type, but a host is one host: a key of a type the host has never shown,
// from a host whose key of another type is stored, is a changed key too. Otherwise whoever sits
// in the middle would only need to offer another type to get the mild question of a new host.
// Overwrite then replaces the one stored key of the other type.
//
// For SSH2 (with the session's port), a key listed in ~/.ssh/known_hosts is accepted without a
// question, one listed as revoked is refused, and a host listed there with other keys has a
// changed key.
bool HostKeyCheck(int protocol, const std::string& algorithm, const std::string& host,
                  const std::uint8_t* blob, std::size_t length, bool strict, int port = 0);

}  // namespace tarnwick
