#include "core/known_hosts.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "crypto/base64.h"
#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/secure.h"
#include "crypto/sha2.h"
#include "platform/registry.h"
#include "platform/user_interface.h"

namespace tarnwick {

namespace {

constexpr const char* kRoot = "Software\\Halvek\\Tarnwick\\ssh_known_hosts";
constexpr std::size_t kMaxValueName = 4095;
// More of ~/.ssh/known_hosts than this is not read.
constexpr std::size_t kMaxOpenSshFile = 64u << 20;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = Lower(c);
    return out;
}

// Shell-style matching as OpenSSH does it for host patterns: "*" any run, "?" any one character,
// letters without regard to case. Backtracks only to the last "*", so it takes at most
// len(name) * len(pattern) steps whatever the input.
bool Glob(std::string_view name, std::string_view pattern) {
    std::size_t n = 0, p = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Lower(pattern[p]) == Lower(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// "|1|salt|hash": HMAC-SHA1 of the name under the salt.
bool HashedNameMatches(std::string_view field, std::string_view name) {
    if (field.substr(0, 3) != "|1|") return false;
    field.remove_prefix(3);
    const std::size_t bar = field.find('|');
    if (bar == std::string_view::npos) return false;
    std::string salt, hash;
    if (!Base64Decode(field.substr(0, bar), &salt) || !Base64Decode(field.substr(bar + 1), &hash) ||
        hash.size() != 20) {
        return false;
    }
    std::uint8_t mac[20];
    HmacSha1(reinterpret_cast<const std::uint8_t*>(name.data()), name.size(),
             reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size(), mac);
    return ConstantTimeEqual(mac, hash.data(), sizeof mac) != 0;
}

// Whether the hosts field of a line names the host: a hashed name, or patterns of which one
// matches and none that is negated with "!" does.
bool HostsFieldMatches(std::string_view field, const std::string& name) {
    if (field.substr(0, 1) == "|") return HashedNameMatches(field, name);
    bool matched = false;
    std::size_t start = 0;
    while (start <= field.size()) {
        std::size_t comma = field.find(',', start);
        if (comma == std::string_view::npos) comma = field.size();
        std::string_view pattern = field.substr(start, comma - start);
        start = comma + 1;
        if (pattern.empty()) continue;
        const bool negated = pattern[0] == '!';
        if (negated) pattern.remove_prefix(1);
        if (!Glob(name, pattern)) continue;
        if (negated) return false;
        matched = true;
    }
    return matched;
}

// The next blank-separated field of a line.
std::string_view NextField(std::string_view& line) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        line = {};
        return {};
    }
    std::size_t end = line.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = line.size();
    std::string_view field = line.substr(start, end - start);
    line.remove_prefix(end);
    return field;
}

std::string ReadOpenSshKnownHosts() {
    const std::string path = OpenSshKnownHostsPath();
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    std::string text;
    char buffer[65536];
    while (in && text.size() < kMaxOpenSshFile) {
        in.read(buffer, sizeof buffer);
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

}  // namespace

std::string OpenSshKnownHostsPath() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') return {};
    return std::string(home) + "/.ssh/known_hosts";
}

OpenSshKnownHost LookUpOpenSshKnownHosts(std::string_view text, const std::string& host, int port,
                                         const std::string& type, const std::uint8_t* blob,
                                         std::size_t length) {
    OpenSshKnownHost found;
    // OpenSSH writes names in lower case, with the port in brackets unless it is 22.
    const std::string name =
        port == 0 || port == 22 ? Lowered(host) : "[" + Lowered(host) + "]:" + std::to_string(port);
    const std::string_view presented(reinterpret_cast<const char*>(blob), length);
    int number = 0;
    int changed_line = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view field = NextField(line);
        if (field.empty() || field[0] == '#') continue;
        bool revoked = false;
        if (field[0] == '@') {
            if (field != "@revoked") continue;  // "@cert-authority": certificates are not used
            revoked = true;
            field = NextField(line);
        }
        if (!HostsFieldMatches(field, name)) continue;
        const std::string_view key_type = NextField(line);
        std::string key;
        if (key_type.empty() || !Base64Decode(NextField(line), &key)) continue;
        const bool same = key == presented;
        if (revoked) {
            if (same) {
                found.result = OpenSshKnownHost::kRevoked;
                found.line = number;
                return found;
            }
            continue;
        }
        if (std::find(found.types.begin(), found.types.end(), key_type) == found.types.end()) {
            found.types.emplace_back(key_type);
        }
        if (same && key_type == type) {
            found.result = OpenSshKnownHost::kKnown;
            found.line = number;
        } else if (changed_line == 0) {
            changed_line = number;
        }
    }
    if (found.result == OpenSshKnownHost::kNotListed && changed_line != 0) {
        found.result = OpenSshKnownHost::kChanged;
        found.line = changed_line;
    }
    return found;
}

std::string Fingerprint(const std::uint8_t* blob, std::size_t length) {
    std::uint8_t digest[CMD5::kDigestSize];
    CMD5::Digest(blob, length, digest);
    std::string text;
    char pair[4];
    for (int i = 0; i < CMD5::kDigestSize; ++i) {
        std::snprintf(pair, sizeof pair, i + 1 < CMD5::kDigestSize ? "%02x:" : "%02x", digest[i]);
        text += pair;
    }
    return text;
}

std::string FingerprintSha256(const std::uint8_t* blob, std::size_t length) {
    std::uint8_t digest[CSHA256::kDigestSize];
    CSHA256::Digest(blob, length, digest);
    std::string text = Base64Encode(digest, sizeof digest);
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    return "SHA256:" + text;
}

std::string CKnownHosts::KeyPath(int space, const std::string& algorithm) {
    return std::string(kRoot) + "\\" + std::to_string(space) + "\\" + algorithm;
}

CKnownHosts::CKnownHosts(int space, const std::string& algorithm)
    : space_(space), algorithm_(algorithm), path_(KeyPath(space, algorithm)) {
    open_ = Open();
}

CKnownHosts::CKnownHosts(int space, const std::string& algorithm, const std::string& host,
                         const std::uint8_t* blob, std::size_t length)
    : space_(space),
      algorithm_(algorithm),
      host_(host),
      blob_(blob),
      length_(length),
      path_(KeyPath(space, algorithm)) {
    open_ = Open();
}

bool CKnownHosts::Open() {
    RegistryStore& store = RegistryStore::Instance();
    if (store.KeyExists(path_) || store.CreateKey(path_)) return true;
    // Build the tree from its root, then try once more.
    store.CreateKey(kRoot);
    for (const char* space : {"1", "2", "0"})
        store.CreateKey(std::string(kRoot) + "\\" + space);
    return store.KeyExists(path_) || store.CreateKey(path_);
}

bool CKnownHosts::Belongs(const std::string& name) const {
    if (name.compare(0, host_.size(), host_) != 0) return false;
    return name.size() == host_.size() || name[host_.size()] == '~';
}

int CKnownHosts::Check() {
    count_ = 0;
    last_name_.clear();
    if (!open_) return kUnknown;
    for (const RegistryStore::Value& value : RegistryStore::Instance().Values(path_)) {
        if (!Belongs(value.name)) continue;
        ++count_;
        last_name_ = value.name;
        if (value.data.size() == length_ &&
            (length_ == 0 || std::equal(value.data.begin(), value.data.end(), blob_))) {
            return kKnown;
        }
    }
    return count_ != 0 ? kChanged : kUnknown;
}

bool CKnownHosts::Add() {
    RegistryStore& store = RegistryStore::Instance();
    if (!open_) open_ = Open();
    if (!open_) {
        Ui().ShowMessage("Error", "RegCreateKeyEx failed in CKnownHosts::Add\r\n" +
                                      SystemErrorText(errno != 0 ? errno : EIO));
        return false;
    }
    std::string name = host_;
    while (store.ValueExists(path_, name)) {
        if (name.size() >= kMaxValueName) return false;
        name += '~';
    }
    std::vector<std::uint8_t> data(blob_, blob_ + length_);
    if (!store.SetBinary(path_, name, data)) {
        Ui().ShowMessage("Error", "RegCreateKeyEx failed in CKnownHosts::Add\r\n" +
                                      SystemErrorText(errno != 0 ? errno : EIO));
        return false;
    }
    return true;
}

bool CKnownHosts::Replace() {
    if (!open_ || last_name_.empty()) return false;
    std::vector<std::uint8_t> data(blob_, blob_ + length_);
    return RegistryStore::Instance().SetBinary(path_, last_name_, data);
}

bool CKnownHosts::RemoveLast() {
    if (!open_ || last_name_.empty()) return false;
    return RegistryStore::Instance().DeleteValue(path_, last_name_);
}

bool CKnownHosts::Remove() {
    if (!open_) return false;
    return RegistryStore::Instance().DeleteValue(path_, host_);
}

std::vector<KnownHostEntry> CKnownHosts::List() {
    std::vector<KnownHostEntry> rows;
    if (!open_) return rows;
    for (const RegistryStore::Value& value : RegistryStore::Instance().Values(path_)) {
        if (value.type != RegistryStore::Type::kBinary) continue;
        rows.push_back({value.name, Fingerprint(value.data.data(), value.data.size())});
    }
    return rows;
}

std::vector<std::uint8_t> CKnownHosts::Data(const std::string& value_name) {
    if (!open_) return {};
    auto data = RegistryStore::Instance().GetBinary(path_, value_name);
    return data ? *data : std::vector<std::uint8_t>();
}

std::vector<std::string> StoredKeyTypes(int space, const std::string& host) {
    std::vector<std::string> types;
    const std::string space_path = std::string(kRoot) + "\\" + std::to_string(space);
    for (const std::string& algorithm : RegistryStore::Instance().SubKeys(space_path)) {
        CKnownHosts store(space, algorithm, host, nullptr, 0);
        store.Check();
        if (store.HostValueCount() > 0) types.push_back(algorithm);
    }
    return types;
}

std::vector<std::string> KnownKeyTypes(int space, const std::string& host, int port) {
    std::vector<std::string> types = StoredKeyTypes(space, host);
    if (space != kSpaceSSH2) return types;
    const OpenSshKnownHost theirs =
        LookUpOpenSshKnownHosts(ReadOpenSshKnownHosts(), host, port, "", nullptr, 0);
    for (const std::string& type : theirs.types) {
        if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
    }
    return types;
}

bool HostKeyCheck(int protocol, const std::string& algorithm, const std::string& host,
                  const std::uint8_t* blob, std::size_t length, bool strict, int port) {
    CKnownHosts store(protocol, algorithm, host, blob, length);
    const std::string fingerprint = Fingerprint(blob, length);
    std::string text = "Fingerprint: " + fingerprint.substr(0, 24) + " " + fingerprint.substr(24) +
                       "\r\nFingerprint: " + FingerprintSha256(blob, length) + "\r\n";
    OpenSshKnownHost theirs;
    if (protocol == kSpaceSSH2) {
        theirs =
            LookUpOpenSshKnownHosts(ReadOpenSshKnownHosts(), host, port, algorithm, blob, length);
        const std::string where =
            OpenSshKnownHostsPath() + " (line " + std::to_string(theirs.line) + ")";
        if (theirs.result == OpenSshKnownHost::kRevoked) {
            Ui().ShowMessage("Host Key Error",
                             "The host key from the server is marked as revoked in " + where +
                                 ". The connection is refused.");
            return false;
        }
        if (theirs.result == OpenSshKnownHost::kKnown) return true;
        if (theirs.result == OpenSshKnownHost::kChanged) {
            text += "A different key for this host is listed in " + where + ".\r\n";
        }
    }
    int result = store.Check();
    // The stored key of another type that a new type's key would replace.
    std::unique_ptr<CKnownHosts> other;
    int stored_count = store.HostValueCount();
    if (result == CKnownHosts::kUnknown) {
        for (const std::string& type : StoredKeyTypes(protocol, host)) {
            if (type == algorithm) continue;
            auto candidate = std::make_unique<CKnownHosts>(protocol, type, host, nullptr, 0);
            candidate->Check();
            stored_count += candidate->HostValueCount();
            if (!other) {
                text += "The server now presents a key of type " + algorithm +
                        "; the key accepted before is of type " + type + ".\r\n";
                other = std::move(candidate);
            }
            result = CKnownHosts::kChanged;
        }
    }
    // Keys listed only in OpenSSH's file are not ours to overwrite.
    if (result == CKnownHosts::kUnknown && theirs.result == OpenSshKnownHost::kChanged) {
        result = CKnownHosts::kChanged;
    }
    switch (result) {
        case CKnownHosts::kKnown:
            return true;
        case CKnownHosts::kUnknown:
            text +=
                "The host key cannot be verified. Accept and save it in the registry? (If you're "
                "not sure, tap 'No' and read about host keys in the manual.)";
            if (!Ui().AskYesNo("Warning", text)) return false;
            store.Add();
            return true;
        default:
            break;
    }
    if (strict) {
        Ui().ShowMessage("Host Key Error",
                         "The host key from the server doesn't match the host key that you "
                         "previously accepted, and strict host key checking has been enabled.");
        return false;
    }
    text +=
        "The host key from the server doesn't match the host key that you previously accepted! "
        "You may be involved in a man-in-the-middle attack. (If you're not sure what this means, "
        "tap 'Reject' and read about host keys in the manual.)";
    Ui().SetWaitCursor(false);
    HostKeyChoice choice = Ui().HostKeyWarning(text, stored_count == 1);
    Ui().SetWaitCursor(true);
    switch (choice) {
        case HostKeyChoice::kAdd:
            store.Add();
            return true;
        case HostKeyChoice::kOverwrite:
            // Overwrite is offered only for exactly one stored key; anything else would pick an
            // arbitrary one of several.
            if (stored_count != 1) return false;
            if (other) {
                // The one key is of the other type: it goes, the new one takes its place.
                if (!other->RemoveLast()) return false;
                store.Add();
                return true;
            }
            store.Replace();
            return true;
        case HostKeyChoice::kReject:
            break;
    }
    return false;
}

}  // namespace tarnwick
