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

#include "crypto/ecc.h"
#include "crypto/encryptor.h"
#include "crypto/hmac.h"

namespace tarnwick {

class SessionConfig;
struct SSH2DirectionKeys;

// How a cipher protects a packet.
enum class CipherMode {
    kBlock,       // a block cipher (CBC, or AES-CTR) with a separate MAC
    kAesGcm,      // aes128-gcm@openssh.com, aes256-gcm@openssh.com: the MAC list is not used
    kChaChaPoly,  // chacha20-poly1305@openssh.com: the MAC list is not used
};

struct CipherInfo {
    int id;
    const char* name;
    int key_bytes;
    int iv_bytes;
    int block_bytes;
    CipherMode mode = CipherMode::kBlock;
};

enum class MacHash { kNone, kSha1, kMd5, kSha256, kSha512 };

struct MacInfo {
    int id;
    const char* name;
    int length;   // MAC and key length; 0 for "none"
    bool usable;  // the "-96" names are recognised in lists but refused when chosen
    MacHash hash = MacHash::kNone;
    bool etm = false;  // "-etm@openssh.com": the MAC covers the encrypted packet
};

enum class HostKeyKind { kRsa, kDss, kEd25519, kEcdsa };

struct HostKeyInfo {
    int id;
    const char* name;
    HostKeyKind kind = HostKeyKind::kRsa;
    EcCurve curve = EcCurve::kP256;  // ECDSA only
};

// The hash of a key exchange: exchange hash and key derivation.
enum class KexHash { kSha1, kSha256, kSha384, kSha512 };

enum class KexFamily {
    kDhGroup,          // a fixed group (1, 14, 16 or 18)
    kDhGroupExchange,  // the server sends the group
    kEcdh,             // NIST curves (RFC 5656)
    kCurve25519,       // X25519 (RFC 8731)
    kSntrup761X25519,  // sntrup761 and X25519 together
};

struct KexInfo {
    int id;
    const char* name;
    KexFamily family;
    KexHash hash;
    int group = 0;                   // kDhGroup: 1, 14, 16 or 18
    EcCurve curve = EcCurve::kP256;  // kEcdh
};

// Cipher ids 0 to 10, MAC ids 0 to 9, host-key ids 0 to 7, key exchanges 0 to 13 (the values of
// the preference lists; those of the older algorithms first).
std::span<const CipherInfo> CipherTable();
std::span<const MacInfo> MacTable();
std::span<const HostKeyInfo> HostKeyTable();
std::span<const KexInfo> KexTable();
const CipherInfo* FindCipher(int id);
const MacInfo* FindMac(int id);
const HostKeyInfo* FindHostKey(int id);
const KexInfo* FindKex(int id);
const HostKeyInfo* FindHostKeyNamed(std::string_view name);

// The type of key a host-key algorithm signs with, as the known hosts store it: the SHA-2
// signatures of RSA keys ("rsa-sha2-256", "rsa-sha2-512") use the same "ssh-rsa" key.
const char* HostKeyType(std::string_view algorithm);

// Bytes of a digest of the key exchange's hash (20, 32, 48, 64); a fresh object of it.
std::size_t KexHashSize(KexHash hash);
std::unique_ptr<Hash> NewKexHash(KexHash hash);

// The preference lists the connection dialog fills in for an empty list.
std::vector<std::int32_t> DefaultCipherPreference();
std::vector<std::int32_t> DefaultMacPreference();
std::vector<std::int32_t> DefaultHostKeyPreference();
std::vector<std::int32_t> DefaultKexPreference();

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

// A block cipher object of the given id (CBC or CTR), set to one direction and keyed. nullptr
// for an unknown id, an AEAD cipher, or a key or IV the cipher refuses.
std::unique_ptr<Encryptor> MakeCipher(int id, bool encrypt, const std::uint8_t* key,
                                      const std::uint8_t* iv);
// An HMAC of the given MAC id keyed with the first length bytes of key; nullptr for "none" and
// the refused ids.
std::unique_ptr<HMAC> MakeMac(int id, const std::uint8_t* key);
// Everything one direction of the packet protocol needs for a cipher and MAC choice (the MAC is
// not used with an AEAD cipher). key and iv hold the cipher's key_bytes and iv_bytes; mac_key the
// MAC's length. False when anything cannot be made.
bool MakeDirectionKeys(int cipher_id, int mac_id, bool encrypt, const std::uint8_t* key,
                       const std::uint8_t* iv, const std::uint8_t* mac_key,
                       SSH2DirectionKeys* keys);

}  // namespace tarnwick
