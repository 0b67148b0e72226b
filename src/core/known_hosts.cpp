#include "core/known_hosts.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "crypto/md5.h"
#include "platform/registry.h"
#include "platform/user_interface.h"

namespace tarnwick {

namespace {

constexpr const char* kRoot = "Software\\Halvek\\Tarnwick\\ssh_known_hosts";
constexpr std::size_t kMaxValueName = 4095;

}  // namespace

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

bool HostKeyCheck(int protocol, const std::string& algorithm, const std::string& host,
                  const std::uint8_t* blob, std::size_t length, bool strict) {
    CKnownHosts store(protocol, algorithm, host, blob, length);
    const std::string fingerprint = Fingerprint(blob, length);
    std::string text =
        "Fingerprint: " + fingerprint.substr(0, 24) + " " + fingerprint.substr(24) + "\r\n";
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
