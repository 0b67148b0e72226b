#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/dsa.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/diffie_hellman.h"
#include "crypto/dsa.h"
#include "crypto/md5.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/sha1.h"
#include "openssl_objects.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::Block;
using testing::RawSign;
using testing::TestRandom;

BigNum Ours(const BIGNUM* b) {
    return testing::FromBn(b);
}
BIGNUM* Theirs(const BigNum& n) {
    return testing::ToBn(n);
}

RandomGenerator& TestGenerator() {
    static testing::SeededGenerator generator("public key tests");
    return generator;
}

// ---------------------------------------------------------------- RSA

struct RsaPair {
    RSA* theirs = nullptr;
    RsaPrivateKey ours;
};

// Keys made on first use (key generation is the slow part of these tests): sizes on and off the
// limb boundaries, and e = 3.
constexpr int kKeyCount = 4;
const RsaPair& Key(int index) {
    static RsaPair keys[kKeyCount];
    static const struct {
        int bits;
        unsigned long e;
    } kSpecs[kKeyCount] = {{1024, 65537}, {1000, 65537}, {2048, 65537}, {1024, 3}};
    RsaPair& pair = keys[index];
    if (pair.theirs == nullptr) {
        pair.theirs = RSA_new();
        BIGNUM* e = BN_new();
        BN_set_word(e, kSpecs[index].e);
        EXPECT_EQ(1, RSA_generate_key_ex(pair.theirs, kSpecs[index].bits, e, nullptr));
        BN_free(e);
        testing::OpenSslPtr<EVP_PKEY> wrapped(EVP_PKEY_new());
        EVP_PKEY_set1_RSA(wrapped.get(), pair.theirs);
        pair.ours = testing::RsaKeyOf(wrapped.get());
    }
    return pair;
}

TEST(RsaTest, OurSignaturesVerifyThereAndTheirsHere) {
    TestRandom random(200);
    for (int index = 0; index < kKeyCount; ++index) {
        const RsaPair& key = Key(index);
        for (int round = 0; round < 8; ++round) {
            auto data = random.Bytes(random.Below(300));
            BigNum signature;
            ASSERT_TRUE(RsaSignSha1(data.data(), data.size(), key.ours, &signature));
            std::uint8_t digest[20];
            CSHA1::Digest(data.data(), data.size(), digest);
            std::vector<std::uint8_t> sig(key.ours.n.ByteLength());
            ASSERT_TRUE(signature.ToBytes(sig.data(), sig.size()));
            EXPECT_EQ(1, RSA_verify(NID_sha1, digest, 20, sig.data(),
                                    static_cast<unsigned>(sig.size()), key.theirs));

            std::vector<std::uint8_t> theirs(static_cast<std::size_t>(RSA_size(key.theirs)));
            unsigned length = 0;
            ASSERT_EQ(1, RSA_sign(NID_sha1, digest, 20, theirs.data(), &length, key.theirs));
            BigNum s;
            s.SetBytes(theirs.data(), length);
            EXPECT_EQ(s, signature);  // PKCS #1 v1.5 signatures are deterministic
            EXPECT_TRUE(RsaVerifySha1(data.data(), data.size(), key.ours.e, key.ours.n, s));
            EXPECT_TRUE(RsaVerify(data.data(), data.size(), key.ours.e, key.ours.n, s));
            data.push_back(1);
            EXPECT_FALSE(RsaVerify(data.data(), data.size(), key.ours.e, key.ours.n, s));
        }
    }
}

TEST(RsaTest, Md5SignaturesPassOnlyTheGeneralCheck) {
    const auto& key = Key(0);
    const std::string data = "certificate body";
    std::uint8_t digest[16];
    CMD5::Digest(data.data(), data.size(), digest);
    std::vector<std::uint8_t> sig(static_cast<std::size_t>(RSA_size(key.theirs)));
    unsigned length = 0;
    ASSERT_EQ(1, RSA_sign(NID_md5, digest, 16, sig.data(), &length, key.theirs));
    BigNum s;
    s.SetBytes(sig.data(), length);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    EXPECT_TRUE(RsaVerify(bytes, data.size(), key.ours.e, key.ours.n, s));
    EXPECT_FALSE(RsaVerifySha1(bytes, data.size(), key.ours.e, key.ours.n, s));
}

TEST(RsaTest, SigningWithoutCrtNumbersGivesTheSameSignature) {
    const auto& key = Key(1);
    const std::uint8_t data[] = "sign me";
    BigNum full, plain, factorsOnly;
    ASSERT_TRUE(RsaSignSha1(data, sizeof(data), key.ours, &full));
    RsaPrivateKey bare;
    bare.n = key.ours.n;
    bare.e = key.ours.e;
    bare.d = key.ours.d;
    ASSERT_TRUE(RsaSignSha1(data, sizeof(data), bare, &plain));
    EXPECT_EQ(full, plain);
    // What the agent receives: n, e, d, iqmp, p, q.
    RsaPrivateKey agent = bare;
    agent.p = key.ours.p;
    agent.q = key.ours.q;
    agent.iqmp = key.ours.iqmp;
    ASSERT_TRUE(RsaSignSha1(data, sizeof(data), agent, &factorsOnly));
    EXPECT_EQ(full, factorsOnly);
    ASSERT_TRUE(agent.CompleteCrt());
    EXPECT_EQ(agent.dmp1, key.ours.dmp1);
    EXPECT_EQ(agent.dmq1, key.ours.dmq1);
    // A corrupted CRT number is caught by the check and the plain path answers instead.
    RsaPrivateKey broken = key.ours;
    broken.dmp1.AddSmall(2);
    BigNum recovered;
    ASSERT_TRUE(RsaSignSha1(data, sizeof(data), broken, &recovered));
    EXPECT_EQ(recovered, full);
    // A wrong private exponent everywhere gives no signature at all.
    RsaPrivateKey wrong = bare;
    wrong.d.AddSmall(2);
    EXPECT_FALSE(RsaSignSha1(data, sizeof(data), wrong, &recovered));
}

TEST(RsaTest, EncryptionDecryptsThere) {
    TestRandom random(201);
    for (int index = 0; index < kKeyCount; ++index) {
        const RsaPair& key = Key(index);
        const std::size_t k = key.ours.n.ByteLength();
        for (std::size_t length :
             {std::size_t{0}, std::size_t{1}, std::size_t{32}, std::size_t{48}, k - 11}) {
            auto secret = random.Bytes(length);
            std::vector<std::uint8_t> wire(k);
            ASSERT_TRUE(RsaEncrypt(secret.data(), secret.size(), key.ours.e, key.ours.n,
                                   TestGenerator(), wire.data(), wire.size()));
            std::vector<std::uint8_t> plain(k);
            const int n = RSA_private_decrypt(static_cast<int>(k), wire.data(), plain.data(),
                                              key.theirs, RSA_PKCS1_PADDING);
            ASSERT_EQ(n, static_cast<int>(length));
            plain.resize(static_cast<std::size_t>(n));
            EXPECT_EQ(plain, secret);
        }
        std::vector<std::uint8_t> tooLong(k - 10), wire(k);
        EXPECT_FALSE(RsaEncrypt(tooLong.data(), tooLong.size(), key.ours.e, key.ours.n,
                                TestGenerator(), wire.data(), wire.size()));
        EXPECT_FALSE(RsaEncrypt(tooLong.data(), 8, key.ours.e, key.ours.n, TestGenerator(),
                                wire.data(), wire.size() - 1));
    }
}

std::vector<std::uint8_t> Sha1DigestInfo(const std::uint8_t* data, std::size_t length) {
    std::vector<std::uint8_t> t = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                   0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    std::uint8_t digest[20];
    CSHA1::Digest(data, length, digest);
    for (std::uint8_t v : digest)
        t.push_back(v);
    return t;
}

TEST(RsaTest, MalformedAndForgedSignaturesAreRefused) {
    const auto& key = Key(0);
    const auto& pk = key.ours;
    const std::size_t k = pk.n.ByteLength();
    const std::uint8_t data[] = "host key exchange hash";
    auto t = Sha1DigestInfo(data, sizeof(data));
    auto verify = [&](const BigNum& s) { return RsaVerify(data, sizeof(data), pk.e, pk.n, s); };

    // The well-formed block for reference.
    ASSERT_TRUE(verify(RawSign(Block(k, k - 3 - t.size(), t), pk)));

    // Trailing bytes after the digest (shorter padding to make room).
    auto trailing = t;
    trailing.push_back(0x00);
    EXPECT_FALSE(verify(RawSign(Block(k, k - 3 - trailing.size(), trailing), pk)));
    // A DigestInfo whose outer length is wrong.
    auto badLength = t;
    badLength[1] = 0x22;
    EXPECT_FALSE(verify(RawSign(Block(k, k - 3 - t.size(), badLength), pk)));
    // The digest as an INTEGER instead of an OCTET STRING.
    auto integer = t;
    integer[13] = 0x02;
    EXPECT_FALSE(verify(RawSign(Block(k, k - 3 - t.size(), integer), pk)));
    // Block type 2, type 0, a padding byte that is not FF.
    EXPECT_FALSE(verify(RawSign(Block(k, k - 3 - t.size(), t, 2), pk)));
    EXPECT_FALSE(verify(RawSign(Block(k, k - 3 - t.size(), t, 0), pk)));
    auto dented = Block(k, k - 3 - t.size(), t);
    dented[5] = 0xfe;
    EXPECT_FALSE(verify(RawSign(dented, pk)));
    // The block shifted one byte (no leading zero).
    auto shifted = Block(k, k - 3 - t.size(), t);
    shifted.erase(shifted.begin());
    shifted.push_back(0);
    EXPECT_FALSE(verify(RawSign(shifted, pk)));

    // A signature at or above the modulus, and negative ones.
    BigNum good = RawSign(Block(k, k - 3 - t.size(), t), pk);
    EXPECT_FALSE(verify(pk.n));
    EXPECT_FALSE(verify(good + pk.n));
    BigNum negative(good);
    negative.Negate();
    EXPECT_FALSE(verify(negative));
    EXPECT_FALSE(verify(BigNum()));
    EXPECT_FALSE(verify(BigNum::Invalid()));
}

// The smallest integer whose cube is at least v.
BigNum CubeRootUp(const BigNum& v) {
    BigNum low, high(1u);
    high.ShiftLeft(v.BitLength() / 3 + 2);
    while (high - low > BigNum(1u)) {
        BigNum mid = (low + high) >> 1;
        if (mid * mid * mid >= v)
            high = mid;
        else
            low = mid;
    }
    return high;
}

TEST(RsaTest, SmallExponentForgeryWithGarbageIsRefused) {
    // With e = 3 a forger picks s as the cube root of "00 01 FF..FF 00 DigestInfo digest" followed
    // by free bytes; a verifier that stops after the digest accepts it. Only the public side is
    // involved, so any 3072-bit modulus above the cube serves.
    const std::size_t k = 384;
    std::vector<std::uint8_t> modulus(k, 0xff);
    BigNum n, e(3u);
    n.SetBytes(modulus.data(), k);
    const std::uint8_t data[] = "forged";
    auto t = Sha1DigestInfo(data, sizeof(data));
    std::vector<std::uint8_t> prefix = Block(k, 8, t);
    std::vector<std::uint8_t> high = prefix, low = prefix;
    high.resize(k, 0xff);
    low.resize(k, 0x00);
    BigNum lo, hi;
    lo.SetBytes(low.data(), k);
    hi.SetBytes(high.data(), k);
    BigNum s = CubeRootUp(lo);
    ASSERT_TRUE(s * s * s <= hi);  // the forged cube does start with the wanted bytes
    std::vector<std::uint8_t> cube(k);
    ASSERT_TRUE((s * s * s).ToBytes(cube.data(), k));
    ASSERT_EQ(0, std::memcmp(cube.data(), prefix.data(), prefix.size()));
    EXPECT_FALSE(RsaVerify(data, sizeof(data), e, n, s));
    EXPECT_FALSE(RsaVerifySha1(data, sizeof(data), e, n, s));
}

// A key from two primes of the given size (OpenSSL will not make keys this small).
RsaPrivateKey SmallKey(int primeBits) {
    BIGNUM *p = BN_new(), *q = BN_new();
    BN_generate_prime_ex(p, primeBits, 0, nullptr, nullptr, nullptr);
    BN_generate_prime_ex(q, primeBits, 0, nullptr, nullptr, nullptr);
    RsaPrivateKey key;
    key.p = Ours(p);
    key.q = Ours(q);
    BN_free(p);
    BN_free(q);
    key.n = key.p * key.q;
    key.e.SetUnsigned(65537);
    BigNum phi = (key.p - BigNum(1u)) * (key.q - BigNum(1u));
    EXPECT_TRUE(ModInverse(key.e, phi, &key.d));
    return key;
}

TEST(RsaTest, PaddingOfEightBytesIsTheMinimum) {
    // SHA-1 DigestInfo and digest take 35 bytes; with 00 01 .. 00 a 46-byte modulus leaves
    // exactly 8 padding bytes and a 45-byte one only 7.
    const std::uint8_t data[] = "minimum";
    RsaPrivateKey eight = SmallKey(184);
    ASSERT_EQ(eight.n.ByteLength(), 46u);
    BigNum s;
    ASSERT_TRUE(RsaSignSha1(data, sizeof(data), eight, &s));
    EXPECT_TRUE(RsaVerify(data, sizeof(data), eight.e, eight.n, s));

    RsaPrivateKey seven = SmallKey(180);
    ASSERT_EQ(seven.n.ByteLength(), 45u);
    EXPECT_FALSE(RsaSignSha1(data, sizeof(data), seven, &s));
    auto t = Sha1DigestInfo(data, sizeof(data));
    BigNum forged = RawSign(Block(45, 7, t), seven);
    EXPECT_FALSE(RsaVerify(data, sizeof(data), seven.e, seven.n, forged));
}

// ---------------------------------------------------------------- DSA

struct DsaPair {
    DSA* theirs = nullptr;
    DsaKey ours;
};

const DsaPair& DsaKeys() {
    static const DsaPair pair = [] {
        DsaPair made;
        made.theirs = DSA_new();
        EXPECT_EQ(1, DSA_generate_parameters_ex(made.theirs, 1024, nullptr, 0, nullptr, nullptr,
                                                nullptr));
        EXPECT_EQ(1, DSA_generate_key(made.theirs));
        const BIGNUM *p, *q, *g, *y, *x;
        DSA_get0_pqg(made.theirs, &p, &q, &g);
        DSA_get0_key(made.theirs, &y, &x);
        made.ours.p = Ours(p);
        made.ours.q = Ours(q);
        made.ours.g = Ours(g);
        made.ours.y = Ours(y);
        made.ours.x = Ours(x);
        return made;
    }();
    return pair;
}

TEST(DsaTest, OurSignaturesVerifyThereAndTheirsHere) {
    const auto& key = DsaKeys();
    ASSERT_EQ(key.ours.q.BitLength(), 160);
    TestRandom random(300);
    for (int round = 0; round < 20; ++round) {
        auto data = random.Bytes(random.Below(100));
        std::uint8_t digest[20];
        CSHA1::Digest(data.data(), data.size(), digest);

        BigNum r, s;
        ASSERT_TRUE(DsaSign(data.data(), data.size(), key.ours, TestGenerator(), &r, &s));
        EXPECT_TRUE(DsaVerify(data.data(), data.size(), r, s, key.ours));
        DSA_SIG* sig = DSA_SIG_new();
        DSA_SIG_set0(sig, Theirs(r), Theirs(s));
        EXPECT_EQ(1, DSA_do_verify(digest, 20, sig, key.theirs)) << round;
        DSA_SIG_free(sig);

        DSA_SIG* theirs = DSA_do_sign(digest, 20, key.theirs);
        ASSERT_NE(theirs, nullptr);
        const BIGNUM *tr, *ts;
        DSA_SIG_get0(theirs, &tr, &ts);
        EXPECT_TRUE(DsaVerify(data.data(), data.size(), Ours(tr), Ours(ts), key.ours));
        data.push_back(0);
        EXPECT_FALSE(DsaVerify(data.data(), data.size(), Ours(tr), Ours(ts), key.ours));
        DSA_SIG_free(theirs);

        std::uint8_t blob[40];
        ASSERT_TRUE(DsaSignatureBlob(r, s, blob));
        BigNum r2, s2;
        r2.SetBytes(blob, 20);
        s2.SetBytes(blob + 20, 20);
        EXPECT_EQ(r2, r);
        EXPECT_EQ(s2, s);
    }
}

TEST(DsaTest, OutOfRangeValuesAreRefused) {
    const auto& key = DsaKeys();
    const std::uint8_t data[] = "exchange hash";
    BigNum r, s;
    ASSERT_TRUE(DsaSign(data, sizeof(data), key.ours, TestGenerator(), &r, &s));
    ASSERT_TRUE(DsaVerify(data, sizeof(data), r, s, key.ours));
    const BigNum& q = key.ours.q;
    for (const BigNum& bad : {BigNum(), q, q + r, BigNum(-1), BigNum::Invalid()}) {
        EXPECT_FALSE(DsaVerify(data, sizeof(data), bad, s, key.ours));
        EXPECT_FALSE(DsaVerify(data, sizeof(data), r, bad, key.ours));
    }
    // r + q and s + q are the same residues: accepted by a verifier that skips the range check.
    EXPECT_FALSE(DsaVerify(data, sizeof(data), r + q, s, key.ours));
}

TEST(DsaTest, NoncesDifferAndAreBelowQ) {
    const auto& key = DsaKeys();
    const std::uint8_t data[] = "same message";
    BigNum r1, s1, r2, s2;
    ASSERT_TRUE(DsaSign(data, sizeof(data), key.ours, TestGenerator(), &r1, &s1));
    ASSERT_TRUE(DsaSign(data, sizeof(data), key.ours, TestGenerator(), &r2, &s2));
    EXPECT_NE(r1, r2);  // a repeated nonce would reveal x at once
    EXPECT_TRUE(DsaVerify(data, sizeof(data), r2, s2, key.ours));
    DsaKey publicOnly = key.ours;
    publicOnly.x.SetZero();
    EXPECT_FALSE(DsaSign(data, sizeof(data), publicOnly, TestGenerator(), &r1, &s1));
}

// ---------------------------------------------------------------- Diffie-Hellman

TEST(DiffieHellmanTest, DegenerateValuesAreRefused) {
    const BigNum& p = DhGroup1Prime();
    BigNum x, k;
    ASSERT_TRUE(DhPrivateExponent(p, 100, TestGenerator(), &x));
    for (const BigNum& f : {BigNum(), BigNum(1u), p - BigNum(1u), p, p + BigNum(5u), BigNum(-2)}) {
        EXPECT_FALSE(DhSharedSecret(f, x, p, &k)) << f.ToHex();
    }
    EXPECT_TRUE(DhValueInRange(BigNum(2u), p));
}

TEST(DiffieHellmanTest, PercentageSetsTheExponentLength) {
    const BigNum& p = DhGroup1Prime();
    BigNum x;
    ASSERT_TRUE(DhPrivateExponent(p, 50, TestGenerator(), &x));
    EXPECT_EQ(x.BitLength(), 512);  // 64 bytes with the top bit of the top word set
    // A session file may say anything: an exponent that could be searched is never made.
    for (int percentage : {0, 3, 10, 24}) {
        ASSERT_TRUE(DhPrivateExponent(p, percentage, TestGenerator(), &x));
        EXPECT_EQ(x.BitLength(), 256) << percentage;
    }
    ASSERT_TRUE(DhPrivateExponent(p, 400, TestGenerator(), &x));
    EXPECT_LE(x.BitLength(), 1023);
}

}  // namespace
}  // namespace tarnwick
