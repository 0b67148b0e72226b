// Private keys for public-key authentication and the agent: the key record (RSA or DSA numbers as
// big-endian byte strings, an Ed25519 seed, or an ECDSA scalar on a NIST curve), its public-key
// blob and signatures, and the process-wide list of loaded keys that authentication, the agent
// and the key import share.
//
//   PrivateKeyList& keys = PrivateKeyList::Instance();
//   for (std::size_t i = 0; i < keys.Count(); ++i)
//       if (auto key = keys.At(i)) offer(key->PublicBlob(), key->Sign(data));
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/ecc.h"
#include "crypto/secure.h"
#include "platform/lock.h"

namespace tarnwick {

enum PrivateKeyType : int {
    kKeyNone = 0,
    kKeyDSA = 1,
    kKeyRSA = 2,
    kKeyEd25519 = 3,
    kKeyECDSA = 4
};
enum KeyFileEncryption : int {
    kEncryptionUnknown = 0,
    kEncryptionNone = 1,
    kEncryptionDesEde3 = 2
};

// Statuses of loading a key file. kKeyInvalid is a wrong passphrase (worth asking again);
// kKeyUnusable a file that cannot load whatever the passphrase (the user has been told why).
enum KeyLoadStatus : int {
    kKeyLoaded = 0,
    kKeyCancelled = 1,
    kKeyInvalid = 2,
    kKeyNoFile = 3,
    kKeyUnusable = 4
};

class PrivateKey {
  public:
    // DSA numbers, public ones first.
    SecureBytes dsa_g, dsa_p, dsa_q, dsa_y, dsa_x;
    // RSA numbers; n and e are public.
    SecureBytes rsa_n, rsa_e, rsa_d, rsa_p, rsa_q, rsa_dmp1, rsa_dmq1, rsa_iqmp;
    // Ed25519: the 32-byte public key and the 32-byte private seed.
    SecureBytes ed25519_public, ed25519_seed;
    // ECDSA: the curve, the public point (uncompressed) and the private scalar.
    EcCurve ecdsa_curve = EcCurve::kP256;
    SecureBytes ecdsa_point, ecdsa_scalar;
    int type = kKeyNone;
    int encryption = kEncryptionNone;
    std::uint8_t iv[8] = {};
    std::string comment;
    std::string source;

    // "ssh-dss", "ssh-rsa", "ssh-ed25519", "ecdsa-sha2-nistp256/384/521", otherwise "badtype".
    const char* AlgorithmName() const;
    // The signature algorithm to use with a server that accepts the signature algorithms listed
    // in server_sig_algs (its EXT_INFO; empty when it sent none): an RSA key signs with
    // "rsa-sha2-512" or "rsa-sha2-256" where the server takes them, other keys with their name.
    const char* SignatureAlgorithm(std::string_view server_sig_algs) const;
    // string name, then RSA: string e, string n; DSA: string p, q, g, y; Ed25519: string key;
    // ECDSA: string curve name ("nistp256"), string point. Empty without a type.
    std::string PublicBlob() const;
    // The signature octets over data: DSA r and s as 20 octets each; RSA the PKCS #1 version 1.5
    // signature (SHA-1 in as many octets as it needs; with algorithm "rsa-sha2-256" or
    // "rsa-sha2-512" that hash, at the modulus's length); Ed25519 64 octets; ECDSA mpint r and
    // mpint s. Empty on failure (no private part, a number that does not fit, an algorithm that
    // is not this key's).
    SecureBytes Sign(const std::uint8_t* data, std::size_t length,
                     std::string_view algorithm = {}) const;
    // Same type and equal public numbers (leading zero octets ignored).
    bool SameKey(const PrivateKey& other) const;

    // The public part of a key from its blob; false for anything but a well-formed blob of one
    // of the key types.
    static bool FromPublicBlob(std::string_view blob, PrivateKey* out);
    // Stores a number as its SSH mpint body (a leading zero when the top bit is set).
    static void SetNumber(SecureBytes* field, const BigNum& value);
};

class PrivateKeyList {
  public:
    // Reads a key file: fills the key and returns a KeyLoadStatus. Key files are read by the
    // key-file loader; until one is installed every file counts as unreadable.
    using FileLoader = std::function<int(const std::string& path, PrivateKey* key)>;

    static PrivateKeyList& Instance();
    static void SetFileLoader(FileLoader loader);

    PrivateKeyList() = default;
    PrivateKeyList(const PrivateKeyList&) = delete;
    PrivateKeyList& operator=(const PrivateKeyList&) = delete;

    std::size_t Count();
    // Iteration under the iteration lock: First takes it, End releases it. Next gives nullptr
    // after the last key.
    std::shared_ptr<const PrivateKey> First();
    std::shared_ptr<const PrivateKey> Next();
    void End();
    // The key at index (0 first), or nullptr.
    std::shared_ptr<const PrivateKey> At(std::size_t index);

    bool Contains(const PrivateKey& key);
    // An entry for path whose stamp equals the file's current last-write time. An entry for path
    // with another stamp is dropped (the file changed) and the answer is no.
    bool Holds(const std::string& path);
    // Loads the file and, when it loads and no equal key is listed, appends it with the path
    // and the file's stamp. Returns the load status.
    int Load(const std::string& path);
    std::shared_ptr<const PrivateKey> Get(const std::string& path);
    // Appends a copy with source "not_from_filesystem" and the current time, unless an equal key
    // is listed. Also what tests use to fill the list in memory.
    void AddFromAgent(const PrivateKey& key);
    std::shared_ptr<const PrivateKey> Find(std::string_view blob);
    bool Remove(std::string_view blob);
    void RemoveAll();

  private:
    struct Entry {
        std::shared_ptr<const PrivateKey> key;
        std::string source;
        std::int64_t stamp = 0;
    };

    bool ContainsLocked(const PrivateKey& key) const;

    // The iteration lock is held across a whole walk; the structure lock for each step.
    Lock iteration_;
    std::mutex structure_;
    std::vector<Entry> entries_;
    std::size_t cursor_ = 0;
};

}  // namespace tarnwick
