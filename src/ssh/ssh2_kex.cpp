#include "ssh/ssh2_kex.h"

#include <cstring>

#include "crypto/rsa.h"
#include "crypto/sha1.h"
#include "crypto/wire.h"

namespace tarnwick {

namespace {

void HashUint32(CSHA1& sha, std::uint32_t v) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    sha.Update(b, 4);
}

void HashString(CSHA1& sha, std::string_view s) {
    HashUint32(sha, static_cast<std::uint32_t>(s.size()));
    sha.Update(s.data(), s.size());
}

bool HashMpint(CSHA1& sha, const BigNum& n) {
    if (!n.ok()) return false;
    SecureBytes wire = n.ToMpint();
    if (wire.empty()) return false;
    sha.Update(wire.data(), wire.size());
    return true;
}

bool Positive(const BigNum& n) {
    return n.ok() && !n.IsNegative() && !n.IsZero();
}

}  // namespace

bool ComputeExchangeHash(const ExchangeHashInput& in, std::uint8_t h[20]) {
    CSHA1 sha;
    HashString(sha, in.v_c);
    HashString(sha, in.v_s);
    HashString(sha, in.i_c);
    HashString(sha, in.i_s);
    HashString(sha, in.k_s);
    if (in.group_exchange) {
        if (in.p == nullptr || in.g == nullptr) return false;
        if (!in.old_gex) HashUint32(sha, kGexMinimum);
        HashUint32(sha, kGexPreferred);
        if (!in.old_gex) HashUint32(sha, kGexMaximum);
        if (!HashMpint(sha, *in.p) || !HashMpint(sha, *in.g)) return false;
    }
    if (in.e == nullptr || in.f == nullptr || in.k == nullptr) return false;
    if (!HashMpint(sha, *in.e) || !HashMpint(sha, *in.f) || !HashMpint(sha, *in.k)) return false;
    sha.Final(h);
    return true;
}

SecureBytes DeriveKey(const BigNum& k, const std::uint8_t h[20], char letter,
                      const std::uint8_t session_id[20], std::size_t length) {
    SecureBytes out;
    SecureBytes k_wire = k.ToMpint();
    CSHA1 prefix;
    prefix.Update(k_wire.data(), k_wire.size());
    prefix.Update(h, 20);
    std::uint8_t block[20];
    CSHA1 sha = prefix;
    const std::uint8_t letter_byte = static_cast<std::uint8_t>(letter);
    sha.Update(&letter_byte, 1);
    sha.Update(session_id, 20);
    sha.Final(block);
    out.insert(out.end(), block, block + 20);
    while (out.size() < length) {
        // K(n+1) = HASH(K || H || K1 || ... || Kn)
        CSHA1 more = prefix;
        more.Update(out.data(), out.size());
        more.Final(block);
        out.insert(out.end(), block, block + 20);
    }
    SecureWipe(block, sizeof block);
    out.resize(length);
    return out;
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

std::string HostKeyProblem(std::string_view algorithm, std::string_view k_s) {
    auto bits = [](const char* what, int have, const char* accepted) {
        return std::string(what) + " has " + std::to_string(have) + " bits (" + accepted +
               " are accepted)";
    };
    if (algorithm == "ssh-rsa") {
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
    if (algorithm == "ssh-dss") {
        DsaKey key;
        if (!ParseDssPublicBlob(k_s, &key)) return "it is not a well-formed ssh-dss key";
        const int q_bits = key.q.BitLength();
        if (q_bits != 160) return bits("its DSA subgroup order q", q_bits, "160");
        const int p_bits = key.p.BitLength();
        if (p_bits < 1024 || p_bits > 3072) return bits("its DSA prime p", p_bits, "1024 to 3072");
        const BigNum one(1u);
        if (!(key.g > one && key.g < key.p && key.y > one && key.y < key.p)) {
            return "its DSA numbers g and y do not lie in the group";
        }
        return {};
    }
    return "its type is not supported";
}

bool VerifyHostKeySignature(std::string_view algorithm, std::string_view k_s,
                            std::string_view signature, const std::uint8_t h[20],
                            bool raw_signature) {
    if (!HostKeyProblem(algorithm, k_s).empty()) return false;
    std::string_view body = signature;
    if (!raw_signature) {
        WireReader r(signature);
        std::string_view name = r.String();
        body = r.String();
        if (!r.done() || name != algorithm) return false;
    }
    if (algorithm == "ssh-rsa") {
        BigNum e, n;
        if (!ParseRsaPublicBlob(k_s, &e, &n)) return false;
        BigNum s;
        if (!s.SetBytes(reinterpret_cast<const std::uint8_t*>(body.data()), body.size())) {
            return false;
        }
        return RsaVerifySha1(h, 20, e, n, s);
    }
    if (algorithm == "ssh-dss") {
        DsaKey key;
        if (!ParseDssPublicBlob(k_s, &key) || body.size() != 40) return false;
        BigNum r, s;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
        if (!r.SetBytes(bytes, 20) || !s.SetBytes(bytes + 20, 20)) return false;
        return DsaVerify(h, 20, r, s, key);
    }
    return false;
}

}  // namespace tarnwick
