#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/curve25519.h"
#include "crypto/ecc.h"
#include "crypto/random_generator.h"
#include "openssl_objects.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::FromHex;
using testing::OpenSslPtr;
using testing::OpenSslSign;
using testing::OpenSslVerify;
using testing::ReadVectors;
using testing::TestRandom;
using testing::TestVector;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;

RandomGenerator& Generator() {
    static testing::SeededGenerator generator("curve tests");
    return generator;
}

using Pkey = OpenSslPtr<EVP_PKEY>;

Bytes Derive(EVP_PKEY* mine, EVP_PKEY* peer) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(mine, nullptr);
    Bytes out(200);
    std::size_t n = out.size();
    EVP_PKEY_derive_init(ctx);
    EVP_PKEY_derive_set_peer(ctx, peer);
    if (EVP_PKEY_derive(ctx, out.data(), &n) != 1) n = 0;
    EVP_PKEY_CTX_free(ctx);
    out.resize(n);
    return out;
}

Bytes Secret(const SecureBytes& s) {
    return Bytes(s.begin(), s.end());
}

// ---------------------------------------------------------------- X25519

TEST(X25519Test, Rfc7748Vectors) {
    for (const TestVector& v : ReadVectors("curve.vec")) {
        if (v.group != "X25519") continue;
        SCOPED_TRACE(v.where);
        const Bytes scalar = v.Bytes("Scalar"), u = v.Bytes("U");
        X25519PrivateKey key;
        ASSERT_TRUE(key.SetPrivate(scalar.data(), scalar.size()));
        SecureBytes shared;
        ASSERT_TRUE(key.Agree(u.data(), u.size(), &shared));
        EXPECT_EQ(ToHex(Secret(shared)), v.Hex("Out"));
        if (u[0] == 9) {  // the base point: the public key
            EXPECT_EQ(ToHex(key.PublicKey(), 32), v.Hex("Out"));
        }
    }
}

// Points of small order (which give the all-zero secret) and wrong lengths are refused. (Agreement
// itself is pinned by the vectors and proven against sshd by the interop tests.)
TEST(X25519Test, RefusesBadPeers) {
    X25519PrivateKey key;
    ASSERT_TRUE(key.Generate(Generator()));
    SecureBytes shared;
    const char* smallOrder[] = {"0000000000000000000000000000000000000000000000000000000000000000",
                                "0100000000000000000000000000000000000000000000000000000000000000",
                                "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                                "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"};
    for (const char* point : smallOrder) {
        const Bytes u = FromHex(point);
        EXPECT_FALSE(key.Agree(u.data(), u.size(), &shared)) << point;
    }
    const Bytes peer(33, 9);
    EXPECT_FALSE(key.Agree(peer.data(), 31, &shared));
    EXPECT_FALSE(key.Agree(peer.data(), 33, &shared));
    EXPECT_FALSE(key.SetPrivate(peer.data(), 31));
    X25519PrivateKey empty;
    EXPECT_FALSE(empty.Agree(peer.data(), 32, &shared));
}

// ---------------------------------------------------------------- Ed25519

TEST(Ed25519Test, Rfc8032Vectors) {
    for (const TestVector& v : ReadVectors("curve.vec")) {
        if (v.group != "Ed25519") continue;
        SCOPED_TRACE(v.where);
        const Bytes seed = v.Bytes("Seed"), message = v.Bytes("In"), pub = v.Bytes("Public");
        Ed25519PrivateKey key;
        ASSERT_TRUE(key.SetSeed(seed.data(), seed.size()));
        EXPECT_EQ(ToHex(key.Public().Bytes(), 32), v.Hex("Public"));
        std::uint8_t signature[64];
        ASSERT_TRUE(key.Sign(message.data(), message.size(), signature));
        EXPECT_EQ(ToHex(signature, 64), v.Hex("Signature"));
        Ed25519PublicKey publicKey;
        ASSERT_TRUE(publicKey.Set(pub.data(), pub.size()));
        EXPECT_TRUE(publicKey.Verify(message.data(), message.size(), signature, 64));
    }
}

// S + L is the same signature to a lax verifier; an S not below L, a flipped bit, a wrong length
// and a point that does not decode are all refused.
TEST(Ed25519Test, RefusesForgeriesAndMalformedInput) {
    Ed25519PrivateKey key;
    ASSERT_TRUE(key.Generate(Generator()));
    const Bytes message = {'h', 'o', 's', 't'};
    std::uint8_t signature[64];
    ASSERT_TRUE(key.Sign(message.data(), message.size(), signature));
    const Ed25519PublicKey& pub = key.Public();
    ASSERT_TRUE(pub.Verify(message.data(), message.size(), signature, 64));

    // S + L, little-endian.
    const Bytes order = FromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
    std::uint8_t malleated[64];
    std::memcpy(malleated, signature, 64);
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
        carry += malleated[32 + i] + order[static_cast<std::size_t>(i)];
        malleated[32 + i] = static_cast<std::uint8_t>(carry);
        carry >>= 8;
    }
    EXPECT_FALSE(pub.Verify(message.data(), message.size(), malleated, 64));
    std::uint8_t big[64];
    std::memcpy(big, signature, 32);
    std::memcpy(big + 32, order.data(), 32);
    EXPECT_FALSE(pub.Verify(message.data(), message.size(), big, 64));

    TestRandom random(8032);
    for (int round = 0; round < 20; ++round) {
        std::uint8_t flipped[64];
        std::memcpy(flipped, signature, 64);
        flipped[random.Below(64)] ^= static_cast<std::uint8_t>(1u << random.Below(8));
        EXPECT_FALSE(pub.Verify(message.data(), message.size(), flipped, 64));
    }
    EXPECT_FALSE(pub.Verify(message.data(), message.size() - 1, signature, 64));
    EXPECT_FALSE(pub.Verify(message.data(), message.size(), signature, 63));
    Ed25519PublicKey bad;
    EXPECT_FALSE(bad.Set(signature, 31));
    EXPECT_FALSE(bad.Verify(message.data(), message.size(), signature, 64));
    // y = 2 is not on the curve: decoding fails, so every signature fails.
    const Bytes offCurve =
        FromHex("0200000000000000000000000000000000000000000000000000000000000000");
    ASSERT_TRUE(bad.Set(offCurve.data(), offCurve.size()));
    EXPECT_FALSE(bad.Verify(message.data(), message.size(), signature, 64));
}

// ---------------------------------------------------------------- NIST curves

const char* GroupName(EcCurve curve) {
    return curve == EcCurve::kP256 ? "P-256" : curve == EcCurve::kP384 ? "P-384" : "P-521";
}

const EVP_MD* CurveMd(EcCurve curve) {
    return curve == EcCurve::kP256   ? EVP_sha256()
           : curve == EcCurve::kP384 ? EVP_sha384()
                                     : EVP_sha512();
}

Bytes PointOf(EVP_PKEY* key) {
    Bytes out(200);
    std::size_t n = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &n);
    out.resize(n);
    return out;
}

// A libcrypto public key from our point, built without our code.
Pkey ReferencePublic(EcCurve curve, const Bytes& point) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME,
                                         const_cast<char*>(GroupName(curve)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                          const_cast<std::uint8_t*>(point.data()), point.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    return Pkey(key);
}

Bytes DerSignature(const Bytes& r, const Bytes& s) {
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), static_cast<int>(r.size()), nullptr),
                   BN_bin2bn(s.data(), static_cast<int>(s.size()), nullptr));
    std::uint8_t* der = nullptr;
    const int n = i2d_ECDSA_SIG(sig, &der);
    Bytes out(der, der + n);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    return out;
}

const EcCurve kCurves[] = {EcCurve::kP256, EcCurve::kP384, EcCurve::kP521};

TEST(EcdsaTest, Rfc6979Vector) {
    for (const TestVector& v : ReadVectors("curve.vec")) {
        if (v.group != "ECDSA(P-256)") continue;
        const Bytes x = v.Bytes("Scalar"), message = v.Bytes("In");
        EcPrivateKey key;
        ASSERT_TRUE(key.SetScalar(EcCurve::kP256, x.data(), x.size()));
        EXPECT_EQ(ToHex(key.Public().Point()), v.Hex("Public"));
        Bytes r, s;
        ASSERT_TRUE(key.SignWithNonceInput(message.data(), message.size(), nullptr, 0, Generator(),
                                           &r, &s));
        EXPECT_EQ(ToHex(r), v.Hex("R"));
        EXPECT_EQ(ToHex(s), v.Hex("S"));
    }
}

// On every curve: our signatures verify in libcrypto, its signatures verify here, and the
// shared secrets of ECDH match the reference's.
TEST(EcdsaTest, CrossChecksWithReference) {
    TestRandom random(5656);
    for (EcCurve curve : kCurves) {
        for (int round = 0; round < 4; ++round) {
            const Bytes message = random.Bytes(random.Below(200));
            EcPrivateKey ours;
            ASSERT_TRUE(ours.Generate(curve, Generator()));
            ASSERT_EQ(ours.Public().Point().size(), EcPointSize(curve));
            Bytes r, s;
            ASSERT_TRUE(ours.Sign(message.data(), message.size(), Generator(), &r, &s));
            ASSERT_EQ(r.size(), EcScalarSize(curve));
            Pkey ourPublic = ReferencePublic(curve, ours.Public().Point());
            ASSERT_NE(ourPublic, nullptr);
            EXPECT_TRUE(
                OpenSslVerify(ourPublic.get(), CurveMd(curve), DerSignature(r, s), message));
            EXPECT_TRUE(ours.Public().Verify(message.data(), message.size(), r.data(), r.size(),
                                             s.data(), s.size()));

            Pkey theirs(EVP_EC_gen(GroupName(curve)));
            const Bytes theirDer = OpenSslSign(theirs.get(), CurveMd(curve), message);
            ASSERT_FALSE(theirDer.empty());
            const std::uint8_t* p = theirDer.data();
            ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(theirDer.size()));
            Bytes tr(static_cast<std::size_t>(BN_num_bytes(ECDSA_SIG_get0_r(sig))));
            Bytes ts(static_cast<std::size_t>(BN_num_bytes(ECDSA_SIG_get0_s(sig))));
            BN_bn2bin(ECDSA_SIG_get0_r(sig), tr.data());
            BN_bn2bin(ECDSA_SIG_get0_s(sig), ts.data());
            ECDSA_SIG_free(sig);
            EcPublicKey theirPublic;
            const Bytes theirPoint = PointOf(theirs.get());
            ASSERT_TRUE(theirPublic.SetPoint(curve, theirPoint.data(), theirPoint.size()));
            EXPECT_TRUE(theirPublic.Verify(message.data(), message.size(), tr.data(), tr.size(),
                                           ts.data(), ts.size()));
            // An SSH mpint may carry a leading zero byte.
            Bytes padded = tr;
            padded.insert(padded.begin(), 0);
            EXPECT_TRUE(theirPublic.Verify(message.data(), message.size(), padded.data(),
                                           padded.size(), ts.data(), ts.size()));

            SecureBytes shared;
            ASSERT_TRUE(ours.Agree(theirPublic, &shared));
            EXPECT_EQ(shared.size(), EcScalarSize(curve));
            EXPECT_EQ(ToHex(Secret(shared)), ToHex(Derive(theirs.get(), ourPublic.get())));
        }
    }
}

// Each signature is new (the nonce takes fresh generator bytes) yet valid; the key survives a
// trip through its scalar.
TEST(EcdsaTest, SignaturesDifferAndScalarsRoundTrip) {
    for (EcCurve curve : kCurves) {
        EcPrivateKey key;
        ASSERT_TRUE(key.Generate(curve, Generator()));
        const Bytes message = {1, 2, 3};
        Bytes r1, s1, r2, s2;
        ASSERT_TRUE(key.Sign(message.data(), message.size(), Generator(), &r1, &s1));
        ASSERT_TRUE(key.Sign(message.data(), message.size(), Generator(), &r2, &s2));
        EXPECT_NE(r1, r2);
        EcPrivateKey copy;
        ASSERT_TRUE(copy.SetScalar(curve, key.Scalar().data(), key.Scalar().size()));
        EXPECT_EQ(copy.Public().Point(), key.Public().Point());
        EXPECT_TRUE(copy.Public().Verify(message.data(), message.size(), r2.data(), r2.size(),
                                         s2.data(), s2.size()));
    }
}

// The curve's group order (or its field prime) as big-endian bytes of the scalar size.
Bytes GroupNumber(EcCurve curve, bool prime) {
    EC_GROUP* group = EC_GROUP_new_by_curve_name(curve == EcCurve::kP256   ? NID_X9_62_prime256v1
                                                 : curve == EcCurve::kP384 ? NID_secp384r1
                                                                           : NID_secp521r1);
    OpenSslPtr<BIGNUM> p(BN_new());
    EC_GROUP_get_curve(group, p.get(), nullptr, nullptr, nullptr);
    Bytes out(EcScalarSize(curve));
    BN_bn2binpad(prime ? p.get() : EC_GROUP_get0_order(group), out.data(),
                 static_cast<int>(out.size()));
    EC_GROUP_free(group);
    return out;
}

// Points: off the curve, at infinity, compressed or hybrid, a coordinate equal to p, wrong
// lengths. Signatures: r or s zero, equal to n, r + n, flipped bits, another message. Scalars: 0
// and n. Agreement across curves.
TEST(EcdsaTest, RefusesInvalidPointsSignaturesAndScalars) {
    const Bytes message = {'k', 'e', 'x'};
    for (EcCurve curve : kCurves) {
        const std::size_t size = EcScalarSize(curve);
        EcPrivateKey key;
        ASSERT_TRUE(key.Generate(curve, Generator()));
        const Bytes good = key.Public().Point();
        EcPublicKey pub;
        ASSERT_TRUE(pub.SetPoint(curve, good.data(), good.size()));

        std::vector<Bytes> badPoints;
        Bytes offCurve = good;
        offCurve.back() ^= 1;
        badPoints.push_back(offCurve);
        badPoints.push_back(Bytes{0x00});
        Bytes zeros(good.size(), 0);
        badPoints.push_back(zeros);
        Bytes compressed(good.begin(), good.begin() + 1 + static_cast<std::ptrdiff_t>(size));
        compressed[0] = static_cast<std::uint8_t>(0x02 | (good.back() & 1));
        badPoints.push_back(compressed);
        Bytes hybrid = good;
        hybrid[0] = static_cast<std::uint8_t>(0x06 | (good.back() & 1));
        badPoints.push_back(hybrid);
        Bytes bigX = good;
        const Bytes prime = GroupNumber(curve, true);
        std::copy(prime.begin(), prime.end(), bigX.begin() + 1);
        badPoints.push_back(bigX);
        badPoints.push_back(Bytes(good.begin(), good.end() - 1));
        Bytes longer = good;
        longer.push_back(0);
        badPoints.push_back(longer);
        for (const Bytes& point : badPoints) {
            EcPublicKey refused;
            EXPECT_FALSE(refused.SetPoint(curve, point.data(), point.size()))
                << static_cast<int>(curve) << " " << ToHex(point);
            EXPECT_FALSE(refused.ok());
        }
        // A failed SetPoint leaves a set key as it was.
        EXPECT_FALSE(pub.SetPoint(curve, offCurve.data(), offCurve.size()));
        EXPECT_EQ(pub.Point(), good);

        Bytes r, s;
        ASSERT_TRUE(key.Sign(message.data(), message.size(), Generator(), &r, &s));
        ASSERT_TRUE(
            pub.Verify(message.data(), message.size(), r.data(), r.size(), s.data(), s.size()));
        const Bytes n = GroupNumber(curve, false), zero(size, 0);
        // r + n: congruent, so a verifier that reduced first would accept it.
        Bytes rPlusN(size + 1, 0);
        unsigned carry = 0;
        for (std::size_t i = size; i-- > 0;) {
            carry += static_cast<unsigned>(r[i]) + n[i];
            rPlusN[i + 1] = static_cast<std::uint8_t>(carry);
            carry >>= 8;
        }
        rPlusN[0] = static_cast<std::uint8_t>(carry);
        const std::pair<Bytes, Bytes> badSignatures[] = {{zero, s}, {r, zero},   {n, s},
                                                         {r, n},    {rPlusN, s}, {Bytes{}, s}};
        for (const auto& [br, bs] : badSignatures) {
            EXPECT_FALSE(pub.Verify(message.data(), message.size(), br.data(), br.size(), bs.data(),
                                    bs.size()));
        }
        Bytes flipped = s;
        flipped[size / 2] ^= 0x04;
        EXPECT_FALSE(pub.Verify(message.data(), message.size(), r.data(), r.size(), flipped.data(),
                                flipped.size()));
        EXPECT_FALSE(
            pub.Verify(message.data(), message.size() - 1, r.data(), r.size(), s.data(), s.size()));

        EcPrivateKey badKey;
        EXPECT_FALSE(badKey.SetScalar(curve, zero.data(), zero.size()));
        EXPECT_FALSE(badKey.SetScalar(curve, n.data(), n.size()));
        EXPECT_FALSE(badKey.ok());
    }
    EcPrivateKey p256, p384;
    ASSERT_TRUE(p256.Generate(EcCurve::kP256, Generator()));
    ASSERT_TRUE(p384.Generate(EcCurve::kP384, Generator()));
    SecureBytes shared;
    EXPECT_FALSE(p256.Agree(p384.Public(), &shared));
    EXPECT_FALSE(p256.Agree(EcPublicKey(), &shared));
    // The curve is part of the key: a P-256 point given as P-384 has the wrong length.
    EcPublicKey mixed;
    EXPECT_FALSE(
        mixed.SetPoint(EcCurve::kP384, p256.Public().Point().data(), p256.Public().Point().size()));
}

}  // namespace
}  // namespace tarnwick
