#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <vector>

#include "crypto/bignum.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/sha2.h"
#include "openssl_objects.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::FromHex;
using testing::TestRandom;
using Bytes = std::vector<std::uint8_t>;

struct Pair {
    EVP_PKEY* theirs = nullptr;
    RsaPrivateKey ours;
};

const Pair& Key(unsigned bits) {
    static Pair keys[2];
    Pair& pair = keys[bits == 2048 ? 0 : 1];
    if (pair.theirs == nullptr) {
        pair.theirs = EVP_RSA_gen(bits);
        pair.ours = testing::RsaKeyOf(pair.theirs);
    }
    return pair;
}

Bytes Wire(const BigNum& s, std::size_t k) {
    Bytes out(k);
    EXPECT_TRUE(s.ToBytes(out.data(), k));
    return out;
}

// rsa-sha2-256 and rsa-sha2-512 both ways with libcrypto; PKCS #1 v1.5 signatures are
// deterministic, so ours equal its. Each check accepts only its own digest.
TEST(RsaSha2Test, SignaturesCrossCheckWithReference) {
    const Pair& key = Key(2048);
    const std::size_t k = key.ours.n.ByteLength();
    TestRandom random(8332);
    for (int round = 0; round < 6; ++round) {
        const Bytes data = random.Bytes(random.Below(300));
        const bool use512 = round % 2 == 1;
        BigNum ours;
        ASSERT_TRUE(use512 ? RsaSignSha512(data.data(), data.size(), key.ours, &ours)
                           : RsaSignSha256(data.data(), data.size(), key.ours, &ours));
        const Bytes ourWire = Wire(ours, k);

        const EVP_MD* md = use512 ? EVP_sha512() : EVP_sha256();
        EXPECT_TRUE(testing::OpenSslVerify(key.theirs, md, ourWire, data));
        const Bytes theirWire = testing::OpenSslSign(key.theirs, md, data);
        EXPECT_EQ(theirWire, ourWire);

        BigNum s;
        s.SetBytes(theirWire.data(), theirWire.size());
        const BigNum &e = key.ours.e, &n = key.ours.n;
        EXPECT_EQ(RsaVerifySha256(data.data(), data.size(), e, n, s), !use512);
        EXPECT_EQ(RsaVerifySha512(data.data(), data.size(), e, n, s), use512);
        EXPECT_FALSE(RsaVerifySha1(data.data(), data.size(), e, n, s));
        EXPECT_FALSE(RsaVerify(data.data(), data.size(), e, n, s));
        Bytes other = data;
        other.push_back(0);
        EXPECT_FALSE(RsaVerifySha256(other.data(), other.size(), e, n, s));
        EXPECT_FALSE(RsaVerifySha512(other.data(), other.size(), e, n, s));
    }
}

// The DigestInfo with its parameters absent passes like the NULL form; a truncated digest or the
// other SHA-2 identifier do not. (Trailing bytes, shifted blocks and signatures out of range go
// through the same block comparison for every digest and are tested with SHA-1.)
TEST(RsaSha2Test, DigestInfoFormsAndForgeries) {
    const Pair& key = Key(2048);
    const std::size_t k = key.ours.n.ByteLength();
    const std::uint8_t data[] = "exchange hash";
    std::uint8_t digest[32];
    CSHA256::Digest(data, sizeof(data), digest);
    const Bytes withNull = FromHex("3031300d060960864801650304020105000420");
    const Bytes absent = FromHex(
        "302f300b0609608648016503040201"
        "0420");
    const Bytes sha512Oid = FromHex("3031300d060960864801650304020305000420");
    auto info = [&](const Bytes& prefix, std::size_t digestLength) {
        Bytes t = prefix;
        t.insert(t.end(), digest, digest + digestLength);
        return t;
    };
    // The block 00 01 FF.. 00 DigestInfo digest built by hand and raised to d.
    auto verifySigned = [&](const Bytes& t) {
        const BigNum s = testing::RawSign(testing::Block(k, k - 3 - t.size(), t), key.ours);
        return RsaVerifySha256(data, sizeof(data), key.ours.e, key.ours.n, s);
    };
    const Bytes good = info(withNull, 32), noParams = info(absent, 32);
    EXPECT_TRUE(verifySigned(good));
    EXPECT_TRUE(verifySigned(noParams));
    const Bytes wrongOid = info(sha512Oid, 32);
    EXPECT_FALSE(verifySigned(wrongOid));
    Bytes shortDigest = info(withNull, 31);
    shortDigest[1] = 0x30;
    shortDigest[18] = 0x1f;
    EXPECT_FALSE(verifySigned(shortDigest));
}

// A 512-bit modulus has room for the SHA-256 DigestInfo with eight padding bytes but not for the
// SHA-512 one: signing says so rather than produce a short block.
TEST(RsaSha2Test, SmallModulusRefusesSha512) {
    const Pair& key = Key(512);
    const std::uint8_t data[] = "x";
    BigNum s;
    EXPECT_TRUE(RsaSignSha256(data, 1, key.ours, &s));
    EXPECT_TRUE(RsaVerifySha256(data, 1, key.ours.e, key.ours.n, s));
    EXPECT_FALSE(RsaSignSha512(data, 1, key.ours, &s));
}

}  // namespace
}  // namespace tarnwick
