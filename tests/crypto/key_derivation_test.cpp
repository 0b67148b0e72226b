#include "crypto/bcrypt_pbkdf.h"
#include "crypto/pbkdf2.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crypto/random_generator.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"

namespace tarnwick {
namespace {

std::vector<std::uint8_t> Derive(const char* pass, std::size_t passLength, const char* salt,
                                 std::size_t saltLength, std::uint32_t rounds, std::size_t length) {
    std::vector<std::uint8_t> out(length);
    EXPECT_TRUE(BcryptPbkdf(reinterpret_cast<const std::uint8_t*>(pass), passLength,
                            reinterpret_cast<const std::uint8_t*>(salt), saltLength, rounds,
                            out.data(), out.size()));
    return out;
}

// The construction's published regression vectors: one block, several interleaved blocks, short
// outputs, binary input.
TEST(BcryptPbkdf, PublishedVectors) {
    EXPECT_EQ(
        Derive("password", 8, "salt", 4, 4, 32),
        (std::vector<std::uint8_t>{0x5b, 0xbf, 0x0c, 0xc2, 0x93, 0x58, 0x7f, 0x1c, 0x36, 0x35, 0x55,
                                   0x5c, 0x27, 0x79, 0x65, 0x98, 0xd4, 0x7e, 0x57, 0x90, 0x71, 0xbf,
                                   0x42, 0x7e, 0x9d, 0x8f, 0xbe, 0x84, 0x2a, 0xba, 0x34, 0xd9}));
    EXPECT_EQ(Derive("password", 8, "salt", 4, 8, 64),
              (std::vector<std::uint8_t>{
                  0xe1, 0x36, 0x7e, 0xc5, 0x15, 0x1a, 0x33, 0xfa, 0xac, 0x4c, 0xc1, 0xc1, 0x44,
                  0xcd, 0x23, 0xfa, 0x15, 0xd5, 0x54, 0x84, 0x93, 0xec, 0xc9, 0x9b, 0x9b, 0x5d,
                  0x9c, 0x0d, 0x3b, 0x27, 0xbe, 0xc7, 0x62, 0x27, 0xea, 0x66, 0x08, 0x8b, 0x84,
                  0x9b, 0x20, 0xab, 0x7a, 0xa4, 0x78, 0x01, 0x02, 0x46, 0xe7, 0x4b, 0xba, 0x51,
                  0x72, 0x3f, 0xef, 0xa9, 0xf9, 0x47, 0x4d, 0x65, 0x08, 0x84, 0x5e, 0x8d}));
    EXPECT_EQ(Derive("password", 8, "salt", 4, 42, 16),
              (std::vector<std::uint8_t>{0x83, 0x3c, 0xf0, 0xdc, 0xf5, 0x6d, 0xb6, 0x56, 0x08, 0xe8,
                                         0xf0, 0xdc, 0x0c, 0xe8, 0x82, 0xbd}));
    EXPECT_EQ(Derive("pass2", 5, "salt2", 5, 2, 12),
              (std::vector<std::uint8_t>{214, 14, 48, 162, 131, 206, 121, 176, 50, 104, 231, 252}));
    EXPECT_EQ(
        Derive("\x00\x01"
               "foo",
               5,
               "\x01\x02"
               "fooo3",
               7, 5, 14),
        (std::vector<std::uint8_t>{46, 189, 32, 185, 94, 85, 232, 10, 84, 26, 44, 161, 49, 126}));
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

// RFC 6070's PBKDF2-HMAC-SHA1 vectors, then libcrypto as the reference for SHA-256 and SHA-512
// over lengths that end inside a block and span several.
TEST(Pbkdf2, MatchesVectorsAndReference) {
    const auto* pass = reinterpret_cast<const std::uint8_t*>("password");
    const auto* salt = reinterpret_cast<const std::uint8_t*>("salt");
    std::uint8_t out[20];
    ASSERT_TRUE(Pbkdf2(CSHA1(), pass, 8, salt, 4, 1, out, 20));
    const std::uint8_t one[20] = {0x0c, 0x60, 0xc8, 0x0f, 0x96, 0x1f, 0x0e, 0x71, 0xf3, 0xa9,
                                  0xb5, 0x24, 0xaf, 0x60, 0x12, 0x06, 0x2f, 0xe0, 0x37, 0xa6};
    EXPECT_EQ(0, std::memcmp(out, one, 20));
    ASSERT_TRUE(Pbkdf2(CSHA1(), pass, 8, salt, 4, 4096, out, 20));
    const std::uint8_t many[20] = {0x4b, 0x00, 0x79, 0x01, 0xb7, 0x65, 0x48, 0x9a, 0xbe, 0xad,
                                   0x49, 0xd9, 0x26, 0xf7, 0x21, 0xd0, 0x65, 0xa4, 0x29, 0xc1};
    EXPECT_EQ(0, std::memcmp(out, many, 20));

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
    EXPECT_FALSE(Pbkdf2(CSHA1(), pass, 8, salt, 4, 0, out, 20));
    EXPECT_FALSE(Pbkdf2(CSHA1(), pass, 8, salt, 4, kPbkdf2MaxIterations + 1, out, 20));
}

}  // namespace
}  // namespace tarnwick
