#include "crypto/bcrypt_pbkdf.h"
#include "crypto/pbkdf2.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/random_generator.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"
#include "vectors.h"

namespace tarnwick {
namespace {

// The vectors of kdf.vec: bcrypt-pbkdf, and PBKDF2 over HMAC-SHA1.
TEST(KeyDerivation, PublishedVectors) {
    int count = 0;
    for (const testing::TestVector& v : testing::ReadVectors("kdf.vec")) {
        SCOPED_TRACE(v.where);
        const auto pass = v.Bytes("Pass"), salt = v.Bytes("Salt"), want = v.Bytes("Out");
        const auto rounds = static_cast<std::uint32_t>(v.Int("Rounds"));
        std::vector<std::uint8_t> out(want.size());
        if (v.group == "bcrypt-pbkdf")
            ASSERT_TRUE(BcryptPbkdf(pass.data(), pass.size(), salt.data(), salt.size(), rounds,
                                    out.data(), out.size()));
        else
            ASSERT_TRUE(Pbkdf2(CSHA1(), pass.data(), pass.size(), salt.data(), salt.size(), rounds,
                               out.data(), out.size()));
        EXPECT_EQ(out, want);
        ++count;
    }
    EXPECT_EQ(count, 7);
}

TEST(BcryptPbkdf, RefusesDegenerateInput) {
    std::uint8_t out[32];
    std::memset(out, 0xAA, sizeof(out));
    const auto* pass = reinterpret_cast<const std::uint8_t*>("pw");
    const auto* salt = reinterpret_cast<const std::uint8_t*>("salt");
    EXPECT_FALSE(BcryptPbkdf(pass, 0, salt, 4, 4, out, 32));
    EXPECT_FALSE(BcryptPbkdf(pass, 2, salt, 0, 4, out, 32));
    EXPECT_FALSE(BcryptPbkdf(pass, 2, salt, 4, 0, out, 32));
    EXPECT_FALSE(BcryptPbkdf(pass, 2, salt, 4, kBcryptMaxRounds + 1, out, 32));
    EXPECT_FALSE(BcryptPbkdf(pass, 2, salt, 4, 4, out, 0));
    std::vector<std::uint8_t> big(kBcryptMaxKey + 1);
    EXPECT_FALSE(BcryptPbkdf(pass, 2, salt, 4, 1, big.data(), big.size()));
    for (std::uint8_t b : out)
        EXPECT_EQ(b, 0xAA);
}

// libcrypto as the reference for SHA-256 and SHA-512 over lengths that end inside a block and
// span several.
TEST(Pbkdf2, MatchesReference) {
    std::uint8_t secret[40];
    RandomGenerator::Global().Fill(secret, sizeof(secret));
    for (std::size_t length : {1u, 31u, 32u, 33u, 64u, 100u}) {
        for (int sha512 = 0; sha512 < 2; ++sha512) {
            std::vector<std::uint8_t> ours(length), theirs(length);
            const bool made =
                sha512 ? Pbkdf2(CSHA512(), secret, 17, secret + 20, 16, 3, ours.data(), length)
                       : Pbkdf2(CSHA256(), secret, 17, secret + 20, 16, 3, ours.data(), length);
            ASSERT_TRUE(made);
            ASSERT_EQ(1, PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(secret), 17, secret + 20,
                                           16, 3, sha512 ? EVP_sha512() : EVP_sha256(),
                                           static_cast<int>(length), theirs.data()));
            EXPECT_EQ(ours, theirs) << length << " " << sha512;
        }
    }
    const auto* pass = reinterpret_cast<const std::uint8_t*>("password");
    const auto* salt = reinterpret_cast<const std::uint8_t*>("salt");
    std::uint8_t out[20];
    EXPECT_FALSE(Pbkdf2(CSHA1(), pass, 8, salt, 4, 0, out, 20));
    EXPECT_FALSE(Pbkdf2(CSHA1(), pass, 8, salt, 4, kPbkdf2MaxIterations + 1, out, 20));
}

}  // namespace
}  // namespace tarnwick
