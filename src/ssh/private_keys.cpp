#include "ssh/private_keys.h"

#include <sys/stat.h>

#include <chrono>

#include "crypto/dsa.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/wire.h"
#include "ssh/ssh2_kex.h"

namespace tarnwick {

namespace {

constexpr const char* kNotFromFilesystem = "not_from_filesystem";

std::mutex& LoaderMutex() {
    static std::mutex mutex;
    return mutex;
}

PrivateKeyList::FileLoader& Loader() {
    static PrivateKeyList::FileLoader loader;
    return loader;
}

std::string_view View(const SecureBytes& b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

// Equal after leading zero octets are ignored.
bool SameNumber(const SecureBytes& a, const SecureBytes& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && a[i] == 0)
        ++i;
    while (j < b.size() && b[j] == 0)
        ++j;
    return a.size() - i == b.size() - j &&
           std::equal(a.begin() + static_cast<long>(i), a.end(), b.begin() + static_cast<long>(j));
}

BigNum Number(const SecureBytes& b) {
    BigNum n;
    if (!n.SetBytes(b.data(), b.size())) return BigNum::Invalid();
    return n;
}

std::int64_t FileStamp(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

const char* PrivateKey::AlgorithmName() const {
    switch (type) {
        case kKeyDSA:
            return "ssh-dss";
        case kKeyRSA:
            return "ssh-rsa";
        default:
            return "badtype";
    }
}

std::string PrivateKey::PublicBlob() const {
    std::string blob;
    WireWriter out(blob);
    if (type == kKeyRSA) {
        out.String("ssh-rsa").String(View(rsa_e)).String(View(rsa_n));
    } else if (type == kKeyDSA) {
        out.String("ssh-dss").String(View(dsa_p)).String(View(dsa_q));
        out.String(View(dsa_g)).String(View(dsa_y));
    }
    return blob;
}

SecureBytes PrivateKey::Sign(const std::uint8_t* data, std::size_t length) const {
    if (type == kKeyRSA) {
        RsaPrivateKey key;
        key.n = Number(rsa_n);
        key.e = Number(rsa_e);
        key.d = Number(rsa_d);
        if (rsa_d.empty()) return {};
        if (!rsa_p.empty() && !rsa_q.empty()) {
            key.p = Number(rsa_p);
            key.q = Number(rsa_q);
            key.dmp1 = Number(rsa_dmp1);
            key.dmq1 = Number(rsa_dmq1);
            key.iqmp = Number(rsa_iqmp);
            if (rsa_dmp1.empty() || rsa_dmq1.empty() || rsa_iqmp.empty()) key.CompleteCrt();
        }
        BigNum signature;
        if (!RsaSignSha1(data, length, key, &signature)) return {};
        return signature.ToBytes();
    }
    if (type == kKeyDSA) {
        DsaKey key;
        key.p = Number(dsa_p);
        key.q = Number(dsa_q);
        key.g = Number(dsa_g);
        key.y = Number(dsa_y);
        key.x = Number(dsa_x);
        if (dsa_x.empty()) return {};
        // A DSA signature made with a guessable nonce gives the private key away.
        if (!RandomGenerator::Global().EnsureEntropy()) return {};
        BigNum r, s;
        if (!DsaSign(data, length, key, RandomGenerator::Global(), &r, &s)) return {};
        SecureBytes out(40);
        if (!DsaSignatureBlob(r, s, out.data())) return {};
        return out;
    }
    return {};
}

bool PrivateKey::SameKey(const PrivateKey& other) const {
    if (type != other.type) return false;
    if (type == kKeyDSA) {
        return SameNumber(dsa_g, other.dsa_g) && SameNumber(dsa_p, other.dsa_p) &&
               SameNumber(dsa_q, other.dsa_q) && SameNumber(dsa_y, other.dsa_y);
    }
    if (type == kKeyRSA) return SameNumber(rsa_n, other.rsa_n) && SameNumber(rsa_e, other.rsa_e);
    return false;
}

void PrivateKey::SetNumber(SecureBytes* field, const BigNum& value) {
    SecureBytes wire = value.ToMpint();
    field->assign(wire.begin() + (wire.size() >= 4 ? 4 : 0), wire.end());
}

bool PrivateKey::FromPublicBlob(std::string_view blob, PrivateKey* out) {
    PrivateKey key;
    BigNum e, n;
    DsaKey dsa;
    if (ParseRsaPublicBlob(blob, &e, &n)) {
        key.type = kKeyRSA;
        SetNumber(&key.rsa_e, e);
        SetNumber(&key.rsa_n, n);
    } else if (ParseDssPublicBlob(blob, &dsa)) {
        key.type = kKeyDSA;
        SetNumber(&key.dsa_p, dsa.p);
        SetNumber(&key.dsa_q, dsa.q);
        SetNumber(&key.dsa_g, dsa.g);
        SetNumber(&key.dsa_y, dsa.y);
    } else {
        return false;
    }
    *out = std::move(key);
    return true;
}

PrivateKeyList& PrivateKeyList::Instance() {
    static PrivateKeyList list;
    return list;
}

void PrivateKeyList::SetFileLoader(FileLoader loader) {
    std::lock_guard<std::mutex> guard(LoaderMutex());
    Loader() = std::move(loader);
}

std::size_t PrivateKeyList::Count() {
    std::lock_guard<std::mutex> guard(structure_);
    return entries_.size();
}

std::shared_ptr<const PrivateKey> PrivateKeyList::First() {
    iteration_.Acquire();
    std::lock_guard<std::mutex> guard(structure_);
    cursor_ = 0;
    if (entries_.empty()) return nullptr;
    cursor_ = 1;
    return entries_[0].key;
}

std::shared_ptr<const PrivateKey> PrivateKeyList::Next() {
    std::lock_guard<std::mutex> guard(structure_);
    if (cursor_ >= entries_.size()) return nullptr;
    return entries_[cursor_++].key;
}

void PrivateKeyList::End() {
    iteration_.Release();
}

std::shared_ptr<const PrivateKey> PrivateKeyList::At(std::size_t index) {
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    return index < entries_.size() ? entries_[index].key : nullptr;
}

bool PrivateKeyList::ContainsLocked(const PrivateKey& key) const {
    for (const Entry& entry : entries_) {
        if (entry.key->SameKey(key)) return true;
    }
    return false;
}

bool PrivateKeyList::Contains(const PrivateKey& key) {
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    return ContainsLocked(key);
}

bool PrivateKeyList::Holds(const std::string& path) {
    const std::int64_t stamp = FileStamp(path);
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->source != path) continue;
        if (it->stamp == stamp) return true;
        entries_.erase(it);  // the file changed: it is to be read again
        return false;
    }
    return false;
}

int PrivateKeyList::Load(const std::string& path) {
    FileLoader loader;
    {
        std::lock_guard<std::mutex> guard(LoaderMutex());
        loader = Loader();
    }
    if (!loader) return kKeyNoFile;
    auto key = std::make_shared<PrivateKey>();
    int result = loader(path, key.get());
    if (result != kKeyLoaded) return result;
    key->source = path;
    if (key->comment.empty()) key->comment = path;
    const std::int64_t stamp = FileStamp(path);
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    if (!ContainsLocked(*key)) entries_.push_back({key, path, stamp});
    return kKeyLoaded;
}

std::shared_ptr<const PrivateKey> PrivateKeyList::Get(const std::string& path) {
    if (!Holds(path)) return nullptr;
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    for (const Entry& entry : entries_) {
        if (entry.source == path) return entry.key;
    }
    return nullptr;
}

void PrivateKeyList::AddFromAgent(const PrivateKey& key) {
    auto copy = std::make_shared<PrivateKey>(key);
    copy->source = kNotFromFilesystem;
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    if (!ContainsLocked(*copy)) entries_.push_back({copy, kNotFromFilesystem, now});
}

std::shared_ptr<const PrivateKey> PrivateKeyList::Find(std::string_view blob) {
    PrivateKey wanted;
    if (!PrivateKey::FromPublicBlob(blob, &wanted)) return nullptr;
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    for (const Entry& entry : entries_) {
        if (entry.key->SameKey(wanted)) return entry.key;
    }
    return nullptr;
}

bool PrivateKeyList::Remove(std::string_view blob) {
    PrivateKey wanted;
    if (!PrivateKey::FromPublicBlob(blob, &wanted)) return false;
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->key->SameKey(wanted)) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

void PrivateKeyList::RemoveAll() {
    LockHolder walk(iteration_);
    std::lock_guard<std::mutex> guard(structure_);
    entries_.clear();
}

}  // namespace tarnwick
