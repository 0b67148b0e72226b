#include "ssh/private_keys.h"

#include <sys/stat.h>

#include <chrono>

#include "crypto/curve25519.h"
#include "crypto/dsa.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/wire.h"
#include "ssh/ssh2_algorithms.h"
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

const HostKeyInfo* EcdsaInfo(EcCurve curve) {
    for (const HostKeyInfo& info : HostKeyTable()) {
        if (info.kind == HostKeyKind::kEcdsa && info.curve == curve) return &info;
    }
    return nullptr;
}

// "nistp256" from "ecdsa-sha2-nistp256".
std::string_view CurveName(const char* algorithm) {
    std::string_view name(algorithm);
    return name.substr(name.rfind('-') + 1);
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
        case kKeyEd25519:
            return "ssh-ed25519";
        case kKeyECDSA:
            return EcdsaInfo(ecdsa_curve)->name;
        default:
            return "badtype";
    }
}

const char* PrivateKey::SignatureAlgorithm(std::string_view server_sig_algs) const {
    // RFC 8332 section 3.3: with "server-sig-algs" the client may use the SHA-2 algorithms it
    // names; without it, only "ssh-rsa" is sure to be understood.
    if (type == kKeyRSA) {
        if (NameListHas(server_sig_algs, "rsa-sha2-512")) return "rsa-sha2-512";
        if (NameListHas(server_sig_algs, "rsa-sha2-256")) return "rsa-sha2-256";
    }
    return AlgorithmName();
}

std::string PrivateKey::PublicBlob() const {
    std::string blob;
    WireWriter out(blob);
    if (type == kKeyRSA) {
        out.String("ssh-rsa").String(View(rsa_e)).String(View(rsa_n));
    } else if (type == kKeyDSA) {
        out.String("ssh-dss").String(View(dsa_p)).String(View(dsa_q));
        out.String(View(dsa_g)).String(View(dsa_y));
    } else if (type == kKeyEd25519) {
        out.String("ssh-ed25519").String(View(ed25519_public));
    } else if (type == kKeyECDSA) {
        const char* name = AlgorithmName();
        out.String(name).String(CurveName(name)).String(View(ecdsa_point));
    }
    return blob;
}

SecureBytes PrivateKey::Sign(const std::uint8_t* data, std::size_t length,
                             std::string_view algorithm) const {
    if (!algorithm.empty() && algorithm != AlgorithmName() &&
        !(type == kKeyRSA && (algorithm == "rsa-sha2-256" || algorithm == "rsa-sha2-512"))) {
        return {};
    }
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
        if (algorithm == "rsa-sha2-512" || algorithm == "rsa-sha2-256") {
            const bool ok = algorithm == "rsa-sha2-512"
                                ? RsaSignSha512(data, length, key, &signature)
                                : RsaSignSha256(data, length, key, &signature);
            // RFC 8332 section 3: the signature has the length of the modulus.
            SecureBytes out(static_cast<std::size_t>(key.n.ByteLength()));
            if (!ok || !signature.ToBytes(out.data(), out.size())) return {};
            return out;
        }
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
    if (type == kKeyEd25519) {
        Ed25519PrivateKey key;
        SecureBytes out(64);
        // A seed that does not give the stored public key is not this key.
        if (!key.SetSeed(ed25519_seed.data(), ed25519_seed.size()) ||
            ed25519_public != SecureBytes(key.Public().Bytes(), key.Public().Bytes() + 32) ||
            !key.Sign(data, length, out.data())) {
            return {};
        }
        return out;
    }
    if (type == kKeyECDSA) {
        EcPrivateKey key;
        if (!key.SetScalar(ecdsa_curve, ecdsa_scalar.data(), ecdsa_scalar.size()) ||
            key.Public().Point().size() != ecdsa_point.size() ||
            !std::equal(ecdsa_point.begin(), ecdsa_point.end(), key.Public().Point().begin())) {
            return {};
        }
        if (!RandomGenerator::Global().EnsureEntropy()) return {};
        std::vector<std::uint8_t> r, s;
        if (!key.Sign(data, length, RandomGenerator::Global(), &r, &s)) return {};
        // RFC 5656 section 3.1.2: mpint r, mpint s.
        BigNum r_number, s_number;
        SecureBytes out;
        SecureWireWriter writer(out);
        if (!r_number.SetBytes(r.data(), r.size()) || !s_number.SetBytes(s.data(), s.size()) ||
            !writer.Mpint(r_number) || !writer.Mpint(s_number)) {
            return {};
        }
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
    if (type == kKeyEd25519) return ed25519_public == other.ed25519_public;
    if (type == kKeyECDSA) {
        return ecdsa_curve == other.ecdsa_curve && ecdsa_point == other.ecdsa_point;
    }
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
        std::string_view bytes;
        if (ParseEd25519PublicBlob(blob, &bytes)) {
            key.type = kKeyEd25519;
            key.ed25519_public.assign(bytes.begin(), bytes.end());
        } else {
            for (EcCurve curve : {EcCurve::kP256, EcCurve::kP384, EcCurve::kP521}) {
                if (ParseEcdsaPublicBlob(blob, curve, &bytes)) {
                    key.type = kKeyECDSA;
                    key.ecdsa_curve = curve;
                    key.ecdsa_point.assign(bytes.begin(), bytes.end());
                }
            }
            if (key.type == kKeyNone) return false;
        }
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
