#include "ssh/ssh2_kex.h"

#include <cstring>

#include "crypto/curve25519.h"
#include "crypto/ecc.h"
#include "crypto/rsa.h"
#include "crypto/wire.h"

namespace tarnwick {

namespace {

void HashUint32(Hash& hash, std::uint32_t v) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    hash.Update(b, 4);
}

void HashString(Hash& hash, std::string_view s) {
    HashUint32(hash, static_cast<std::uint32_t>(s.size()));
    hash.Update(s.data(), s.size());
}

bool HashMpint(Hash& hash, const BigNum& n) {
    if (!n.ok()) return false;
    SecureBytes wire = n.ToMpint();
    if (wire.empty()) return false;
    hash.Update(wire.data(), wire.size());
    return true;
}

bool Positive(const BigNum& n) {
    return n.ok() && !n.IsNegative() && !n.IsZero();
}

const char* CurveName(EcCurve curve) {
    switch (curve) {
        case EcCurve::kP256:
            return "nistp256";
        case EcCurve::kP384:
            return "nistp384";
        case EcCurve::kP521:
            return "nistp521";
    }
    return "";
}

}  // namespace

bool ComputeExchangeHash(const ExchangeHashInput& in, std::uint8_t* h) {
    std::unique_ptr<Hash> hash = NewKexHash(in.hash);
    if (!hash || in.k == nullptr || in.k->empty()) return false;
    HashString(*hash, in.v_c);
    HashString(*hash, in.v_s);
    HashString(*hash, in.i_c);
    HashString(*hash, in.i_s);
    HashString(*hash, in.k_s);
    if (in.strings) {
        HashString(*hash, in.q_c);
        HashString(*hash, in.q_s);
    } else {
        if (in.group_exchange) {
            if (in.p == nullptr || in.g == nullptr) return false;
            if (!in.old_gex) HashUint32(*hash, in.gex.minimum);
            HashUint32(*hash, in.gex.preferred);
            if (!in.old_gex) HashUint32(*hash, in.gex.maximum);
            if (!HashMpint(*hash, *in.p) || !HashMpint(*hash, *in.g)) return false;
        }
        if (in.e == nullptr || in.f == nullptr) return false;
        if (!HashMpint(*hash, *in.e) || !HashMpint(*hash, *in.f)) return false;
    }
    hash->Update(in.k->data(), in.k->size());
    hash->Final(h);
    return true;
}

SecureBytes DeriveKey(KexHash kind, const SecureBytes& k, const std::uint8_t* h, char letter,
                      const std::uint8_t* session_id, std::size_t length) {
    SecureBytes out;
    const std::size_t size = KexHashSize(kind);
    std::unique_ptr<Hash> prefix = NewKexHash(kind);
    if (!prefix || size == 0) return out;
    prefix->Update(k.data(), k.size());
    prefix->Update(h, size);
    std::uint8_t block[kMaxExchangeHash];
    std::unique_ptr<Hash> hash = prefix->Clone();
    const std::uint8_t letter_byte = static_cast<std::uint8_t>(letter);
    hash->Update(&letter_byte, 1);
    hash->Update(session_id, size);
    hash->Final(block);
    out.insert(out.end(), block, block + size);
    while (out.size() < length) {
        // K(n+1) = HASH(K || H || K1 || ... || Kn)
        hash->CopyStateFrom(*prefix);
        hash->Update(out.data(), out.size());
        hash->Final(block);
        out.insert(out.end(), block, block + size);
    }
    SecureWipe(block, sizeof block);
    out.resize(length);
    return out;
}

SecureBytes SharedSecretAsMpint(const std::uint8_t* bytes, std::size_t length) {
    BigNum k;
    if (!k.SetBytes(bytes, length)) return {};
    SecureBytes wire = k.ToMpint();
    k.SetZero();
    return wire;
}

SecureBytes SharedSecretAsString(const std::uint8_t* bytes, std::size_t length) {
    SecureBytes wire;
    SecureWireWriter(wire).String(bytes, length);
    return wire;
}

bool ParseRsaPublicBlob(std::string_view blob, BigNum* e, BigNum* n) {
    WireReader r(blob);
    if (r.String() != "ssh-rsa") return false;
    *e = r.Mpint();
    *n = r.Mpint();
    return r.done() && Positive(*e) && Positive(*n);
}

bool ParseDssPublicBlob(std::string_view blob, DsaKey* key) {
    WireReader r(blob);
    if (r.String() != "ssh-dss") return false;
    key->p = r.Mpint();
    key->q = r.Mpint();
    key->g = r.Mpint();
    key->y = r.Mpint();
    key->x.SetZero();
    return r.done() && Positive(key->p) && Positive(key->q) && Positive(key->g) && Positive(key->y);
}

bool ParseEd25519PublicBlob(std::string_view blob, std::string_view* key) {
    WireReader r(blob);
    if (r.String() != "ssh-ed25519") return false;
    *key = r.String();
    return r.done() && key->size() == Ed25519PublicKey::kKeySize;
}

bool ParseEcdsaPublicBlob(std::string_view blob, EcCurve curve, std::string_view* point) {
    WireReader r(blob);
    const std::string_view name = r.String();
    const std::string_view curve_name = r.String();
    *point = r.String();
    return r.done() && name == std::string("ecdsa-sha2-") + CurveName(curve) &&
           curve_name == CurveName(curve) && point->size() == EcPointSize(curve);
}

namespace {

// An ECDSA host-key blob of the algorithm's curve whose point lies on that curve.
bool EcdsaHostKey(const HostKeyInfo& info, std::string_view k_s, EcPublicKey* key) {
    std::string_view point;
    return ParseEcdsaPublicBlob(k_s, info.curve, &point) &&
           key->SetPoint(info.curve, reinterpret_cast<const std::uint8_t*>(point.data()),
                         point.size());
}

}  // namespace

std::string HostKeyProblem(std::string_view algorithm, std::string_view k_s) {
    auto bits = [](const char* what, int have, const char* accepted) {
        return std::string(what) + " has " + std::to_string(have) + " bits (" + accepted +
               " are accepted)";
    };
    const HostKeyInfo* info = FindHostKeyNamed(algorithm);
    if (info == nullptr) return "its type is not supported";
    switch (info->kind) {
        case HostKeyKind::kRsa: {
            BigNum e, n;
            if (!ParseRsaPublicBlob(k_s, &e, &n)) return "it is not a well-formed ssh-rsa key";
            const int n_bits = n.BitLength();
            if (n_bits < 1024 || n_bits > 16384) {
                return bits("its RSA modulus", n_bits, "1024 to 16384");
            }
            if (!e.IsOdd() || e < BigNum(3u) || e.BitLength() > 32) {
                return "its RSA exponent is not an odd number from 3 to 4294967295";
            }
            return {};
        }
        case HostKeyKind::kDss: {
            DsaKey key;
            if (!ParseDssPublicBlob(k_s, &key)) return "it is not a well-formed ssh-dss key";
            const int q_bits = key.q.BitLength();
            if (q_bits != 160) return bits("its DSA subgroup order q", q_bits, "160");
            const int p_bits = key.p.BitLength();
            if (p_bits < 1024 || p_bits > 3072) {
                return bits("its DSA prime p", p_bits, "1024 to 3072");
            }
            const BigNum one(1u);
            if (!(key.g > one && key.g < key.p && key.y > one && key.y < key.p)) {
                return "its DSA numbers g and y do not lie in the group";
            }
            return {};
        }
        case HostKeyKind::kEd25519: {
            std::string_view key;
            if (!ParseEd25519PublicBlob(k_s, &key))
                return "it is not a well-formed ssh-ed25519 key";
            return {};
        }
        case HostKeyKind::kEcdsa: {
            EcPublicKey key;
            if (!EcdsaHostKey(*info, k_s, &key)) {
                return std::string("it is not a well-formed ") + info->name + " key";
            }
            return {};
        }
    }
    return "its type is not supported";
}

bool VerifyHostKeySignature(std::string_view algorithm, std::string_view k_s,
                            std::string_view signature, const std::uint8_t* h, std::size_t h_length,
                            bool raw_signature) {
    const HostKeyInfo* info = FindHostKeyNamed(algorithm);
    if (info == nullptr || !HostKeyProblem(algorithm, k_s).empty()) return false;
    std::string_view body = signature;
    if (raw_signature) {
        // The old servers with bare signatures knew only the SHA-1 algorithms.
        if (info->id != 0 && info->id != 1) return false;
    } else {
        WireReader r(signature);
        std::string_view name = r.String();
        body = r.String();
        if (!r.done() || name != algorithm) return false;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
    switch (info->kind) {
        case HostKeyKind::kRsa: {
            BigNum e, n, s;
            if (!ParseRsaPublicBlob(k_s, &e, &n) || !s.SetBytes(bytes, body.size())) return false;
            if (algorithm == "rsa-sha2-512") return RsaVerifySha512(h, h_length, e, n, s);
            if (algorithm == "rsa-sha2-256") return RsaVerifySha256(h, h_length, e, n, s);
            return RsaVerifySha1(h, h_length, e, n, s);
        }
        case HostKeyKind::kDss: {
            DsaKey key;
            if (!ParseDssPublicBlob(k_s, &key) || body.size() != 40) return false;
            BigNum r, s;
            if (!r.SetBytes(bytes, 20) || !s.SetBytes(bytes + 20, 20)) return false;
            return DsaVerify(h, h_length, r, s, key);
        }
        case HostKeyKind::kEd25519: {
            std::string_view key_bytes;
            Ed25519PublicKey key;
            return ParseEd25519PublicBlob(k_s, &key_bytes) &&
                   key.Set(reinterpret_cast<const std::uint8_t*>(key_bytes.data()),
                           key_bytes.size()) &&
                   key.Verify(h, h_length, bytes, body.size());
        }
        case HostKeyKind::kEcdsa: {
            EcPublicKey key;
            if (!EcdsaHostKey(*info, k_s, &key)) return false;
            // The signature body: mpint r, mpint s (RFC 5656 section 3.1.2), both positive.
            WireReader r(body);
            const BigNum r_number = r.Mpint();
            const BigNum s_number = r.Mpint();
            if (!r.done() || !Positive(r_number) || !Positive(s_number)) return false;
            const SecureBytes r_bytes = r_number.ToBytes();
            const SecureBytes s_bytes = s_number.ToBytes();
            return key.Verify(h, h_length, r_bytes.data(), r_bytes.size(), s_bytes.data(),
                              s_bytes.size());
        }
    }
    return false;
}

}  // namespace tarnwick
