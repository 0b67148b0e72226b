#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::FromHex;
using testing::TestRandom;
using testing::ToHex;

std::unique_ptr<Hash> NewSha2(int bits) {
    if (bits == 256) return std::make_unique<CSHA256>();
    if (bits == 384) return std::make_unique<CSHA384>();
    return std::make_unique<CSHA512>();
}

const EVP_MD* Reference(int bits) {
    return bits == 256 ? EVP_sha256() : bits == 384 ? EVP_sha384() : EVP_sha512();
}

std::string DigestHex(int bits, const std::string& text) {
    auto hash = NewSha2(bits);
    hash->Update(text.data(), text.size());
    std::vector<std::uint8_t> out(static_cast<std::size_t>(hash->DigestSize()));
    hash->Final(out.data());
    return ToHex(out);
}

// FIPS 180-4 examples; the one-call forms agree.
TEST(Sha2Test, PublishedVectors) {
    const std::string two56 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string eight96 =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
        "nopqrsmnopqrstnopqrstu";
    EXPECT_EQ(DigestHex(256, ""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(DigestHex(256, "abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(DigestHex(256, two56),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(DigestHex(256, std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(DigestHex(384, "abc"),
              "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358b"
              "aeca134c825a7");
    EXPECT_EQ(DigestHex(384, eight96),
              "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c"
              "3e9fa91746039");
    EXPECT_EQ(DigestHex(512, ""),
              "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8"
              "318d2877eec2f63b931bd47417a81a538327af927da3e");
    EXPECT_EQ(DigestHex(512, "abc"),
              "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836b"
              "a3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
    EXPECT_EQ(DigestHex(512, eight96),
              "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331"
              "b99dec4b5433ac7d329eeb6dd26545e96e55b874be909");

    std::uint8_t a[32], b[48], c[64];
    CSHA256::Digest("abc", 3, a);
    CSHA384::Digest("abc", 3, b);
    CSHA512::Digest("abc", 3, c);
    EXPECT_EQ(ToHex(a, 32), DigestHex(256, "abc"));
    EXPECT_EQ(ToHex(b, 48), DigestHex(384, "abc"));
    EXPECT_EQ(ToHex(c, 64), DigestHex(512, "abc"));
}

// Random messages fed whole, byte by byte and at random splits, and continued from a copied,
// cloned or taken-over state, all give libcrypto's one-call digest.
TEST(Sha2Test, SplitsAndCopiedStatesMatchReference) {
    TestRandom random(256);
    for (int round = 0; round < 300; ++round) {
        const int bits = round % 3 == 0 ? 256 : round % 3 == 1 ? 384 : 512;
        const auto message = random.Bytes(random.Below(600));
        std::uint8_t want[EVP_MAX_MD_SIZE];
        unsigned int wantLength = 0;
        EVP_Digest(message.data(), message.size(), want, &wantLength, Reference(bits), nullptr);
        const std::string expected = ToHex(want, wantLength);

        auto hash = NewSha2(bits);
        const std::size_t cut = random.Below(message.size() + 1);
        if (round % 4 == 0) {
            for (std::uint8_t byte : message)
                hash->Update(&byte, 1);
        } else {
            for (std::size_t at = 0; at < cut;) {
                const std::size_t n = std::min(cut - at, 1 + random.Below(200));
                hash->Update(message.data() + at, n);
                at += n;
            }
        }
        // Continue from the prefix three ways; the original must be undisturbed.
        std::vector<std::unique_ptr<Hash>> continuations;
        continuations.push_back(hash->Clone());
        continuations.push_back(NewSha2(bits));
        ASSERT_TRUE(continuations.back()->CopyStateFrom(*hash));
        for (auto& next : continuations) {
            if (round % 4 != 0) next->Update(message.data() + cut, message.size() - cut);
            std::vector<std::uint8_t> out(wantLength);
            next->Final(out.data());
            ASSERT_EQ(ToHex(out), expected) << round;
        }
        if (round % 4 != 0) hash->Update(message.data() + cut, message.size() - cut);
        std::vector<std::uint8_t> out(wantLength);
        hash->Final(out.data());
        ASSERT_EQ(ToHex(out), expected) << round;
        // Reusable after Init.
        hash->Init();
        hash->Update(message.data(), message.size());
        hash->Final(out.data());
        ASSERT_EQ(ToHex(out), expected) << round;
    }
    // Value copies behave the same way.
    CSHA256 sha;
    sha.Update("ab", 2);
    CSHA256 copy = sha;
    copy.Update("c", 1);
    sha.Update("c", 1);
    std::uint8_t x[32], y[32];
    sha.Final(x);
    copy.Final(y);
    EXPECT_EQ(ToHex(x, 32), ToHex(y, 32));
}

// A state never moves between different digests (nor from SHA-1, whose block size is the same).
TEST(Sha2Test, StatesOnlyMoveBetweenObjectsOfOneKind) {
    CSHA256 a;
    CSHA512 b;
    CSHA1 c;
    EXPECT_FALSE(a.CopyStateFrom(b));
    EXPECT_FALSE(b.CopyStateFrom(a));
    EXPECT_FALSE(a.CopyStateFrom(c));
    EXPECT_FALSE(c.CopyStateFrom(a));
}

std::string HmacHex(int bits, const std::vector<std::uint8_t>& key, const std::string& data) {
    HMAC mac(NewSha2(bits), key.data(), key.size());
    mac.Update(data.data(), data.size());
    std::vector<std::uint8_t> out(static_cast<std::size_t>(mac.DigestSize()));
    mac.Final(out.data());
    return ToHex(out);
}

// RFC 4231 test cases 1, 2 and 6 (a 131-byte key, longer than every block, hashed first).
TEST(HmacSha2Test, Rfc4231Vectors) {
    const std::vector<std::uint8_t> k1(20, 0x0b), k6(131, 0xaa);
    const std::vector<std::uint8_t> jefe = {'J', 'e', 'f', 'e'};
    const std::string d1 = "Hi There", d2 = "what do ya want for nothing?",
                      d6 = "Test Using Larger Than Block-Size Key - Hash Key First";
    const struct {
        int bits;
        const std::vector<std::uint8_t>& key;
        const std::string& data;
        const char* mac;
    } cases[] = {
        {256, k1, d1, "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {384, k1, d1,
         "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8"
         "b2fa9cb6"},
        {512, k1, d1,
         "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274e"
         "aea3f4e4be9d914eeb61f1702e696c203a126854"},
        {256, jefe, d2, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {384, jefe, d2,
         "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ec"
         "fab21649"},
        {512, jefe, d2,
         "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65"
         "f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
        {256, k6, d6, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {384, k6, d6,
         "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df1"
         "63f44952"},
        {512, k6, d6,
         "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd221"
         "5d6a1e5295e64f73f63f0aec8b915a985d786598"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HmacHex(c.bits, c.key, c.data), c.mac) << c.bits << " " << c.data;
}

// Keys around both block sizes and random splits against libcrypto's HMAC; one object serves
// message after message as the SSH MAC does.
TEST(HmacSha2Test, MatchesReferenceOnRandomKeysAndMessages) {
    TestRandom random(4231);
    for (int round = 0; round < 300; ++round) {
        const int bits = round % 3 == 0 ? 256 : round % 3 == 1 ? 384 : 512;
        const auto key = random.Bytes(random.Below(300));
        HMAC mac(NewSha2(bits), key.data(), key.size());
        for (int message = 0; message < 3; ++message) {
            const auto data = random.Bytes(random.Below(400));
            mac.Init();
            for (std::size_t at = 0; at < data.size();) {
                const std::size_t n = std::min(data.size() - at, 1 + random.Below(150));
                mac.Update(data.data() + at, n);
                at += n;
            }
            std::vector<std::uint8_t> got(static_cast<std::size_t>(mac.DigestSize()));
            mac.Final(got.data());
            std::uint8_t want[EVP_MAX_MD_SIZE];
            unsigned int wantLength = 0;
            ::HMAC(Reference(bits), key.data(), static_cast<int>(key.size()), data.data(),
                   data.size(), want, &wantLength);
            ASSERT_EQ(ToHex(got), ToHex(want, wantLength)) << round;
        }
    }
}

}  // namespace
}  // namespace tarnwick
