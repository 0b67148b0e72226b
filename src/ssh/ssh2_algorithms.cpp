#include "ssh/ssh2_algorithms.h"

#include "core/session_config.h"
#include "crypto/aead.h"
#include "crypto/aes_ctr.h"
#include "crypto/blowfish.h"
#include "crypto/d3des.h"
#include "crypto/md5.h"
#include "crypto/rijndael.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"
#include "ssh/ssh2_framing.h"

namespace tarnwick {

namespace {

constexpr CipherInfo kCiphers[] = {
    {0, "aes256-cbc", 32, 16, 16},
    {1, "blowfish-cbc", 16, 8, 8},
    {2, "aes192-cbc", 24, 16, 16},
    {3, "aes128-cbc", 16, 16, 16},
    {4, "3des-cbc", 24, 8, 8},
    // The 64 key bytes of chacha20-poly1305 are two ChaCha20 keys; it has no IV.
    {5, "chacha20-poly1305@openssh.com", 64, 0, 8, CipherMode::kChaChaPoly},
    {6, "aes128-ctr", 16, 16, 16},
    {7, "aes192-ctr", 24, 16, 16},
    {8, "aes256-ctr", 32, 16, 16},
    {9, "aes128-gcm@openssh.com", 16, 12, 16, CipherMode::kAesGcm},
    {10, "aes256-gcm@openssh.com", 32, 12, 16, CipherMode::kAesGcm},
};

constexpr MacInfo kMacs[] = {
    {0, "hmac-sha1", 20, true, MacHash::kSha1},
    {1, "hmac-md5", 16, true, MacHash::kMd5},
    {2, "none", 0, true},
    {3, "hmac-sha1-96", 0, false},
    {4, "hmac-md5-96", 0, false},
    {5, "hmac-sha2-256", 32, true, MacHash::kSha256},
    {6, "hmac-sha2-512", 64, true, MacHash::kSha512},
    {7, "hmac-sha2-256-etm@openssh.com", 32, true, MacHash::kSha256, true},
    {8, "hmac-sha2-512-etm@openssh.com", 64, true, MacHash::kSha512, true},
    {9, "hmac-sha1-etm@openssh.com", 20, true, MacHash::kSha1, true},
};

constexpr HostKeyInfo kHostKeys[] = {
    {0, "ssh-rsa", HostKeyKind::kRsa},
    {1, "ssh-dss", HostKeyKind::kDss},
    {2, "ssh-ed25519", HostKeyKind::kEd25519},
    {3, "ecdsa-sha2-nistp256", HostKeyKind::kEcdsa, EcCurve::kP256},
    {4, "ecdsa-sha2-nistp384", HostKeyKind::kEcdsa, EcCurve::kP384},
    {5, "ecdsa-sha2-nistp521", HostKeyKind::kEcdsa, EcCurve::kP521},
    {6, "rsa-sha2-512", HostKeyKind::kRsa},
    {7, "rsa-sha2-256", HostKeyKind::kRsa},
};

constexpr KexInfo kKex[] = {
    {0, "diffie-hellman-group1-sha1", KexFamily::kDhGroup, KexHash::kSha1, 1},
    {1, "diffie-hellman-group-exchange-sha1", KexFamily::kDhGroupExchange, KexHash::kSha1},
    {2, "diffie-hellman-group14-sha1", KexFamily::kDhGroup, KexHash::kSha1, 14},
    {3, "diffie-hellman-group14-sha256", KexFamily::kDhGroup, KexHash::kSha256, 14},
    {4, "diffie-hellman-group16-sha512", KexFamily::kDhGroup, KexHash::kSha512, 16},
    {5, "diffie-hellman-group18-sha512", KexFamily::kDhGroup, KexHash::kSha512, 18},
    {6, "diffie-hellman-group-exchange-sha256", KexFamily::kDhGroupExchange, KexHash::kSha256},
    {7, "ecdh-sha2-nistp256", KexFamily::kEcdh, KexHash::kSha256, 0, EcCurve::kP256},
    {8, "ecdh-sha2-nistp384", KexFamily::kEcdh, KexHash::kSha384, 0, EcCurve::kP384},
    {9, "ecdh-sha2-nistp521", KexFamily::kEcdh, KexHash::kSha512, 0, EcCurve::kP521},
    {10, "curve25519-sha256", KexFamily::kCurve25519, KexHash::kSha256},
    {11, "curve25519-sha256@libssh.org", KexFamily::kCurve25519, KexHash::kSha256},
    {12, "sntrup761x25519-sha512@openssh.com", KexFamily::kSntrup761X25519, KexHash::kSha512},
    {13, "sntrup761x25519-sha512", KexFamily::kSntrup761X25519, KexHash::kSha512},
};

template <typename Table>
const auto* FindIn(const Table& table, int id) {
    for (const auto& info : table) {
        if (info.id == id) return &info;
    }
    return static_cast<decltype(&table[0])>(nullptr);
}

std::vector<std::int32_t> DefaultOrder(setting::List list) {
    for (const AlgorithmLists& lists : SessionConfig::Ssh2AlgorithmLists()) {
        if (lists.enabled == list) {
            return std::vector<std::int32_t>(lists.default_order.begin(),
                                             lists.default_order.end());
        }
    }
    return {};
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b, bool ignore_case) {
    if (a.size() != b.size()) return false;
    if (!ignore_case) return a == b;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::span<const CipherInfo> CipherTable() {
    return kCiphers;
}
std::span<const MacInfo> MacTable() {
    return kMacs;
}
std::span<const HostKeyInfo> HostKeyTable() {
    return kHostKeys;
}
std::span<const KexInfo> KexTable() {
    return kKex;
}

const CipherInfo* FindCipher(int id) {
    return FindIn(kCiphers, id);
}
const MacInfo* FindMac(int id) {
    return FindIn(kMacs, id);
}
const HostKeyInfo* FindHostKey(int id) {
    return FindIn(kHostKeys, id);
}
const KexInfo* FindKex(int id) {
    return FindIn(kKex, id);
}

const HostKeyInfo* FindHostKeyNamed(std::string_view name) {
    for (const HostKeyInfo& info : kHostKeys) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

const char* HostKeyType(std::string_view algorithm) {
    const HostKeyInfo* info = FindHostKeyNamed(algorithm);
    if (info == nullptr) return "";
    return info->kind == HostKeyKind::kRsa ? "ssh-rsa" : info->name;
}

std::size_t KexHashSize(KexHash hash) {
    switch (hash) {
        case KexHash::kSha1:
            return CSHA1::kDigestSize;
        case KexHash::kSha256:
            return CSHA256::kDigestSize;
        case KexHash::kSha384:
            return CSHA384::kDigestSize;
        case KexHash::kSha512:
            return CSHA512::kDigestSize;
    }
    return 0;
}

std::unique_ptr<Hash> NewKexHash(KexHash hash) {
    switch (hash) {
        case KexHash::kSha1:
            return std::make_unique<CSHA1>();
        case KexHash::kSha256:
            return std::make_unique<CSHA256>();
        case KexHash::kSha384:
            return std::make_unique<CSHA384>();
        case KexHash::kSha512:
            return std::make_unique<CSHA512>();
    }
    return nullptr;
}

std::vector<std::int32_t> DefaultCipherPreference() {
    return DefaultOrder(setting::ssh2_EnabledCiphers);
}
std::vector<std::int32_t> DefaultMacPreference() {
    return DefaultOrder(setting::ssh2_EnabledMACs);
}
std::vector<std::int32_t> DefaultHostKeyPreference() {
    return DefaultOrder(setting::ssh2_hostkey_algorithms);
}
std::vector<std::int32_t> DefaultKexPreference() {
    return DefaultOrder(setting::ssh2_kex_algorithms);
}

std::vector<std::string_view> SplitNameList(std::string_view list) {
    std::vector<std::string_view> names;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        if (comma > start) names.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

bool NameListHas(std::string_view list, std::string_view name, bool ignore_case) {
    for (std::string_view entry : SplitNameList(list)) {
        if (SameName(entry, name, ignore_case)) return true;
    }
    return false;
}

std::unique_ptr<Encryptor> MakeCipher(int id, bool encrypt, const std::uint8_t* key,
                                      const std::uint8_t* iv) {
    const CipherInfo* info = FindCipher(id);
    if (info == nullptr || info->mode != CipherMode::kBlock) return nullptr;
    std::unique_ptr<Encryptor> cipher;
    switch (id) {
        case 0:
        case 2:
        case 3:
            cipher = std::make_unique<Rijndael>();
            break;
        case 1:
            cipher = std::make_unique<Blowfish>(0);
            break;
        case 4:
            cipher = std::make_unique<D3Des>(0, 1);
            break;
        case 6:
        case 7:
        case 8:
            cipher = std::make_unique<AesCtr>();
            break;
        default:
            return nullptr;
    }
    cipher->SetDirection(encrypt ? 1 : 0);
    if (!cipher->SetKey(key, static_cast<std::size_t>(info->key_bytes))) return nullptr;
    if (!cipher->SetIV(iv, static_cast<std::size_t>(info->iv_bytes))) return nullptr;
    return cipher;
}

std::unique_ptr<HMAC> MakeMac(int id, const std::uint8_t* key) {
    const MacInfo* info = FindMac(id);
    if (info == nullptr || !info->usable || info->length == 0) return nullptr;
    std::unique_ptr<Hash> inner;
    switch (info->hash) {
        case MacHash::kSha1:
            inner = std::make_unique<CSHA1>();
            break;
        case MacHash::kMd5:
            inner = std::make_unique<CMD5>();
            break;
        case MacHash::kSha256:
            inner = std::make_unique<CSHA256>();
            break;
        case MacHash::kSha512:
            inner = std::make_unique<CSHA512>();
            break;
        case MacHash::kNone:
            return nullptr;
    }
    return std::make_unique<HMAC>(std::move(inner), key, static_cast<std::size_t>(info->length));
}

bool MakeDirectionKeys(int cipher_id, int mac_id, bool encrypt, const std::uint8_t* key,
                       const std::uint8_t* iv, const std::uint8_t* mac_key,
                       SSH2DirectionKeys* keys) {
    *keys = SSH2DirectionKeys();
    const CipherInfo* cipher = FindCipher(cipher_id);
    if (cipher == nullptr) return false;
    const std::size_t key_bytes = static_cast<std::size_t>(cipher->key_bytes);
    switch (cipher->mode) {
        case CipherMode::kChaChaPoly:
            keys->chacha = std::make_unique<SshChaChaPoly>();
            return keys->chacha->SetKey(key, key_bytes);
        case CipherMode::kAesGcm:
            keys->gcm = std::make_unique<SshAesGcm>();
            return keys->gcm->SetKey(key, key_bytes, iv,
                                     static_cast<std::size_t>(cipher->iv_bytes));
        case CipherMode::kBlock:
            break;
    }
    const MacInfo* mac = FindMac(mac_id);
    if (mac == nullptr || !mac->usable) return false;
    keys->cipher = MakeCipher(cipher_id, encrypt, key, iv);
    keys->mac = MakeMac(mac_id, mac_key);
    keys->etm = mac->etm;
    // "none" is the one MAC that is no object; every cipher is one.
    return keys->cipher != nullptr && (keys->mac != nullptr || mac->length == 0);
}

void FillSsh2AlgorithmDefaults(SessionConfig& config) {
    config.FillSsh2AlgorithmDefaults();
}

}  // namespace tarnwick
