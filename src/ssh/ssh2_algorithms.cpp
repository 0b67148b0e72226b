#include "ssh/ssh2_algorithms.h"

#include <array>

#include "core/session_config.h"
#include "crypto/blowfish.h"
#include "crypto/d3des.h"
#include "crypto/md5.h"
#include "crypto/rijndael.h"
#include "crypto/sha1.h"

namespace tarnwick {

namespace {

constexpr std::array<CipherInfo, 5> kCiphers{{
    {0, "aes256-cbc", 32, 16, 16},
    {1, "blowfish-cbc", 16, 8, 8},
    {2, "aes192-cbc", 24, 16, 16},
    {3, "aes128-cbc", 16, 16, 16},
    {4, "3des-cbc", 24, 8, 8},
}};

constexpr std::array<MacInfo, 5> kMacs{{
    {0, "hmac-sha1", 20, true},
    {1, "hmac-md5", 16, true},
    {2, "none", 0, true},
    {3, "hmac-sha1-96", 0, false},
    {4, "hmac-md5-96", 0, false},
}};

constexpr std::array<HostKeyInfo, 2> kHostKeys{{
    {0, "ssh-rsa"},
    {1, "ssh-dss"},
}};

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

const CipherInfo* FindCipher(int id) {
    for (const CipherInfo& info : kCiphers) {
        if (info.id == id) return &info;
    }
    return nullptr;
}

const MacInfo* FindMac(int id) {
    for (const MacInfo& info : kMacs) {
        if (info.id == id) return &info;
    }
    return nullptr;
}

const HostKeyInfo* FindHostKey(int id) {
    for (const HostKeyInfo& info : kHostKeys) {
        if (info.id == id) return &info;
    }
    return nullptr;
}

const char* HostKeyType(std::string_view algorithm) {
    if (algorithm == "rsa-sha2-256" || algorithm == "rsa-sha2-512") return "ssh-rsa";
    for (const HostKeyInfo& info : kHostKeys) {
        if (algorithm == info.name) return info.name;
    }
    return "";
}

std::vector<std::int32_t> DefaultCipherPreference() {
    return {1, 0, 2, 3, 4};
}
std::vector<std::int32_t> DefaultMacPreference() {
    return {0, 1};
}
std::vector<std::int32_t> DefaultHostKeyPreference() {
    return {0, 1};
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
    if (info == nullptr) return nullptr;
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
    if (id == 0) return std::make_unique<HMAC>(std::make_unique<CSHA1>(), key, 20);
    return std::make_unique<HMAC>(std::make_unique<CMD5>(), key, 16);
}

void FillSsh2AlgorithmDefaults(SessionConfig& config) {
    struct Defaults {
        setting::List enabled;
        setting::List disabled;
        std::vector<std::int32_t> (*order)();
        std::vector<std::int32_t> disabled_order;
    };
    const Defaults lists[] = {
        {setting::ssh2_EnabledCiphers, setting::ssh2_DisabledCiphers, DefaultCipherPreference, {}},
        {setting::ssh2_EnabledMACs, setting::ssh2_DisabledMACs, DefaultMacPreference, {2}},
        {setting::ssh2_hostkey_algorithms,
         setting::ssh2_disabled_hostkey_algorithms,
         DefaultHostKeyPreference,
         {}},
    };
    for (const Defaults& list : lists) {
        if (!config.GetList(list.enabled).empty()) continue;
        std::vector<std::int32_t> enabled = list.order();
        config.SetList(list.enabled, enabled.data(), static_cast<int>(enabled.size()));
        config.SetList(list.disabled, list.disabled_order.data(),
                       static_cast<int>(list.disabled_order.size()));
    }
}

}  // namespace tarnwick
