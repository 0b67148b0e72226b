#include <gtest/gtest.h>
#include <openssl/blowfish.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/d3des.h"
#include "crypto/rijndael.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::ForBothPaths;
using testing::FromHex;
using testing::TestRandom;
using testing::ToHex;

// ---------------------------------------------------------------- AES

TEST(RijndaelTest, Fips197SingleBlocks) {
    ForBothPaths([] {
        const char* expected[] = {"69c4e0d86a7b0430d8cdb78070b4c55a",
                                  "dda97ca4864cdfe06eaf70a0ec0d7191",
                                  "8ea2b7ca516745bfeafc49904b496089"};
        auto plain = FromHex("00112233445566778899aabbccddeeff");
        std::vector<std::uint8_t> key(32);
        for (int i = 0; i < 32; ++i)
            key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
        for (int k = 0; k < 3; ++k) {
            const std::size_t keyLength = 16 + 8 * static_cast<std::size_t>(k);
            Rijndael enc;
            enc.SetDirection(1);
            ASSERT_TRUE(enc.SetKey(key.data(), keyLength));
            auto data = plain;  // a zero chaining value makes one CBC block a bare block
            enc.Encrypt(data.data(), 16);
            EXPECT_EQ(ToHex(data), expected[k]);
            std::uint8_t block[16];
            enc.EncryptBlock(plain.data(), block);
            EXPECT_EQ(ToHex(block, 16), expected[k]);

            Rijndael dec;
            dec.SetDirection(0);
            ASSERT_TRUE(dec.SetKey(key.data(), keyLength));
            dec.Decrypt(data.data(), 16);
            EXPECT_EQ(data, plain);
        }
    });
}

TEST(RijndaelTest, Sp80038aCbcVectors) {
    ForBothPaths([] {
        auto iv = FromHex("000102030405060708090a0b0c0d0e0f");
        auto plain = FromHex(
            "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
        struct Case {
            const char* key;
            const char* cipher;
        } cases[] = {
            {"2b7e151628aed2a6abf7158809cf4f3c",
             "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
             "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
            {"8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
             "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a"
             "571b242012fb7ae07fa9baac3df102e008b0e27988598881d920a9e64f5615cd"},
            {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
             "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
             "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
        };
        for (const auto& c : cases) {
            auto key = FromHex(c.key);
            Rijndael enc;
            enc.SetDirection(1);
            ASSERT_TRUE(enc.SetKey(key.data(), key.size()));
            ASSERT_TRUE(enc.SetIV(iv.data(), 16));
            auto data = plain;
            enc.Encrypt(data.data(), 32);  // two calls: the chain carries over
            enc.Encrypt(data.data() + 32, 32);
            EXPECT_EQ(ToHex(data), c.cipher);

            Rijndael dec;
            dec.SetDirection(0);
            ASSERT_TRUE(dec.SetKey(key.data(), key.size()));
            ASSERT_TRUE(dec.SetIV(iv.data(), 16));
            dec.Decrypt(data.data(), 16);
            dec.Decrypt(data.data() + 16, 48);
            EXPECT_EQ(data, plain);
        }
    });
}

TEST(RijndaelTest, RefusesOddKeysAndIvsAndLeavesPartialBlocks) {
    Rijndael cipher;
    std::uint8_t key[32] = {};
    EXPECT_FALSE(cipher.SetKey(key, 20));
    EXPECT_FALSE(cipher.SetIV(key, 8));
    ASSERT_TRUE(cipher.SetKey(key, 16));
    std::uint8_t data[20];
    std::memset(data, 0x5a, sizeof(data));
    cipher.Encrypt(data, 20);
    for (int i = 16; i < 20; ++i)
        EXPECT_EQ(data[i], 0x5a);  // the tail is not touched
}

const EVP_CIPHER* AesCbc(std::size_t keyLength) {
    return keyLength == 16   ? EVP_aes_128_cbc()
           : keyLength == 24 ? EVP_aes_192_cbc()
                             : EVP_aes_256_cbc();
}

// Runs OpenSSL's CBC over the whole message without padding.
std::vector<std::uint8_t> Reference(const EVP_CIPHER* cipher, const std::vector<std::uint8_t>& key,
                                    const std::vector<std::uint8_t>& iv,
                                    const std::vector<std::uint8_t>& in, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<std::uint8_t> out(in.size() + 32);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n + m));
    return out;
}

// Processes the message in several calls of random whole-block lengths.
void InPieces(Encryptor& cipher, std::vector<std::uint8_t>& data, bool encrypt,
              TestRandom& random) {
    const std::size_t block = static_cast<std::size_t>(cipher.BlockSize());
    std::size_t at = 0;
    while (at < data.size()) {
        std::size_t n = block * (1 + random.Below(12));
        if (n > data.size() - at) n = data.size() - at;
        if (encrypt)
            cipher.Encrypt(data.data() + at, n);
        else
            cipher.Decrypt(data.data() + at, n);
        at += n;
    }
}

TEST(RijndaelTest, MatchesReferenceOnRandomMessagesInPieces) {
    ForBothPaths([] {
        TestRandom random(10);
        for (int round = 0; round < 600; ++round) {
            const std::size_t keyLength = 16 + 8 * random.Below(3);
            auto key = random.Bytes(keyLength);
            auto iv = random.Bytes(16);
            auto plain = random.Bytes(16 * random.Below(40));
            auto want = Reference(AesCbc(keyLength), key, iv, plain, true);

            Rijndael enc;
            enc.SetDirection(1);
            enc.SetKey(key.data(), keyLength);
            enc.SetIV(iv.data(), 16);
            auto data = plain;
            InPieces(enc, data, true, random);
            ASSERT_EQ(ToHex(data), ToHex(want)) << round;

            Rijndael dec;
            dec.SetDirection(0);
            dec.SetKey(key.data(), keyLength);
            dec.SetIV(iv.data(), 16);
            InPieces(dec, data, false, random);
            ASSERT_EQ(data, plain) << round;
        }
    });
}

TEST(RijndaelTest, FastAndPortablePathsAgreeAcrossObjects) {
    // An object keyed on one path keeps it; the two must agree block for block.
    TestRandom random(11);
    auto key = random.Bytes(32);
    auto iv = random.Bytes(16);
    auto plain = random.Bytes(16 * 37);
    std::vector<std::uint8_t> results[2];
    for (int portable = 0; portable < 2; ++portable) {
        ForcePortableCrypto(portable == 1);
        Rijndael enc;
        enc.SetKey(key.data(), 32);
        enc.SetIV(iv.data(), 16);
        results[portable] = plain;
        enc.Encrypt(results[portable].data(), plain.size());
    }
    ForcePortableCrypto(false);
    EXPECT_EQ(results[0], results[1]);
}

// ---------------------------------------------------------------- DES

std::vector<std::uint8_t> DesRun(D3Des& cipher, std::vector<std::uint8_t> data, bool encrypt) {
    if (encrypt)
        cipher.Encrypt(data.data(), data.size());
    else
        cipher.Decrypt(data.data(), data.size());
    return data;
}

TEST(D3DesTest, PublishedSingleDesVectors) {
    struct Case {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
        {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
        {"0000000000000000", "0000000000000000", "8ca64de9c1b123a7"},
        {"ffffffffffffffff", "ffffffffffffffff", "7359b2163e4edc58"},
    };
    for (int inner = 0; inner < 2; ++inner) {
        for (const auto& c : cases) {
            auto key = FromHex(c.key);
            D3Des enc(inner, 0);
            enc.SetDirection(1);
            ASSERT_TRUE(enc.SetKey(key.data(), 8));
            EXPECT_EQ(ToHex(DesRun(enc, FromHex(c.plain), true)), c.cipher);
            D3Des dec(inner, 0);
            dec.SetDirection(0);
            ASSERT_TRUE(dec.SetKey(key.data(), 8));
            EXPECT_EQ(ToHex(DesRun(dec, FromHex(c.cipher), false)), c.plain);
        }
    }
}

TEST(D3DesTest, PublishedTripleDesVector) {
    // The three-key example of NIST SP 800-67 (ECB: each block with a fresh zero chaining value).
    auto key = FromHex("0123456789abcdef23456789abcdef01456789abcdef0123");
    const std::string text = "The qufck brown fox jump";
    std::vector<std::uint8_t> data(text.begin(), text.end());
    const std::vector<std::uint8_t> zero(8, 0);
    D3Des enc(0, 1);
    enc.SetDirection(1);
    ASSERT_TRUE(enc.SetKey(key.data(), 24));
    for (std::size_t i = 0; i < data.size(); i += 8) {
        enc.SetIV(zero.data(), 8);
        enc.Encrypt(data.data() + i, 8);
    }
    EXPECT_EQ(ToHex(data), "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900");
}

TEST(D3DesTest, DirectionDecidesWhicheverCallIsMade) {
    auto key = FromHex("133457799bbcdff1");
    D3Des dec(0, 0);
    dec.SetDirection(0);
    dec.SetKey(key.data(), 8);
    // Encrypt on a decrypting object decrypts.
    EXPECT_EQ(ToHex(DesRun(dec, FromHex("85e813540f0ab405"), true)), "0123456789abcdef");
}

TEST(D3DesTest, ShortKeyIsIgnoredAndPreviousScheduleStays) {
    auto key = FromHex("0123456789abcdef0123456789abcdef0123456789abcdef");
    D3Des cipher(0, 1);
    cipher.SetDirection(1);
    ASSERT_TRUE(cipher.SetKey(key.data(), 24));
    auto before = DesRun(cipher, FromHex("4e6f772069732074"), true);
    EXPECT_EQ(ToHex(before), "3fa40e8a984d4815");  // three equal keys are single DES
    std::uint8_t other[16] = {1, 2, 3};
    EXPECT_FALSE(cipher.SetKey(other, 16));
    ASSERT_TRUE(cipher.SetIV(std::vector<std::uint8_t>(8, 0).data(), 8));
    EXPECT_EQ(DesRun(cipher, FromHex("4e6f772069732074"), true), before);
    EXPECT_FALSE(cipher.SetIV(other, 16));
}

TEST(D3DesTest, OuterCbcMatchesReferenceEde3) {
    TestRandom random(20);
    for (int round = 0; round < 400; ++round) {
        auto key = random.Bytes(24);
        auto iv = random.Bytes(8);
        auto plain = random.Bytes(8 * random.Below(40));
        auto want = Reference(EVP_des_ede3_cbc(), key, iv, plain, true);

        D3Des enc(0, 1);
        enc.SetDirection(1);
        enc.SetKey(key.data(), 24);
        enc.SetIV(iv.data(), 8);
        auto data = plain;
        InPieces(enc, data, true, random);
        ASSERT_EQ(ToHex(data), ToHex(want)) << round;

        D3Des dec(0, 1);
        dec.SetDirection(0);
        dec.SetKey(key.data(), 24);
        dec.SetIV(iv.data(), 8);
        InPieces(dec, data, false, random);
        ASSERT_EQ(data, plain) << round;
    }
}

// One single-DES CBC pass by the reference.
void ReferenceDesCbc(const std::uint8_t* key, std::uint8_t* iv, std::vector<std::uint8_t>& data,
                     bool encrypt) {
    DES_key_schedule schedule;
    DES_cblock k;
    std::memcpy(k, key, 8);
    DES_set_key_unchecked(&k, &schedule);
    std::vector<std::uint8_t> out(data.size());
    DES_ncbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule,
                     reinterpret_cast<DES_cblock*>(iv), encrypt ? DES_ENCRYPT : DES_DECRYPT);
    data = out;
}

TEST(D3DesTest, SingleDesAndThreeLayersMatchReferencePasses) {
    TestRandom random(21);
    for (int round = 0; round < 300; ++round) {
        auto key = random.Bytes(24);
        auto iv = random.Bytes(24);
        auto plain = random.Bytes(8 * random.Below(30));

        // Single DES in both constructions.
        for (int inner = 0; inner < 2; ++inner) {
            auto want = plain;
            std::uint8_t v[8];
            std::memcpy(v, iv.data(), 8);
            ReferenceDesCbc(key.data(), v, want, true);
            D3Des enc(inner, 0);
            enc.SetDirection(1);
            enc.SetKey(key.data(), 8);
            enc.SetIV(iv.data(), 8);
            auto data = plain;
            InPieces(enc, data, true, random);
            ASSERT_EQ(data, want) << round;
        }

        // Three CBC layers: encrypt with key 1, decrypt with key 2, encrypt with key 3.
        auto want = plain;
        std::uint8_t v[24];
        std::memcpy(v, iv.data(), 24);
        ReferenceDesCbc(key.data(), v, want, true);
        ReferenceDesCbc(key.data() + 8, v + 8, want, false);
        ReferenceDesCbc(key.data() + 16, v + 16, want, true);
        D3Des enc(1, 1);
        enc.SetDirection(1);
        enc.SetKey(key.data(), 24);
        enc.SetIV(iv.data(), 24);
        auto data = plain;
        InPieces(enc, data, true, random);
        ASSERT_EQ(data, want) << round;

        D3Des dec(1, 1);
        dec.SetDirection(0);
        dec.SetKey(key.data(), 24);
        dec.SetIV(iv.data(), 24);
        InPieces(dec, data, false, random);
        ASSERT_EQ(data, plain) << round;
    }
}

TEST(D3DesTest, LayeredAndOuterModesDifferBeyondOneBlock) {
    auto key = FromHex("0123456789abcdef23456789abcdef01456789abcdef0123");
    std::vector<std::uint8_t> plain(16, 0x42);
    D3Des outer(0, 1), layered(1, 1);
    for (D3Des* c : {&outer, &layered}) {
        c->SetDirection(1);
        c->SetKey(key.data(), 24);
    }
    auto a = DesRun(outer, plain, true);
    auto b = DesRun(layered, plain, true);
    // With zero chaining values the first blocks agree; the chains then part.
    EXPECT_EQ(ToHex(a.data(), 8), ToHex(b.data(), 8));
    EXPECT_NE(ToHex(a.data() + 8, 8), ToHex(b.data() + 8, 8));
}

TEST(D3DesTest, PartialBlocksAreLeftAlone) {
    auto key = FromHex("133457799bbcdff1");
    D3Des cipher(0, 0);
    cipher.SetDirection(1);
    cipher.SetKey(key.data(), 8);
    std::vector<std::uint8_t> data(13, 0x77);
    cipher.Encrypt(data.data(), data.size());
    for (std::size_t i = 8; i < 13; ++i)
        EXPECT_EQ(data[i], 0x77);
}

// ---------------------------------------------------------------- Blowfish

TEST(BlowfishTest, PublishedVectors) {
    struct Case {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
        {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
        {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
    };
    for (const auto& c : cases) {
        auto key = FromHex(c.key);
        Blowfish enc(0);
        ASSERT_TRUE(enc.SetKey(key.data(), key.size()));
        auto data = FromHex(c.plain);
        enc.Encrypt(data.data(), 8);
        EXPECT_EQ(ToHex(data), c.cipher);

        // Word order 1 on the byte-reversed words gives the byte-reversed result.
        Blowfish little(1);
        little.SetKey(key.data(), key.size());
        auto reversed = FromHex(c.plain);
        std::reverse(reversed.begin(), reversed.begin() + 4);
        std::reverse(reversed.begin() + 4, reversed.end());
        little.Encrypt(reversed.data(), 8);
        std::reverse(reversed.begin(), reversed.begin() + 4);
        std::reverse(reversed.begin() + 4, reversed.end());
        EXPECT_EQ(ToHex(reversed), c.cipher);

        Blowfish dec(0);
        dec.SetKey(key.data(), key.size());
        dec.Decrypt(data.data(), 8);
        EXPECT_EQ(ToHex(data), c.plain);
    }
}

TEST(BlowfishTest, PublishedCbcVector) {
    auto key = FromHex("0123456789abcdeff0e1d2c3b4a59687");
    auto iv = FromHex("fedcba9876543210");
    std::string text = "7654321 Now is the time for ";
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.resize(32, 0);
    Blowfish enc(0);
    enc.SetKey(key.data(), key.size());
    ASSERT_TRUE(enc.SetIV(iv.data(), 8));
    enc.Encrypt(data.data(), 32);
    EXPECT_EQ(ToHex(data), "6b77b4d63006dee605b156e27403979358deb9e7154616d959f1652bd5ff92cc");
}

TEST(BlowfishTest, MatchesReferenceOnRandomKeysAndMessages) {
    TestRandom random(30);
    for (int round = 0; round < 200; ++round) {
        auto key = random.Bytes(1 + random.Below(72));
        auto iv = random.Bytes(8);
        auto plain = random.Bytes(8 * random.Below(40));
        BF_KEY schedule;
        BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
        std::vector<std::uint8_t> want(plain.size());
        auto v = iv;
        BF_cbc_encrypt(plain.data(), want.data(), static_cast<long>(plain.size()), &schedule,
                       v.data(), BF_ENCRYPT);

        Blowfish enc(0);
        enc.SetKey(key.data(), key.size());
        enc.SetIV(iv.data(), 8);
        auto data = plain;
        InPieces(enc, data, true, random);
        ASSERT_EQ(data, want) << round;

        Blowfish dec(0);
        dec.SetKey(key.data(), key.size());
        dec.SetIV(iv.data(), 8);
        InPieces(dec, data, false, random);
        ASSERT_EQ(data, plain) << round;
    }
}

TEST(BlowfishTest, SecondKeyMixesIntoTheFirstSchedule) {
    std::uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    Blowfish twice(0), once(0);
    twice.SetKey(a, 8);
    twice.SetKey(b, 8);
    once.SetKey(b, 8);
    std::uint32_t l1 = 0, r1 = 0, l2 = 0, r2 = 0;
    twice.EncryptWords(l1, r1);
    once.EncryptWords(l2, r2);
    EXPECT_TRUE(l1 != l2 || r1 != r2);
    std::uint8_t empty = 0;
    EXPECT_FALSE(once.SetKey(&empty, 0));
}

}  // namespace
}  // namespace tarnwick
