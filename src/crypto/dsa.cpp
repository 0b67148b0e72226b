#include "crypto/dsa.h"

#include "crypto/random_generator.h"
#include "crypto/sha1.h"

namespace tarnwick {
namespace {

bool HashNumber(const std::uint8_t* data, std::size_t length, BigNum* h) {
    std::uint8_t digest[CSHA1::kDigestSize];
    CSHA1::Digest(data, length, digest);
    return h->SetBytes(digest, sizeof(digest));
}

bool Positive(const BigNum& v) {
    return v.ok() && !v.IsNegative() && !v.IsZero();
}

bool PublicUsable(const DsaKey& key) {
    return Positive(key.p) && Positive(key.q) && Positive(key.g) && Positive(key.y) &&
           key.q.BitLength() >= 2 && key.p.BitLength() >= 2;
}

// 1 <= v <= q - 1
bool InRange(const BigNum& v, const BigNum& q) {
    return Positive(v) && v < q;
}

}  // namespace

bool DsaSign(const std::uint8_t* data, std::size_t length, const DsaKey& key,
             RandomGenerator& random, BigNum* r, BigNum* s) {
    if (!PublicUsable(key) || !InRange(key.x, key.q)) return false;
    BigNum h;
    if (!HashNumber(data, length, &h)) return false;
    BigNum qMinusOne(key.q);
    if (!qMinusOne.Sub(BigNum(1u)) || qMinusOne.IsZero()) return false;
    const std::size_t draw = key.q.ByteLength() + 8;
    for (int attempt = 0; attempt < 32; ++attempt) {
        // Uniform k in [1, q - 1]: 64 bits more than q has, reduced; the bias is below 2^-64.
        // A nonce with any bias leaks the private key over enough signatures.
        BigNum k;
        if (!k.SetRandom(draw, random) || !k.Mod(qMinusOne) || !k.AddSmall(1)) return false;
        BigNum gk, rr;
        if (!ModExpSecret(key.g, k, key.p, &gk, key.q.BitLength())) return false;
        rr = gk;
        if (!rr.Mod(key.q)) return false;
        if (rr.IsZero()) continue;
        BigNum kInverse;
        if (!ModInverse(k, key.q, &kInverse)) return false;
        BigNum ss(key.x);
        if (!ss.Mul(rr) || !ss.Add(h) || !ss.Mod(key.q) || !ss.Mul(kInverse) || !ss.Mod(key.q)) {
            return false;
        }
        if (ss.IsZero()) continue;
        *r = std::move(rr);
        *s = std::move(ss);
        return true;
    }
    return false;
}

bool DsaVerify(const std::uint8_t* data, std::size_t length, const BigNum& r, const BigNum& s,
               const DsaKey& key) {
    if (!PublicUsable(key) || !InRange(r, key.q) || !InRange(s, key.q)) return false;
    BigNum h, w;
    if (!HashNumber(data, length, &h) || !ModInverse(s, key.q, &w)) return false;
    BigNum u1(h), u2(r);
    if (!u1.Mul(w) || !u1.Mod(key.q) || !u2.Mul(w) || !u2.Mod(key.q)) return false;
    BigNum v;
    if (!ModExpProduct(key.g, u1, key.y, u2, key.p, &v) || !v.Mod(key.q)) return false;
    return v == r;
}

bool DsaSignatureBlob(const BigNum& r, const BigNum& s, std::uint8_t out[40]) {
    if (r.IsNegative() || s.IsNegative()) return false;
    return r.ToBytes(out, 20) && s.ToBytes(out + 20, 20);
}

}  // namespace tarnwick
