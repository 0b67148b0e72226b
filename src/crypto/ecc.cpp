#include "crypto/ecc.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>

#include <cstring>

#include "crypto/hmac.h"
#include "crypto/libcrypto.h"
#include "crypto/random_generator.h"
#include "crypto/sha2.h"

namespace tarnwick {
namespace {

using libcrypto::ErrorQueueGuard;

struct CurveInfo {
    int nid;
    const char* groupName;
    std::size_t size;
    std::size_t hashSize;
};

const CurveInfo& Info(EcCurve curve) {
    static const CurveInfo kInfo[] = {{NID_X9_62_prime256v1, "prime256v1", 32, 32},
                                      {NID_secp384r1, "secp384r1", 48, 48},
                                      {NID_secp521r1, "secp521r1", 66, 64}};
    return kInfo[static_cast<int>(curve)];
}

std::unique_ptr<Hash> NewHash(EcCurve curve) {
    switch (curve) {
        case EcCurve::kP256:
            return std::make_unique<CSHA256>();
        case EcCurve::kP384:
            return std::make_unique<CSHA384>();
        case EcCurve::kP521:
            break;
    }
    return std::make_unique<CSHA512>();
}

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct GroupFree {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using Point = std::unique_ptr<EC_POINT, PointFree>;

Bn NewBn() {
    return Bn(BN_new());
}

// Everything one operation on a curve needs.
struct Curve {
    explicit Curve(EcCurve which)
        : info(Info(which)), group(EC_GROUP_new_by_curve_name(info.nid)), ctx(BN_CTX_new()) {
        if (group != nullptr) order = EC_GROUP_get0_order(group.get());
    }
    bool ok() const { return group != nullptr && ctx != nullptr && order != nullptr; }

    const CurveInfo& info;
    std::unique_ptr<EC_GROUP, GroupFree> group;
    std::unique_ptr<BN_CTX, CtxFree> ctx;
    const BIGNUM* order = nullptr;
};

// An unsigned big-endian integer; leading zeros are allowed.
Bn FromBytes(const std::uint8_t* bytes, std::size_t length) {
    while (length > 0 && bytes[0] == 0) {
        ++bytes;
        --length;
    }
    if (length > 1024) return nullptr;
    return Bn(BN_bin2bn(bytes, static_cast<int>(length), nullptr));
}

// 1 <= v < n.
bool InRange(const BIGNUM* v, const BIGNUM* n) {
    return v != nullptr && !BN_is_zero(v) && !BN_is_negative(v) && BN_cmp(v, n) < 0;
}

// The point from validated uncompressed bytes.
Point DecodePoint(const Curve& c, const std::uint8_t* bytes, std::size_t length) {
    Point p(EC_POINT_new(c.group.get()));
    if (p == nullptr ||
        EC_POINT_oct2point(c.group.get(), p.get(), bytes, length, c.ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(c.group.get(), p.get()) ||
        EC_POINT_is_on_curve(c.group.get(), p.get(), c.ctx.get()) != 1) {
        return nullptr;
    }
    return p;
}

std::vector<std::uint8_t> EncodePoint(const Curve& c, const EC_POINT* p) {
    std::vector<std::uint8_t> out(1 + 2 * c.info.size);
    if (EC_POINT_point2oct(c.group.get(), p, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(),
                           c.ctx.get()) != out.size()) {
        out.clear();
    }
    return out;
}

std::shared_ptr<EVP_PKEY> PublicPkey(const CurveInfo& info,
                                     const std::vector<std::uint8_t>& point) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                         const_cast<char*>(info.groupName), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                          const_cast<std::uint8_t*>(point.data()), point.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    const bool ok = ctx != nullptr && EVP_PKEY_fromdata_init(ctx) == 1 &&
                    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

// RFC 6979 section 2.3.2: the leftmost qlen bits of the bytes as an integer.
Bn Bits2Int(const std::uint8_t* bytes, std::size_t length, int qlen) {
    Bn v(BN_bin2bn(bytes, static_cast<int>(length), nullptr));
    const int excess = static_cast<int>(8 * length) - qlen;
    if (v != nullptr && excess > 0 && BN_rshift(v.get(), v.get(), excess) != 1) return nullptr;
    return v;
}

// The HMAC_DRBG-like nonce generator of RFC 6979 section 3.2 with the hash of the curve.
class NonceGenerator {
  public:
    NonceGenerator(EcCurve curve, const SecureBytes& x, const SecureBytes& h1,
                   const std::uint8_t* extra, std::size_t extraLength)
        : curve_(curve), size_(EcHashSize(curve)), k_(size_, 0x00), v_(size_, 0x01) {
        for (std::uint8_t separator : {0x00, 0x01}) {
            Mac({v_.data(), v_.size()}, {&separator, 1}, {x.data(), x.size()},
                {h1.data(), h1.size()}, {extra, extraLength}, k_.data());
            Mac({v_.data(), v_.size()}, {}, {}, {}, {}, v_.data());
        }
    }

    // T of at least qlen bits, per step h of section 3.2.
    SecureBytes Next(std::size_t bytes) {
        SecureBytes t;
        while (t.size() < bytes) {
            Mac({v_.data(), v_.size()}, {}, {}, {}, {}, v_.data());
            t.insert(t.end(), v_.begin(), v_.end());
        }
        return t;
    }

    // After a candidate is refused: K = HMAC_K(V || 0x00), V = HMAC_K(V).
    void Reject() {
        const std::uint8_t zero = 0;
        Mac({v_.data(), v_.size()}, {&zero, 1}, {}, {}, {}, k_.data());
        Mac({v_.data(), v_.size()}, {}, {}, {}, {}, v_.data());
    }

  private:
    struct Part {
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
    };
    void Mac(Part a, Part b, Part c, Part d, Part e, std::uint8_t* out) {
        HMAC mac(NewHash(curve_), k_.data(), k_.size());
        for (const Part& part : {a, b, c, d, e}) {
            if (part.length > 0) mac.Update(part.data, part.length);
        }
        mac.Final(out);
    }

    EcCurve curve_;
    std::size_t size_;
    SecureBytes k_, v_;
};

}  // namespace

std::size_t EcScalarSize(EcCurve curve) {
    return Info(curve).size;
}

std::size_t EcPointSize(EcCurve curve) {
    return 1 + 2 * Info(curve).size;
}

std::size_t EcHashSize(EcCurve curve) {
    return Info(curve).hashSize;
}

void EcHash(EcCurve curve, const std::uint8_t* data, std::size_t length, std::uint8_t* out) {
    auto hash = NewHash(curve);
    hash->Update(data, length);
    hash->Final(out);
}

// ---------------------------------------------------------------- public keys

bool EcPublicKey::SetPoint(EcCurve curve, const std::uint8_t* point, std::size_t length) {
    ErrorQueueGuard guard;
    const Curve c(curve);
    const std::size_t size = c.info.size;
    if (!c.ok() || length != 1 + 2 * size || point[0] != 0x04) return false;
    Bn p = NewBn(), x = FromBytes(point + 1, size), y = FromBytes(point + 1 + size, size);
    if (p == nullptr || x == nullptr || y == nullptr ||
        EC_GROUP_get_curve(c.group.get(), p.get(), nullptr, nullptr, c.ctx.get()) != 1 ||
        BN_cmp(x.get(), p.get()) >= 0 || BN_cmp(y.get(), p.get()) >= 0 ||
        DecodePoint(c, point, length) == nullptr) {
        return false;
    }
    std::vector<std::uint8_t> bytes(point, point + length);
    auto key = PublicPkey(c.info, bytes);
    if (key == nullptr) return false;
    curve_ = curve;
    point_ = std::move(bytes);
    key_ = std::move(key);
    return true;
}

bool EcPublicKey::Verify(const std::uint8_t* message, std::size_t length, const std::uint8_t* r,
                         std::size_t rLength, const std::uint8_t* s, std::size_t sLength) const {
    ErrorQueueGuard guard;
    if (key_ == nullptr) return false;
    const Curve c(curve_);
    Bn rn = FromBytes(r, rLength), sn = FromBytes(s, sLength);
    if (!c.ok() || !InRange(rn.get(), c.order) || !InRange(sn.get(), c.order)) return false;

    ECDSA_SIG* sig = ECDSA_SIG_new();
    if (sig == nullptr || ECDSA_SIG_set0(sig, rn.get(), sn.get()) != 1) {
        ECDSA_SIG_free(sig);
        return false;
    }
    rn.release();  // owned by sig now
    sn.release();
    std::uint8_t* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    if (derLength <= 0) return false;

    std::uint8_t digest[64];
    EcHash(curve_, message, length, digest);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr);
    const bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
                    EVP_PKEY_verify(ctx, der, static_cast<std::size_t>(derLength), digest,
                                    c.info.hashSize) == 1;
    EVP_PKEY_CTX_free(ctx);
    OPENSSL_free(der);
    return ok;
}

// ---------------------------------------------------------------- private keys

bool EcPrivateKey::Generate(EcCurve curve, RandomGenerator& random) {
    ErrorQueueGuard guard;
    const Curve c(curve);
    if (!c.ok()) return false;
    const std::size_t size = c.info.size;
    const int excess = static_cast<int>(8 * size) - BN_num_bits(c.order);
    SecureBytes candidate(size);
    // Rejection sampling: uniform in [1, n). For these orders a draw is refused with
    // probability below one half, so 64 tries cannot all fail unless the generator is broken.
    for (int attempt = 0; attempt < 64; ++attempt) {
        random.Fill(candidate.data(), size);
        candidate[0] &= static_cast<std::uint8_t>(0xff >> excess);
        Bn d = FromBytes(candidate.data(), size);
        if (InRange(d.get(), c.order)) return SetScalar(curve, candidate.data(), size);
    }
    return false;
}

bool EcPrivateKey::SetScalar(EcCurve curve, const std::uint8_t* scalar, std::size_t length) {
    ErrorQueueGuard guard;
    const Curve c(curve);
    Bn d = FromBytes(scalar, length);
    if (!c.ok() || !InRange(d.get(), c.order)) return false;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    Point q(EC_POINT_new(c.group.get()));
    if (q == nullptr ||
        EC_POINT_mul(c.group.get(), q.get(), d.get(), nullptr, nullptr, c.ctx.get()) != 1) {
        return false;
    }
    const std::vector<std::uint8_t> point = EncodePoint(c, q.get());
    SecureBytes fixed(c.info.size);
    EcPublicKey publicKey;
    if (point.empty() || BN_bn2binpad(d.get(), fixed.data(), static_cast<int>(fixed.size())) < 0 ||
        !publicKey.SetPoint(curve, point.data(), point.size())) {
        return false;
    }
    scalar_ = std::move(fixed);
    public_ = std::move(publicKey);
    return true;
}

bool EcPrivateKey::Agree(const EcPublicKey& peer, SecureBytes* shared) const {
    ErrorQueueGuard guard;
    if (!ok() || !peer.ok() || peer.curve() != curve()) return false;
    const Curve c(curve());
    if (!c.ok()) return false;
    Point p = DecodePoint(c, peer.Point().data(), peer.Point().size());
    Bn d = FromBytes(scalar_.data(), scalar_.size());
    Point product(EC_POINT_new(c.group.get()));
    Bn x = NewBn();
    if (p == nullptr || d == nullptr || product == nullptr || x == nullptr) return false;
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);
    // The curves have cofactor 1, so a validated point lies in the prime-order group and the
    // product of a scalar in [1, n) with it is never the point at infinity; the check guards the
    // arithmetic all the same.
    if (EC_POINT_mul(c.group.get(), product.get(), nullptr, p.get(), d.get(), c.ctx.get()) != 1 ||
        EC_POINT_is_at_infinity(c.group.get(), product.get()) ||
        EC_POINT_get_affine_coordinates(c.group.get(), product.get(), x.get(), nullptr,
                                        c.ctx.get()) != 1) {
        return false;
    }
    SecureBytes secret(c.info.size);
    if (BN_bn2binpad(x.get(), secret.data(), static_cast<int>(secret.size())) < 0) return false;
    *shared = std::move(secret);
    return true;
}

bool EcPrivateKey::Sign(const std::uint8_t* message, std::size_t length, RandomGenerator& random,
                        std::vector<std::uint8_t>* r, std::vector<std::uint8_t>* s) const {
    SecureBytes extra(32);
    random.Fill(extra.data(), extra.size());
    return SignWithNonceInput(message, length, extra.data(), extra.size(), random, r, s);
}

bool EcPrivateKey::SignWithNonceInput(const std::uint8_t* message, std::size_t length,
                                      const std::uint8_t* extra, std::size_t extraLength,
                                      RandomGenerator& random, std::vector<std::uint8_t>* r,
                                      std::vector<std::uint8_t>* s) const {
    ErrorQueueGuard guard;
    if (!ok()) return false;
    const Curve c(curve());
    if (!c.ok()) return false;
    const std::size_t size = c.info.size;
    const int qlen = BN_num_bits(c.order);
    const BIGNUM* n = c.order;
    BN_CTX* ctx = c.ctx.get();

    std::uint8_t digest[64];
    EcHash(curve(), message, length, digest);
    // e = bits2int(H(m)); RFC 6979's h1 = bits2octets(H(m)) = int2octets(e mod n).
    Bn e = Bits2Int(digest, c.info.hashSize, qlen);
    if (e == nullptr || BN_nnmod(e.get(), e.get(), n, ctx) != 1) return false;
    SecureBytes h1(size);
    if (BN_bn2binpad(e.get(), h1.data(), static_cast<int>(size)) < 0) return false;

    Bn d = FromBytes(scalar_.data(), scalar_.size());
    Bn k = NewBn(), x = NewBn(), rr = NewBn(), blind = NewBn(), t = NewBn(), u = NewBn(),
       kInverse = NewBn();
    Point point(EC_POINT_new(c.group.get()));
    if (d == nullptr || k == nullptr || x == nullptr || rr == nullptr || blind == nullptr ||
        t == nullptr || u == nullptr || kInverse == nullptr || point == nullptr) {
        return false;
    }
    BN_set_flags(d.get(), BN_FLG_CONSTTIME);

    NonceGenerator nonces(curve(), scalar_, h1, extra, extraLength);
    for (int attempt = 0; attempt < 64; ++attempt, nonces.Reject()) {
        const SecureBytes candidate = nonces.Next((static_cast<std::size_t>(qlen) + 7) / 8);
        k = Bits2Int(candidate.data(), candidate.size(), qlen);
        if (k == nullptr) return false;
        if (!InRange(k.get(), n)) continue;
        BN_set_flags(k.get(), BN_FLG_CONSTTIME);

        // r = x(kG) mod n.
        if (EC_POINT_mul(c.group.get(), point.get(), k.get(), nullptr, nullptr, ctx) != 1 ||
            EC_POINT_get_affine_coordinates(c.group.get(), point.get(), x.get(), nullptr, ctx) !=
                1 ||
            BN_nnmod(rr.get(), x.get(), n, ctx) != 1) {
            return false;
        }
        if (BN_is_zero(rr.get())) continue;

        // s = k^-1 (e + r d) mod n, computed as (k b)^-1 (b e + (b d) r) with a random b, so that
        // neither the inversion nor the products work on k or d themselves.
        SecureBytes blindBytes(size + 8);
        do {
            random.Fill(blindBytes.data(), blindBytes.size());
            if (BN_bin2bn(blindBytes.data(), static_cast<int>(blindBytes.size()), blind.get()) ==
                    nullptr ||
                BN_nnmod(blind.get(), blind.get(), n, ctx) != 1) {
                return false;
            }
        } while (BN_is_zero(blind.get()));
        if (BN_mod_mul(t.get(), k.get(), blind.get(), n, ctx) != 1 ||      // t = k b
            BN_mod_inverse(kInverse.get(), t.get(), n, ctx) == nullptr ||  // (k b)^-1
            BN_mod_mul(t.get(), blind.get(), d.get(), n, ctx) != 1 ||      // t = b d
            BN_mod_mul(t.get(), t.get(), rr.get(), n, ctx) != 1 ||         // t = b d r
            BN_mod_mul(u.get(), blind.get(), e.get(), n, ctx) != 1 ||      // u = b e
            BN_mod_add(u.get(), u.get(), t.get(), n, ctx) != 1 ||          // u = b (e + d r)
            BN_mod_mul(u.get(), u.get(), kInverse.get(), n, ctx) != 1) {   // s
            return false;
        }
        if (BN_is_zero(u.get())) continue;

        std::vector<std::uint8_t> rOut(size), sOut(size);
        if (BN_bn2binpad(rr.get(), rOut.data(), static_cast<int>(size)) < 0 ||
            BN_bn2binpad(u.get(), sOut.data(), static_cast<int>(size)) < 0) {
            return false;
        }
        *r = std::move(rOut);
        *s = std::move(sOut);
        return true;
    }
    return false;
}

}  // namespace tarnwick
