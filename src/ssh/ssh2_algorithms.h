// The SSH2 algorithms this client knows, by the identifiers of the preference settings, and the
// name-list handling of the key exchange: splitting a server's list, choosing by the client's
// order of preference, and making the cipher and MAC objects of a choice.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/encryptor.h"
#include "crypto/hmac.h"

namespace tarnwick {

class SessionConfig;

struct CipherInfo {
    int id;
    const char* name;
    int key_bytes;
    int iv_bytes;
    int block_bytes;
};

struct MacInfo {
    int id;
    const char* name;
    int length;   // MAC and key length; 0 for "none"
    bool usable;  // the "-96" names are recognised in lists but refused when chosen
};

struct HostKeyInfo {
    int id;
    const char* name;
};

// Cipher ids 0 to 4, MAC ids 0 to 4, host-key ids 0 and 1.
std::span<const CipherInfo> CipherTable();
std::span<const MacInfo> MacTable();
std::span<const HostKeyInfo> HostKeyTable();
const CipherInfo* FindCipher(int id);
const MacInfo* FindMac(int id);
const HostKeyInfo* FindHostKey(int id);

// The type of key a host-key algorithm signs with, as the known hosts store it: the SHA-2
// signatures of RSA keys ("rsa-sha2-256", "rsa-sha2-512") use the same "ssh-rsa" key.
const char* HostKeyType(std::string_view algorithm);

// The preference lists the connection dialog fills in for an empty list.
std::vector<std::int32_t> DefaultCipherPreference();   // 1, 0, 2, 3, 4
std::vector<std::int32_t> DefaultMacPreference();      // 0, 1
std::vector<std::int32_t> DefaultHostKeyPreference();  // 0, 1

// What the SSH2 connection dialog does first: every empty algorithm list gets the default order,
// with its disabled list to match ("None" is the one MAC disabled by default).
void FillSsh2AlgorithmDefaults(SessionConfig& config);

// Splits a comma-separated name-list; empty names are dropped.
std::vector<std::string_view> SplitNameList(std::string_view list);
// True when the list holds name as one of its names; with ignore_case, letters compare
// without regard to case.
bool NameListHas(std::string_view list, std::string_view name, bool ignore_case = false);

// The first id of preference whose name (looked up with name_of) is in the server's list;
// -1 when none is.
template <typename NameOf>
int ChooseAlgorithm(std::string_view server_list, std::span<const std::int32_t> preference,
                    NameOf name_of) {
    for (std::int32_t id : preference) {
        const char* name = name_of(id);
        if (name != nullptr && NameListHas(server_list, name)) return id;
    }
    return -1;
}

// A cipher object of the given id, set to one direction and keyed. nullptr for an unknown id or
// a key or IV the cipher refuses.
std::unique_ptr<Encryptor> MakeCipher(int id, bool encrypt, const std::uint8_t* key,
                                      const std::uint8_t* iv);
// An HMAC of the given MAC id keyed with the first length bytes of key; nullptr for "none" and
// the refused ids.
std::unique_ptr<HMAC> MakeMac(int id, const std::uint8_t* key);

}  // namespace tarnwick
