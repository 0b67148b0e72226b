#include "crypto/rsa.h"

#include <cstring>
#include <vector>

#include "crypto/md5.h"
#include "crypto/random_generator.h"
#include "crypto/secure.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"

namespace tarnwick {
namespace {

// The DER DigestInfo prefix (everything before the digest bytes), with or without the NULL
// parameters of the algorithm identifier.
std::vector<std::uint8_t> Prefix(const std::vector<std::uint8_t>& oid, bool withNull,
                                 std::uint8_t digestSize) {
    const std::uint8_t algorithmLength =
        static_cast<std::uint8_t>(2 + oid.size() + (withNull ? 2 : 0));
    // Built byte by byte: SEQUENCE { SEQUENCE { OID [, NULL] }, OCTET STRING (digest) }.
    std::vector<std::uint8_t> p;
    p.reserve(32);
    p.push_back(0x30);
    p.push_back(static_cast<std::uint8_t>(2 + algorithmLength + 2 + digestSize));
    p.push_back(0x30);
    p.push_back(algorithmLength);
    p.push_back(0x06);
    p.push_back(static_cast<std::uint8_t>(oid.size()));
    for (std::uint8_t b : oid)
        p.push_back(b);
    if (withNull) {
        p.push_back(0x05);
        p.push_back(0x00);
    }
    p.push_back(0x04);
    p.push_back(digestSize);
    return p;
}

const std::vector<std::uint8_t> kSha1Oid = {0x2b, 0x0e, 0x03, 0x02, 0x1a};  // 1.3.14.3.2.26
const std::vector<std::uint8_t> kMd5Oid = {0x2a, 0x86, 0x48, 0x86,
                                           0xf7, 0x0d, 0x02, 0x05};  // 1.2.840.113549.2.5
const std::vector<std::uint8_t> kMd5AltOid = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d,
                                              0x01, 0x01, 0x01, 0x04};  // 1.2.840.113549.1.1.1.4
const std::vector<std::uint8_t> kSha256Oid = {0x60, 0x86, 0x48, 0x01, 0x65,
                                              0x03, 0x04, 0x02, 0x01};  // 2.16.840.1.101.3.4.2.1
const std::vector<std::uint8_t> kSha512Oid = {0x60, 0x86, 0x48, 0x01, 0x65,
                                              0x03, 0x04, 0x02, 0x03};  // 2.16.840.1.101.3.4.2.3

// The digests a verification may accept, as a bit set.
enum DigestBits : unsigned { kMd5Bit = 1, kSha1Bit = 2, kSha256Bit = 4, kSha512Bit = 8 };

// 00 01 FF..FF 00 prefix digest over exactly k bytes; false when fewer than 8 FF bytes fit.
bool BuildType1Block(std::size_t k, const std::vector<std::uint8_t>& prefix,
                     const std::uint8_t* digest, std::size_t digestSize, std::uint8_t* block) {
    const std::size_t t = prefix.size() + digestSize;
    if (k < t + 3 + 8) return false;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xff, k - t - 3);
    block[k - t - 1] = 0x00;
    std::memcpy(block + k - t, prefix.data(), prefix.size());
    std::memcpy(block + k - digestSize, digest, digestSize);
    return true;
}

bool PublicKeyUsable(const BigNum& e, const BigNum& n) {
    // A real modulus is odd (a product of odd primes); refusing even ones also keeps hostile
    // keys off the slow even-modulus path.
    return e.ok() && n.ok() && !e.IsNegative() && !e.IsZero() && !n.IsNegative() && n.IsOdd() &&
           n.BitLength() > 8;
}

// m = s^e mod n written over exactly k bytes, after the range checks on s.
bool Recover(const BigNum& e, const BigNum& n, const BigNum& signature, SecureBytes* block) {
    if (!PublicKeyUsable(e, n) || !signature.ok() || signature.IsNegative() ||
        signature.CompareMagnitude(n) >= 0) {
        return false;
    }
    BigNum m;
    if (!ModExp(signature, e, n, &m)) return false;
    block->assign(n.ByteLength(), 0);
    return m.ToBytes(block->data(), block->size());
}

bool VerifyWith(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                const BigNum& signature, unsigned accepted) {
    SecureBytes recovered;
    if (!Recover(e, n, signature, &recovered)) return false;
    std::uint8_t sha1[CSHA1::kDigestSize], md5[CMD5::kDigestSize];
    std::uint8_t sha256[CSHA256::kDigestSize], sha512[CSHA512::kDigestSize];
    if (accepted & kSha1Bit) CSHA1::Digest(data, length, sha1);
    if (accepted & kMd5Bit) CMD5::Digest(data, length, md5);
    if (accepted & kSha256Bit) CSHA256::Digest(data, length, sha256);
    if (accepted & kSha512Bit) CSHA512::Digest(data, length, sha512);
    struct Candidate {
        unsigned bit;
        const std::vector<std::uint8_t>* oid;
        const std::uint8_t* digest;
        std::uint8_t size;
    };
    const Candidate candidates[] = {{kSha1Bit, &kSha1Oid, sha1, 20},
                                    {kMd5Bit, &kMd5Oid, md5, 16},
                                    {kMd5Bit, &kMd5AltOid, md5, 16},
                                    {kSha256Bit, &kSha256Oid, sha256, 32},
                                    {kSha512Bit, &kSha512Oid, sha512, 64}};
    SecureBytes expected(recovered.size());
    int match = 0;
    for (const auto& c : candidates) {
        if ((c.bit & accepted) == 0) continue;
        for (bool withNull : {true, false}) {
            if (BuildType1Block(expected.size(), Prefix(*c.oid, withNull, c.size), c.digest, c.size,
                                expected.data())) {
                match |= ConstantTimeEqual(expected.data(), recovered.data(), expected.size());
            }
        }
    }
    return match == 1;
}

}  // namespace

bool RsaPrivateKey::CompleteCrt() {
    if (!d.ok() || !p.ok() || !q.ok() || p.IsZero() || q.IsZero() || d.IsZero()) return false;
    BigNum p1(p), q1(q);
    const BigNum one(1u);
    if (!p1.Sub(one) || !q1.Sub(one)) return false;
    BigNum dp(d), dq(d);
    if (!dp.Mod(p1) || !dq.Mod(q1)) return false;
    if (iqmp.IsZero() || !iqmp.ok()) {
        BigNum inverse;
        if (!ModInverse(q, p, &inverse)) return false;
        iqmp = std::move(inverse);
    }
    dmp1 = std::move(dp);
    dmq1 = std::move(dq);
    return true;
}

bool RsaEncrypt(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                RandomGenerator& random, std::uint8_t* out, std::size_t outLength) {
    if (!PublicKeyUsable(e, n)) return false;
    const std::size_t k = n.ByteLength();
    if (outLength != k || k < length + 11) return false;
    SecureBytes block(k);
    block[0] = 0x00;
    block[1] = 0x02;
    const std::size_t padding = k - 3 - length;
    random.Fill(block.data() + 2, padding);
    for (std::size_t i = 2; i < 2 + padding; ++i) {
        while (block[i] == 0)
            block[i] = random.NextByte();
    }
    block[2 + padding] = 0x00;
    if (length > 0) std::memcpy(block.data() + 3 + padding, data, length);
    BigNum m, c;
    if (!m.SetBytes(block.data(), k) || !ModExp(m, e, n, &c)) return false;
    return c.ToBytes(out, k);
}

bool RsaVerify(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
               const BigNum& signature) {
    return VerifyWith(data, length, e, n, signature, kSha1Bit | kMd5Bit);
}

bool RsaVerifySha1(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                   const BigNum& signature) {
    return VerifyWith(data, length, e, n, signature, kSha1Bit);
}

bool RsaVerifySha256(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                     const BigNum& signature) {
    return VerifyWith(data, length, e, n, signature, kSha256Bit);
}

bool RsaVerifySha512(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                     const BigNum& signature) {
    return VerifyWith(data, length, e, n, signature, kSha512Bit);
}

namespace {

// s = m^d mod n through the Chinese remainder theorem:
// m1 = m^dmp1 mod p, m2 = m^dmq1 mod q, s = m2 + q (iqmp (m1 - m2) mod p).
bool SignCrt(const BigNum& m, const RsaPrivateKey& key, BigNum* s) {
    BigNum mp(m), mq(m), m1, m2;
    if (!mp.Mod(key.p) || !mq.Mod(key.q)) return false;
    if (!ModExpSecretPair(mp, key.dmp1, key.p, &m1, mq, key.dmq1, key.q, &m2)) return false;
    BigNum h(m1);
    if (!h.Sub(m2) || !h.Mul(key.iqmp) || !h.Mod(key.p) || !h.Mul(key.q) || !h.Add(m2)) {
        return false;
    }
    *s = std::move(h);
    return true;
}

bool HasCrt(const RsaPrivateKey& key) {
    for (const BigNum* v : {&key.p, &key.q, &key.dmp1, &key.dmq1, &key.iqmp}) {
        if (!v->ok() || v->IsZero() || v->IsNegative()) return false;
    }
    return true;
}

bool SignWith(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
              unsigned digestBit, BigNum* signature) {
    if (!PublicKeyUsable(key.e, key.n) || !key.d.ok() || key.d.IsZero()) return false;
    const std::size_t k = key.n.ByteLength();
    std::uint8_t digest[CSHA512::kDigestSize];
    const std::vector<std::uint8_t>* oid = &kSha1Oid;
    std::uint8_t digestSize = CSHA1::kDigestSize;
    if (digestBit == kSha256Bit) {
        CSHA256::Digest(data, length, digest);
        oid = &kSha256Oid;
        digestSize = CSHA256::kDigestSize;
    } else if (digestBit == kSha512Bit) {
        CSHA512::Digest(data, length, digest);
        oid = &kSha512Oid;
        digestSize = CSHA512::kDigestSize;
    } else {
        CSHA1::Digest(data, length, digest);
    }
    SecureBytes block(k);
    if (!BuildType1Block(k, Prefix(*oid, true, digestSize), digest, digestSize, block.data())) {
        return false;
    }
    BigNum m;
    if (!m.SetBytes(block.data(), k)) return false;

    // The CRT path when the key carries its factors (derived here when only p and q are known),
    // else the plain exponentiation. Either result is checked with the public exponent.
    RsaPrivateKey derived;
    const RsaPrivateKey* crt = nullptr;
    if (HasCrt(key)) {
        crt = &key;
    } else if (key.p.ok() && key.q.ok() && !key.p.IsZero() && !key.q.IsZero()) {
        derived.d = key.d;
        derived.p = key.p;
        derived.q = key.q;
        derived.iqmp = key.iqmp;
        if (derived.CompleteCrt()) crt = &derived;
    }
    // A signature leaves only after s^e = m: a fault in the CRT numbers (or in the arithmetic)
    // would otherwise hand out a value that reveals a factor of n.
    const auto checked = [&key, &m, signature](BigNum& s) {
        BigNum check;
        if (s.IsNegative() || s.CompareMagnitude(key.n) >= 0 || !ModExp(s, key.e, key.n, &check) ||
            check != m) {
            return false;
        }
        *signature = std::move(s);
        return true;
    };
    BigNum s;
    if (crt != nullptr && SignCrt(m, *crt, &s) && checked(s)) return true;
    if (ModExpSecret(m, key.d, key.n, &s) && checked(s)) return true;
    return false;
}

}  // namespace

bool RsaSignSha1(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
                 BigNum* signature) {
    return SignWith(data, length, key, kSha1Bit, signature);
}

bool RsaSignSha256(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
                   BigNum* signature) {
    return SignWith(data, length, key, kSha256Bit, signature);
}

bool RsaSignSha512(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
                   BigNum* signature) {
    return SignWith(data, length, key, kSha512Bit, signature);
}

}  // namespace tarnwick
