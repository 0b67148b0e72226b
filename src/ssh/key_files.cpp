#include "ssh/key_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "crypto/aes_ctr.h"
#include "crypto/bcrypt_pbkdf.h"
#include "crypto/ber.h"
#include "crypto/curve25519.h"
#include "crypto/d3des.h"
#include "crypto/ecc.h"
#include "crypto/md5.h"
#include "crypto/pbkdf2.h"
#include "crypto/pem.h"
#include "crypto/rijndael.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"
#include "crypto/wire.h"
#include "platform/user_interface.h"

namespace tarnwick {
namespace {

// Key files are a few kilobytes; a 16384-bit RSA key in PEM is under 13.
constexpr std::size_t kMaxKeyFileSize = 1024 * 1024;
// Beyond these sizes the consistency checks would cost more than any real key needs.
constexpr int kMaxRsaBits = 16384;
constexpr int kMaxDsaBits = 4096;

constexpr char kOpenSshMagic[] = "openssh-key-v1";  // followed by a zero byte

// A parse that went wrong: a wrong passphrase when the data was decrypted with one, otherwise a
// file that cannot load.
struct Outcome {
    bool encrypted = false;
    std::string* why = nullptr;

    int Unusable(const std::string& reason) const {
        *why = reason;
        return kKeyUnusable;
    }
    // The data does not hold what it should: after decryption that is a wrong passphrase.
    int Bad(const std::string& reason) const {
        if (encrypted) {
            *why = "the passphrase is wrong";
            return kKeyInvalid;
        }
        return Unusable(reason);
    }
};

SecureBytes Bytes(std::string_view view) {
    return SecureBytes(view.begin(), view.end());
}

SecureBytes Bytes(BerBytes span) {
    return SecureBytes(span.begin(), span.end());
}

// A non-negative INTEGER's magnitude as an mpint body: a zero octet in front of a set top bit, so
// that public-key blobs come out as other programs write them.
SecureBytes Unsigned(BerBytes magnitude) {
    SecureBytes out;
    out.reserve(magnitude.size() + 1);
    if (!magnitude.empty() && (magnitude[0] & 0x80) != 0) out.push_back(0);
    out.insert(out.end(), magnitude.begin(), magnitude.end());
    return out;
}

BigNum Number(const SecureBytes& bytes) {
    BigNum n;
    if (!n.SetBytes(bytes.data(), bytes.size())) return BigNum::Invalid();
    return n;
}

// ---- Consistency of what a file holds ----

// n = p q and e d = 1 modulo p - 1 and q - 1 (so modulo their least common multiple). Fills in the
// CRT exponents a form may leave out.
bool CompleteRsa(PrivateKey* key) {
    const BigNum n = Number(key->rsa_n), e = Number(key->rsa_e), d = Number(key->rsa_d);
    const BigNum p = Number(key->rsa_p), q = Number(key->rsa_q);
    if (!n.ok() || !e.ok() || !d.ok() || !p.ok() || !q.ok()) return false;
    if (n.BitLength() > kMaxRsaBits || n.BitLength() < 512) return false;
    BigNum one;
    one.SetInt(1);
    if (p <= one || q <= one || e <= one || d <= one) return false;
    if (p * q != n) return false;
    const BigNum p1 = p - one, q1 = q - one;
    const BigNum ed = e * d;
    if (!(ed % p1).IsOne() || !(ed % q1).IsOne()) return false;
    PrivateKey::SetNumber(&key->rsa_dmp1, d % p1);
    PrivateKey::SetNumber(&key->rsa_dmq1, d % q1);
    if (key->rsa_iqmp.empty()) {
        BigNum iqmp;
        if (!ModInverse(q, p, &iqmp)) return false;
        PrivateKey::SetNumber(&key->rsa_iqmp, iqmp);
    }
    key->type = kKeyRSA;
    return true;
}

// y = g^x mod p, with 1 < g < p and 0 < x < q. An empty y is computed.
bool CompleteDsa(PrivateKey* key) {
    const BigNum p = Number(key->dsa_p), q = Number(key->dsa_q), g = Number(key->dsa_g);
    const BigNum x = Number(key->dsa_x);
    if (!p.ok() || !q.ok() || !g.ok() || !x.ok()) return false;
    if (p.BitLength() > kMaxDsaBits || p.BitLength() < 512 || q.BitLength() > 512) return false;
    BigNum one;
    one.SetInt(1);
    if (g <= one || g >= p || x.IsZero() || x >= q || !p.IsOdd()) return false;
    BigNum y;
    if (!ModExpSecret(g, x, p, &y)) return false;
    if (key->dsa_y.empty()) {
        PrivateKey::SetNumber(&key->dsa_y, y);
    } else if (Number(key->dsa_y) != y) {
        return false;
    }
    key->type = kKeyDSA;
    return true;
}

// The scalar gives the point (which is filled in when the form left it out).
bool CompleteEcdsa(EcCurve curve, PrivateKey* key) {
    EcPrivateKey ec;
    // Scalars may carry a leading zero (mpints) or lack leading zeros (INTEGERs, some writers).
    SecureBytes scalar(EcScalarSize(curve), 0);
    std::size_t skip = 0;
    while (skip < key->ecdsa_scalar.size() && key->ecdsa_scalar[skip] == 0)
        ++skip;
    const std::size_t length = key->ecdsa_scalar.size() - skip;
    if (length == 0 || length > scalar.size()) return false;
    std::copy(key->ecdsa_scalar.begin() + static_cast<long>(skip), key->ecdsa_scalar.end(),
              scalar.end() - static_cast<long>(length));
    if (!ec.SetScalar(curve, scalar.data(), scalar.size())) return false;
    const std::vector<std::uint8_t>& point = ec.Public().Point();
    if (key->ecdsa_point.empty()) {
        key->ecdsa_point.assign(point.begin(), point.end());
    } else if (key->ecdsa_point.size() != point.size() ||
               !std::equal(point.begin(), point.end(), key->ecdsa_point.begin())) {
        return false;
    }
    key->ecdsa_scalar = std::move(scalar);
    key->ecdsa_curve = curve;
    key->type = kKeyECDSA;
    return true;
}

// The seed gives the public key (filled in when the form left it out).
bool CompleteEd25519(PrivateKey* key) {
    Ed25519PrivateKey ed;
    if (!ed.SetSeed(key->ed25519_seed.data(), key->ed25519_seed.size())) return false;
    const std::uint8_t* derived = ed.Public().Bytes();
    if (key->ed25519_public.empty()) {
        key->ed25519_public.assign(derived, derived + Ed25519PublicKey::kKeySize);
    } else if (key->ed25519_public.size() != Ed25519PublicKey::kKeySize ||
               !std::equal(derived, derived + Ed25519PublicKey::kKeySize,
                           key->ed25519_public.begin())) {
        return false;
    }
    key->type = kKeyEd25519;
    return true;
}

// ---- Ciphers ----

struct CipherInfo {
    const char* name;  // as the file names it
    std::size_t keyLength;
    std::size_t ivLength;
    bool counter;  // CTR (no padding) rather than CBC
};

constexpr CipherInfo kPemCiphers[] = {
    {"DES-EDE3-CBC", 24, 8, false},
    {"AES-128-CBC", 16, 16, false},
    {"AES-192-CBC", 24, 16, false},
    {"AES-256-CBC", 32, 16, false},
};

constexpr CipherInfo kOpenSshCiphers[] = {
    {"aes128-ctr", 16, 16, true},  {"aes192-ctr", 24, 16, true},  {"aes256-ctr", 32, 16, true},
    {"aes128-cbc", 16, 16, false}, {"aes192-cbc", 24, 16, false}, {"aes256-cbc", 32, 16, false},
};

template <std::size_t N>
const CipherInfo* FindCipher(const CipherInfo (&table)[N], std::string_view name) {
    for (const CipherInfo& info : table) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

// Decrypts in place; data is a whole number of blocks (CBC) or any length (CTR).
void Decrypt(const CipherInfo& info, const std::uint8_t* key, const std::uint8_t* iv,
             SecureBytes* data) {
    std::unique_ptr<Encryptor> cipher;
    if (info.counter) {
        cipher = std::make_unique<AesCtr>();
    } else if (info.ivLength == 8) {
        cipher = std::make_unique<D3Des>(0, 1);
    } else {
        cipher = std::make_unique<Rijndael>();
    }
    cipher->SetDirection(0);
    if (!cipher->SetKey(key, info.keyLength) || !cipher->SetIV(iv, info.ivLength)) {
        SecureWipe(data->data(), data->size());
        return;
    }
    cipher->Decrypt(data->data(), data->size());
}

// PKCS #7 padding of CBC data; false when it is not there (most often a wrong passphrase).
bool StripPadding(SecureBytes* data, std::size_t block) {
    if (data->empty()) return false;
    const std::uint8_t pad = data->back();
    if (pad == 0 || pad > block || pad > data->size()) return false;
    for (std::size_t i = data->size() - pad; i < data->size(); ++i) {
        if ((*data)[i] != pad) return false;
    }
    data->resize(data->size() - pad);
    return true;
}

bool HexToBytes(std::string_view hex, std::uint8_t* out, std::size_t length) {
    if (hex.size() != 2 * length) return false;
    for (std::size_t i = 0; i < 2 * length; ++i) {
        const char c = hex[i];
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else {
            return false;
        }
        out[i / 2] = static_cast<std::uint8_t>(i % 2 ? (out[i / 2] << 4) | v : v);
    }
    return true;
}

// ---- DER structures ----

// RSAPrivateKey (PKCS #1): version, n, e, d, p, q, dmp1, dmq1, iqmp.
bool ReadRsaDer(BerBytes der, PrivateKey* key) {
    BerReader file(der);
    BerReader seq = file.Sequence();
    seq.SmallInteger();  // version
    SecureBytes* fields[] = {&key->rsa_n, &key->rsa_e,    &key->rsa_d,    &key->rsa_p,
                             &key->rsa_q, &key->rsa_dmp1, &key->rsa_dmq1, &key->rsa_iqmp};
    for (SecureBytes* field : fields)
        *field = Unsigned(seq.UnsignedInteger());
    // Two-prime keys only; "other prime infos" are refused.
    return seq.done() && file.done() && CompleteRsa(key);
}

// The traditional DSA form: version, p, q, g, y, x.
bool ReadDsaDer(BerBytes der, PrivateKey* key) {
    BerReader file(der);
    BerReader seq = file.Sequence();
    seq.SmallInteger();
    SecureBytes* fields[] = {&key->dsa_p, &key->dsa_q, &key->dsa_g, &key->dsa_y, &key->dsa_x};
    for (SecureBytes* field : fields)
        *field = Unsigned(seq.UnsignedInteger());
    return seq.done() && file.done() && CompleteDsa(key);
}

bool CurveFromOid(BerBytes oid, EcCurve* curve) {
    if (OidEquals(oid, "1.2.840.10045.3.1.7")) {
        *curve = EcCurve::kP256;
    } else if (OidEquals(oid, "1.3.132.0.34")) {
        *curve = EcCurve::kP384;
    } else if (OidEquals(oid, "1.3.132.0.35")) {
        *curve = EcCurve::kP521;
    } else {
        return false;
    }
    return true;
}

// ECPrivateKey (SEC 1): version 1, the scalar, [0] the curve, [1] the public point. Inside PKCS #8
// the curve comes from the algorithm (known is true) and [0] may be left out.
bool ReadEcDer(BerBytes der, bool known, EcCurve curve, PrivateKey* key) {
    BerReader file(der);
    BerReader seq = file.Sequence();
    if (seq.SmallInteger() != 1) return false;
    key->ecdsa_scalar = Bytes(seq.OctetString());
    if (seq.NextIs(BerTag::Context(0, true))) {
        BerReader parameters = seq.Explicit(0);
        EcCurve named;
        if (!CurveFromOid(parameters.ObjectIdentifierBytes(), &named) || !parameters.done()) {
            return false;
        }
        if (known && named != curve) return false;
        curve = named;
        known = true;
    }
    if (seq.NextIs(BerTag::Context(1, true))) {
        BerReader point = seq.Explicit(1);
        BerBitString bits = point.BitString();
        if (!point.done() || bits.unusedBits != 0) return false;
        key->ecdsa_point = Bytes(bits.bytes);
    }
    return known && seq.done() && file.done() && CompleteEcdsa(curve, key);
}

// PrivateKeyInfo (PKCS #8): version, algorithm, the key in an OCTET STRING, optional attributes
// and public key.
bool ReadPkcs8(BerBytes der, PrivateKey* key) {
    BerReader file(der);
    BerReader seq = file.Sequence();
    const std::int64_t version = seq.SmallInteger();
    BerReader algorithm = seq.Sequence();
    const BerBytes oid = algorithm.ObjectIdentifierBytes();
    const BerBytes inner = seq.OctetString();
    while (!seq.AtEnd())
        seq.Skip();
    if ((version != 0 && version != 1) || !seq.done() || !file.done()) return false;
    if (OidEquals(oid, "1.2.840.113549.1.1.1")) {
        if (!algorithm.AtEnd()) algorithm.Null();
        return algorithm.done() && ReadRsaDer(inner, key);
    }
    if (OidEquals(oid, "1.2.840.10040.4.1")) {
        BerReader parameters = algorithm.Sequence();
        key->dsa_p = Unsigned(parameters.UnsignedInteger());
        key->dsa_q = Unsigned(parameters.UnsignedInteger());
        key->dsa_g = Unsigned(parameters.UnsignedInteger());
        BerReader x(inner);
        key->dsa_x = Unsigned(x.UnsignedInteger());
        return parameters.done() && algorithm.done() && x.done() && CompleteDsa(key);
    }
    if (OidEquals(oid, "1.2.840.10045.2.1")) {
        EcCurve curve;
        if (!CurveFromOid(algorithm.ObjectIdentifierBytes(), &curve) || !algorithm.done()) {
            return false;
        }
        return ReadEcDer(inner, true, curve, key);
    }
    if (OidEquals(oid, "1.3.101.112")) {
        BerReader seed(inner);
        key->ed25519_seed = Bytes(seed.OctetString());
        return algorithm.done() && seed.done() &&
               key->ed25519_seed.size() == Ed25519PrivateKey::kSeedSize && CompleteEd25519(key);
    }
    return false;
}

// What a PKCS #8 file's algorithm is, for a clear refusal of kinds that cannot be used.
bool Pkcs8AlgorithmKnown(BerBytes der) {
    BerReader seq = BerReader(der).Sequence();
    seq.SmallInteger();
    BerReader algorithm = seq.Sequence();
    const BerBytes oid = algorithm.ObjectIdentifierBytes();
    if (seq.failed()) return true;  // damaged: said as such later
    return OidEquals(oid, "1.2.840.113549.1.1.1") || OidEquals(oid, "1.2.840.10040.4.1") ||
           OidEquals(oid, "1.2.840.10045.2.1") || OidEquals(oid, "1.3.101.112");
}

// ---- The forms ----

SecureBytes AskOnce(const PassphraseSource& ask, bool* cancelled) {
    std::optional<SecureBytes> answer = ask ? ask() : std::nullopt;
    *cancelled = !answer;
    return answer ? std::move(*answer) : SecureBytes();
}

// EVP_BytesToKey with MD5 and one iteration, salted with the first 8 octets of the IV: what the
// traditional form uses. D1 = MD5(pass, salt), Di = MD5(Di-1, pass, salt).
SecureBytes TraditionalKey(const SecureBytes& passphrase, const std::uint8_t* salt,
                           std::size_t length) {
    SecureBytes key;
    std::uint8_t digest[CMD5::kDigestSize];
    bool first = true;
    while (key.size() < length) {
        CMD5 md5;
        if (!first) md5.Update(digest, sizeof(digest));
        md5.Update(passphrase.data(), passphrase.size());
        md5.Update(salt, 8);
        md5.Final(digest);
        key.insert(key.end(), digest, digest + sizeof(digest));
        first = false;
    }
    SecureWipe(digest, sizeof(digest));
    key.resize(length);
    return key;
}

int ReadTraditional(const PemBlock& block, const PassphraseSource& ask, PrivateKey* key,
                    std::string* why) {
    Outcome outcome{false, why};
    SecureBytes der = block.body;
    const std::string* dek = block.Header("DEK-Info");
    const std::string* proc = block.Header("Proc-Type");
    if (dek != nullptr && *dek != "NONE") {
        const std::size_t comma = dek->find(',');
        const std::string name = dek->substr(0, comma);
        const CipherInfo* cipher = FindCipher(kPemCiphers, name);
        if (cipher == nullptr) {
            return outcome.Unusable("it is encrypted with " + name.substr(0, 64) +
                                    ", which this program cannot decrypt");
        }
        std::uint8_t iv[16];
        if (comma == std::string::npos ||
            !HexToBytes(std::string_view(*dek).substr(comma + 1), iv, cipher->ivLength) ||
            der.empty() || der.size() % cipher->ivLength != 0) {
            return outcome.Unusable("its encryption header or body is damaged");
        }
        bool cancelled = false;
        SecureBytes passphrase = AskOnce(ask, &cancelled);
        if (cancelled) return kKeyCancelled;
        SecureBytes secret = TraditionalKey(passphrase, iv, cipher->keyLength);
        Decrypt(*cipher, secret.data(), iv, &der);
        outcome.encrypted = true;
        if (!StripPadding(&der, cipher->ivLength)) return outcome.Bad("");
    } else if (proc != nullptr && proc->find("ENCRYPTED") != std::string::npos) {
        return outcome.Unusable("it says it is encrypted but does not say how");
    }
    bool read = false;
    if (block.label == "RSA PRIVATE KEY") {
        read = ReadRsaDer(der, key);
    } else if (block.label == "DSA PRIVATE KEY") {
        read = ReadDsaDer(der, key);
    } else {
        read = ReadEcDer(der, false, EcCurve::kP256, key);
    }
    if (!read) return outcome.Bad("its key numbers are damaged or do not belong together");
    return kKeyLoaded;
}

int ReadPkcs8Clear(const PemBlock& block, PrivateKey* key, std::string* why) {
    Outcome outcome{false, why};
    if (!Pkcs8AlgorithmKnown(block.body)) {
        return outcome.Unusable("it holds a kind of key this program cannot use");
    }
    if (!ReadPkcs8(block.body, key)) {
        return outcome.Unusable("its key numbers are damaged or do not belong together");
    }
    return kKeyLoaded;
}

int ReadPkcs8Encrypted(const PemBlock& block, const PassphraseSource& ask, PrivateKey* key,
                       std::string* why, std::uint32_t maxIterations) {
    Outcome outcome{false, why};
    BerReader file(block.body);
    BerReader seq = file.Sequence();
    BerReader algorithm = seq.Sequence();
    const BerBytes scheme = algorithm.ObjectIdentifierBytes();
    if (!algorithm.failed() && !OidEquals(scheme, "1.2.840.113549.1.5.13")) {
        return outcome.Unusable(
            "it is protected with an old scheme this program does not read (convert it with "
            "\"openssl pkcs8 -topk8 -v2 aes256\")");
    }
    BerReader parameters = algorithm.Sequence();
    BerReader kdf = parameters.Sequence();
    const BerBytes kdfOid = kdf.ObjectIdentifierBytes();
    if (!kdf.failed() && !OidEquals(kdfOid, "1.2.840.113549.1.5.12")) {
        return outcome.Unusable("its passphrase is stretched with a function other than PBKDF2");
    }
    BerReader kdfParameters = kdf.Sequence();
    const BerBytes salt = kdfParameters.OctetString();
    const std::int64_t iterations = kdfParameters.SmallInteger();
    std::int64_t keyLength = -1;
    if (kdfParameters.NextIs(BerTag::Universal(kBerInteger))) {
        keyLength = kdfParameters.SmallInteger();
    }
    std::unique_ptr<Hash> prf = std::make_unique<CSHA1>();  // the default
    bool prfRead = true;
    if (!kdfParameters.AtEnd()) {
        BerReader prfAlgorithm = kdfParameters.Sequence();
        const BerBytes prfOid = prfAlgorithm.ObjectIdentifierBytes();
        if (!prfAlgorithm.AtEnd()) prfAlgorithm.Null();
        if (OidEquals(prfOid, "1.2.840.113549.2.9")) {
            prf = std::make_unique<CSHA256>();
        } else if (OidEquals(prfOid, "1.2.840.113549.2.10")) {
            prf = std::make_unique<CSHA384>();
        } else if (OidEquals(prfOid, "1.2.840.113549.2.11")) {
            prf = std::make_unique<CSHA512>();
        } else if (!OidEquals(prfOid, "1.2.840.113549.2.7") && !prfAlgorithm.failed()) {
            return outcome.Unusable(
                "its passphrase is hashed with a function this program "
                "does not know");
        }
        prfRead = prfAlgorithm.done();
    }
    BerReader encryption = parameters.Sequence();
    const BerBytes cipherOid = encryption.ObjectIdentifierBytes();
    const CipherInfo* cipher = nullptr;
    if (OidEquals(cipherOid, "2.16.840.1.101.3.4.1.2")) {
        cipher = &kPemCiphers[1];
    } else if (OidEquals(cipherOid, "2.16.840.1.101.3.4.1.22")) {
        cipher = &kPemCiphers[2];
    } else if (OidEquals(cipherOid, "2.16.840.1.101.3.4.1.42")) {
        cipher = &kPemCiphers[3];
    } else if (OidEquals(cipherOid, "1.2.840.113549.3.7")) {
        cipher = &kPemCiphers[0];
    } else if (!encryption.failed()) {
        return outcome.Unusable("it is encrypted with a cipher this program does not know");
    }
    const BerBytes iv = encryption.OctetString();
    SecureBytes data = Bytes(seq.OctetString());
    if (!prfRead || !kdfParameters.done() || !kdf.done() || !encryption.done() ||
        !parameters.done() || !algorithm.done() || !seq.done() || !file.done() ||
        cipher == nullptr || iv.size() != cipher->ivLength || data.empty() ||
        data.size() % cipher->ivLength != 0 || salt.empty() ||
        (keyLength != -1 && keyLength != static_cast<int>(cipher->keyLength))) {
        return outcome.Unusable("its encryption parameters are damaged");
    }
    if (iterations < 1 || iterations > maxIterations) {
        return outcome.Unusable("it asks for " + std::to_string(iterations) +
                                " rounds of passphrase hashing, more than this program allows");
    }
    bool cancelled = false;
    SecureBytes passphrase = AskOnce(ask, &cancelled);
    if (cancelled) return kKeyCancelled;
    SecureBytes secret(cipher->keyLength);
    if (!Pbkdf2(*prf, passphrase.data(), passphrase.size(), salt.data(), salt.size(),
                static_cast<std::uint32_t>(iterations), secret.data(), secret.size())) {
        return outcome.Unusable("its encryption parameters are damaged");
    }
    Decrypt(*cipher, secret.data(), iv.data(), &data);
    outcome.encrypted = true;
    if (!StripPadding(&data, cipher->ivLength)) return outcome.Bad("");
    // Decrypted well-formed, but of a kind we cannot use: asking again would not help.
    if (!Pkcs8AlgorithmKnown(data)) {
        return outcome.Unusable("it holds a kind of key this program cannot use");
    }
    if (!ReadPkcs8(data, key)) return outcome.Bad("");
    return kKeyLoaded;
}

}  // namespace

bool ReadWireKey(WireReader& in, PrivateKey* key) {
    const std::string_view type = in.String();
    bool read = false;
    if (type == "ssh-ed25519") {
        const std::string_view pub = in.String(), both = in.String();
        if (!in.failed() && pub.size() == 32 && both.size() == 64 && both.substr(32) == pub) {
            key->ed25519_public = Bytes(pub);
            key->ed25519_seed = Bytes(both.substr(0, 32));
            read = CompleteEd25519(key);
        }
    } else if (type == "ssh-rsa") {
        SecureBytes* fields[] = {&key->rsa_n,    &key->rsa_e, &key->rsa_d,
                                 &key->rsa_iqmp, &key->rsa_p, &key->rsa_q};
        for (SecureBytes* field : fields)
            *field = Bytes(in.String());
        read = !in.failed() && CompleteRsa(key);
    } else if (type == "ssh-dss") {
        SecureBytes* fields[] = {&key->dsa_p, &key->dsa_q, &key->dsa_g, &key->dsa_y, &key->dsa_x};
        for (SecureBytes* field : fields)
            *field = Bytes(in.String());
        read = !in.failed() && CompleteDsa(key);
    } else if (type.starts_with("ecdsa-sha2-nistp")) {
        const std::string_view curveName = in.String();
        key->ecdsa_point = Bytes(in.String());
        key->ecdsa_scalar = Bytes(in.String());
        EcCurve curve = EcCurve::kP256;
        bool named = true;
        if (curveName == "nistp384") {
            curve = EcCurve::kP384;
        } else if (curveName == "nistp521") {
            curve = EcCurve::kP521;
        } else if (curveName != "nistp256") {
            named = false;
        }
        read = named && !in.failed() && type.substr(11) == curveName && CompleteEcdsa(curve, key);
    }
    return read;
}

namespace {

// The private section of the OpenSSH form: check words, one key, its comment, padding 1, 2, 3...
int ReadOpenSshPrivate(const SecureBytes& section, std::string_view publicBlob,
                       const Outcome& outcome, PrivateKey* key) {
    WireReader in(section.data(), section.size());
    const std::uint32_t check1 = in.Uint32(), check2 = in.Uint32();
    if (in.failed() || check1 != check2) return outcome.Bad("its private part is damaged");
    const std::string damaged = "its key numbers are damaged or do not belong together";
    const bool read = ReadWireKey(in, key);
    if (!read) return outcome.Bad(damaged);
    const std::string_view comment = in.String();
    const std::string_view padding = in.rest();
    bool padded = !in.failed() && padding.size() < 16;
    for (std::size_t i = 0; i < padding.size(); ++i)
        padded = padded && static_cast<std::uint8_t>(padding[i]) == i + 1;
    if (!padded) return outcome.Bad("its private part is damaged");
    // The public key in the clear must be the one the private part gives.
    if (key->PublicBlob() != publicBlob) return outcome.Bad(damaged);
    key->comment.assign(comment);
    return kKeyLoaded;
}

int ReadOpenSsh(const PemBlock& block, const PassphraseSource& ask, PrivateKey* key,
                std::string* why, std::uint32_t maxRounds) {
    Outcome outcome{false, why};
    const std::string_view body(reinterpret_cast<const char*>(block.body.data()),
                                block.body.size());
    if (!body.starts_with(std::string_view(kOpenSshMagic, sizeof(kOpenSshMagic)))) {
        return outcome.Unusable("it does not start as an OpenSSH key file should");
    }
    WireReader in(body.substr(sizeof(kOpenSshMagic)));
    const std::string_view cipherName = in.String(), kdfName = in.String();
    const std::string_view kdfOptions = in.String();
    const std::uint32_t count = in.Uint32();
    const std::string_view publicBlob = in.String();
    SecureBytes section = Bytes(in.String());
    if (in.failed()) return outcome.Unusable("it is damaged (a field runs past its end)");
    const CipherInfo* cipher = FindCipher(kOpenSshCiphers, cipherName);
    if (cipher == nullptr && cipherName != "none") {
        return outcome.Unusable("it is encrypted with " + std::string(cipherName.substr(0, 64)) +
                                ", which this program cannot decrypt (\"ssh-keygen -p -Z "
                                "aes256-ctr -f FILE\" re-encrypts it)");
    }
    // AEAD ciphers put their tag after the section; none of ours does.
    if (!in.done()) return outcome.Unusable("it is damaged (data after its last field)");
    if (count != 1) {
        return outcome.Unusable("it holds " + std::to_string(count) +
                                " keys; only files with one key can be read");
    }
    PrivateKey wanted;
    if (!PrivateKey::FromPublicBlob(publicBlob, &wanted)) {
        WireReader type(publicBlob);
        return outcome.Unusable("it holds a key of type \"" +
                                std::string(type.String().substr(0, 64)) +
                                "\", which this program cannot use");
    }
    if (cipherName == "none") {
        if (kdfName != "none") return outcome.Unusable("its encryption header is damaged");
        if (section.size() % 8 != 0) return outcome.Unusable("its private part is damaged");
        return ReadOpenSshPrivate(section, publicBlob, outcome, key);
    }
    if (kdfName != "bcrypt") {
        return outcome.Unusable("its passphrase is stretched with \"" +
                                std::string(kdfName.substr(0, 64)) +
                                "\", which this program does not know");
    }
    WireReader options(kdfOptions);
    const std::string_view salt = options.String();
    const std::uint32_t rounds = options.Uint32();
    if (!options.done() || salt.empty() || rounds == 0 || section.empty() ||
        section.size() % 16 != 0) {
        return outcome.Unusable("its encryption header is damaged");
    }
    if (rounds > maxRounds) {
        return outcome.Unusable("it asks for " + std::to_string(rounds) +
                                " rounds of passphrase hashing, more than this program allows");
    }
    bool cancelled = false;
    SecureBytes passphrase = AskOnce(ask, &cancelled);
    if (cancelled) return kKeyCancelled;
    outcome.encrypted = true;
    SecureBytes secret(cipher->keyLength + cipher->ivLength);
    if (!BcryptPbkdf(passphrase.data(), passphrase.size(),
                     reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size(), rounds,
                     secret.data(), secret.size())) {
        return outcome.Bad("");  // an empty passphrase
    }
    Decrypt(*cipher, secret.data(), secret.data() + cipher->keyLength, &section);
    return ReadOpenSshPrivate(section, publicBlob, outcome, key);
}

// Passphrase prompts say "(incorrect)" after a wrong one for the same file.
std::mutex& PromptMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& LastWrongPath() {
    static std::string path;
    return path;
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

int Refuse(const std::string& path, const std::string& reason) {
    Ui().ShowMessage("Error", "The key file " + path + " cannot be used: " + reason + ".");
    return kKeyUnusable;
}

}  // namespace

int ParseKeyFile(std::string_view text, const PassphraseSource& ask, PrivateKey* key,
                 std::string* why, const KeyFileWorkLimits& limits) {
    std::string ignored;
    if (why == nullptr) why = &ignored;
    *key = PrivateKey();
    PemReader reader(text);
    PemBlock block;
    PemStatus status;
    while ((status = reader.Next(&block)) == PemStatus::kOk) {
        if (block.label.ends_with("PRIVATE KEY")) break;
    }
    if (status != PemStatus::kOk) {
        std::string_view start = text.substr(0, 64);
        while (!start.empty() && (start.front() == ' ' || start.front() == '\n'))
            start.remove_prefix(1);
        if (start.starts_with("ssh-") || start.starts_with("ecdsa-")) {
            *why = "it holds only a public key (the private key is the file without \".pub\")";
        } else if (status != PemStatus::kEnd) {
            *why = std::string("it is damaged: ") + PemStatusText(status);
        } else {
            *why = "it is not in a key-file form this program reads (OpenSSH, PEM or PKCS #8)";
        }
        return kKeyUnusable;
    }
    int result;
    if (block.label == "OPENSSH PRIVATE KEY") {
        result = ReadOpenSsh(block, ask, key, why, std::min(limits.bcryptRounds, kBcryptMaxRounds));
    } else if (block.label == "RSA PRIVATE KEY" || block.label == "DSA PRIVATE KEY" ||
               block.label == "EC PRIVATE KEY") {
        result = ReadTraditional(block, ask, key, why);
    } else if (block.label == "PRIVATE KEY") {
        result = ReadPkcs8Clear(block, key, why);
    } else if (block.label == "ENCRYPTED PRIVATE KEY") {
        result = ReadPkcs8Encrypted(block, ask, key, why,
                                    std::min(limits.pbkdf2Iterations, kPbkdf2MaxIterations));
    } else {
        *why = "it holds a \"" + block.label.substr(0, 64) + "\", a form this program cannot read";
        result = kKeyUnusable;
    }
    if (result != kKeyLoaded) *key = PrivateKey();
    return result;
}

int LoadKeyFile(const std::string& path, PrivateKey* key) {
    // Non-blocking, so that a path naming a pipe cannot hang the login before it is refused.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Ui().ShowMessage("Error",
                         "The key file " + path + " cannot be opened: " + SystemErrorText(errno));
        return kKeyNoFile;
    }
    struct stat st {};
    SecureBytes contents;
    std::string problem;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = "it is not a regular file";
    } else if ((st.st_mode & 077) != 0) {
        // A key others can read can be attacked offline at leisure; sshd's client refuses such
        // files for the same reason.
        problem = "other users can read it (its permissions are " + ModeText(st.st_mode) +
                  "). Make it private with \"chmod 600 " + path + "\"";
    } else if (static_cast<std::size_t>(st.st_size) > kMaxKeyFileSize) {
        problem = "it is far larger than any key file";
    } else {
        contents.resize(static_cast<std::size_t>(st.st_size));
        std::size_t have = 0;
        while (have < contents.size()) {
            const ssize_t got = read(fd, contents.data() + have, contents.size() - have);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            have += static_cast<std::size_t>(got);
        }
        contents.resize(have);
    }
    close(fd);
    if (!problem.empty()) return Refuse(path, problem);

    PassphraseSource ask = [&path]() -> std::optional<SecureBytes> {
        std::string prompt = "Password ";
        {
            std::lock_guard<std::mutex> guard(PromptMutex());
            if (LastWrongPath() == path) prompt += "(incorrect) ";
        }
        prompt += path.empty() ? "for certificate:" : "for certificate " + path + ":";
        std::optional<std::string> answer = Ui().Prompt(prompt, "", true);
        if (!answer) return std::nullopt;
        SecureBytes passphrase(answer->begin(), answer->end());
        SecureWipe(answer->data(), answer->size());
        return passphrase;
    };
    std::string why;
    const std::string_view text(reinterpret_cast<const char*>(contents.data()), contents.size());
    const int result = ParseKeyFile(text, ask, key, &why);
    {
        std::lock_guard<std::mutex> guard(PromptMutex());
        LastWrongPath() = result == kKeyInvalid ? path : std::string();
    }
    if (result == kKeyUnusable) return Refuse(path, why);
    return result;
}

void InstallKeyFileLoader() {
    PrivateKeyList::SetFileLoader(LoadKeyFile);
}

}  // namespace tarnwick
