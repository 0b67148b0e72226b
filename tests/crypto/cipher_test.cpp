// The CBC block ciphers (AES, single and triple DES in both constructions, Blowfish) and AES in
// counter mode: published vectors, random keys and messages in random pieces against libcrypto,
// and the key rules of the Encryptor interface.
#include <gtest/gtest.h>
#include <openssl/blowfish.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "crypto/aes_ctr.h"
#include "crypto/blowfish.h"
#include "crypto/d3des.h"
#include "crypto/rijndael.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::ForBothPaths;
using testing::FromHex;
using testing::ReadVectors;
using testing::TestRandom;
using testing::TestVector;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;
using Maker = std::function<std::unique_ptr<Encryptor>()>;

template <typename C, typename... Args>
Maker MakerOf(Args... args) {
    return [=] { return std::make_unique<C>(args...); };
}

// The objects that implement a vector file's group: DES and triple DES in both constructions
// (chaining around each DES pass or around the whole), which agree on one block.
std::vector<Maker> Makers(const std::string& group) {
    if (group == "AES") return {MakerOf<Rijndael>()};
    if (group == "AES-CTR") return {MakerOf<AesCtr>()};
    if (group == "DES") return {MakerOf<D3Des>(0, 0), MakerOf<D3Des>(1, 0)};
    if (group == "3DES") return {MakerOf<D3Des>(0, 1), MakerOf<D3Des>(1, 1)};
    if (group == "Blowfish") return {MakerOf<Blowfish>(0)};
    return {};
}

// Keyed for one direction, with the given chaining value or a zero one.
std::unique_ptr<Encryptor> Keyed(const Maker& make, bool encrypt, const Bytes& key, Bytes iv) {
    auto cipher = make();
    cipher->SetDirection(encrypt ? 1 : 0);
    EXPECT_TRUE(cipher->SetKey(key.data(), key.size()));
    if (iv.empty()) iv.assign(static_cast<std::size_t>(cipher->BlockSize()), 0);
    EXPECT_TRUE(cipher->SetIV(iv.data(), iv.size()));
    return cipher;
}

// Processes the message in several calls of random lengths (whole units).
void InPieces(Encryptor& cipher, Bytes& data, bool encrypt, TestRandom& random, std::size_t unit) {
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min(unit * (1 + random.Below(12)), data.size() - at);
        if (encrypt)
            cipher.Encrypt(data.data() + at, n);
        else
            cipher.Decrypt(data.data() + at, n);
        at += n;
    }
}

// Every vector in one call and in random pieces, decrypted in random pieces, on both processor
// paths; a fresh counter restarts the keystream.
TEST(CipherTest, PublishedVectors) {
    const std::vector<TestVector> vectors = ReadVectors("cipher.vec");
    ForBothPaths([&] {
        TestRandom random(10);
        for (const TestVector& v : vectors) {
            SCOPED_TRACE(v.where);
            const Bytes key = v.Bytes("Key"), iv = v.Bytes("IV"), in = v.Bytes("In");
            const std::string out = v.Hex("Out");
            const bool counter = v.group == "AES-CTR";
            for (const Maker& make : Makers(v.group)) {
                auto whole = Keyed(make, true, key, iv);
                const std::size_t unit = counter ? 1 : static_cast<std::size_t>(whole->BlockSize());
                Bytes data = in;
                whole->Encrypt(data.data(), data.size());
                EXPECT_EQ(ToHex(data), out);
                data = in;
                InPieces(*Keyed(make, true, key, iv), data, true, random, unit);
                EXPECT_EQ(ToHex(data), out);
                InPieces(*Keyed(make, false, key, iv), data, false, random, unit);
                EXPECT_EQ(data, in);
                if (counter) {
                    ASSERT_TRUE(whole->SetIV(iv.data(), iv.size()));
                    whole->Decrypt(data.data(), data.size());
                    EXPECT_EQ(ToHex(data), out);
                }
            }
            if (v.group == "AES" && iv.empty()) {
                Rijndael aes;
                ASSERT_TRUE(aes.SetKey(key.data(), key.size()));
                std::uint8_t block[16];
                aes.EncryptBlock(in.data(), block);
                EXPECT_EQ(ToHex(block, 16), out);
            }
            if (v.group == "Blowfish" && iv.empty()) {
                // Word order 1 on the byte-reversed words gives the byte-reversed result.
                Blowfish little(1);
                ASSERT_TRUE(little.SetKey(key.data(), key.size()));
                Bytes data = in;
                std::reverse(data.begin(), data.begin() + 4);
                std::reverse(data.begin() + 4, data.end());
                little.Encrypt(data.data(), 8);
                std::reverse(data.begin(), data.begin() + 4);
                std::reverse(data.begin() + 4, data.end());
                EXPECT_EQ(ToHex(data), out);
            }
        }
    });
}

// libcrypto's CBC over the whole message without padding.
Bytes Evp(const EVP_CIPHER* cipher, const Bytes& key, const Bytes& iv, const Bytes& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(in.size() + 32);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n + m));
    return out;
}

// One single-DES CBC pass by libcrypto.
void DesPass(const std::uint8_t* key, const std::uint8_t* iv, Bytes& data, bool encrypt) {
    DES_key_schedule schedule;
    DES_cblock k, v;
    std::memcpy(k, key, 8);
    std::memcpy(v, iv, 8);
    DES_set_key_unchecked(&k, &schedule);
    Bytes out(data.size());
    DES_ncbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule, &v,
                     encrypt ? DES_ENCRYPT : DES_DECRYPT);
    data = out;
}

Bytes AesCbc(const Bytes& key, const Bytes& iv, Bytes in) {
    return Evp(key.size() == 16   ? EVP_aes_128_cbc()
               : key.size() == 24 ? EVP_aes_192_cbc()
                                  : EVP_aes_256_cbc(),
               key, iv, in);
}

Bytes DesCbc(const Bytes& key, const Bytes& iv, Bytes in) {
    DesPass(key.data(), iv.data(), in, true);
    return in;
}

Bytes TripleDesCbc(const Bytes& key, const Bytes& iv, Bytes in) {
    return Evp(EVP_des_ede3_cbc(), key, iv, in);
}

// Three CBC layers: encrypt with key 1, decrypt with key 2, encrypt with key 3.
Bytes TripleDesLayers(const Bytes& key, const Bytes& iv, Bytes in) {
    DesPass(key.data(), iv.data(), in, true);
    DesPass(key.data() + 8, iv.data() + 8, in, false);
    DesPass(key.data() + 16, iv.data() + 16, in, true);
    return in;
}

Bytes BlowfishCbc(const Bytes& key, const Bytes& iv, Bytes in) {
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
    Bytes out(in.size()), chain = iv;
    BF_cbc_encrypt(in.data(), out.data(), static_cast<long>(in.size()), &schedule, chain.data(),
                   BF_ENCRYPT);
    return out;
}

struct Subject {
    const char* name;
    Maker make;
    std::vector<std::size_t> keyLengths;  // {min, max} when there are two
    std::size_t ivLength;
    Bytes (*reference)(const Bytes& key, const Bytes& iv, Bytes in);
};

const Subject kSubjects[] = {
    {"AES", MakerOf<Rijndael>(), {16, 24, 32}, 16, AesCbc},
    {"DES", MakerOf<D3Des>(0, 0), {8}, 8, DesCbc},
    {"DES, inner chaining", MakerOf<D3Des>(1, 0), {8}, 8, DesCbc},
    {"3DES", MakerOf<D3Des>(0, 1), {24}, 8, TripleDesCbc},
    {"3DES, inner chaining", MakerOf<D3Des>(1, 1), {24}, 24, TripleDesLayers},
    {"Blowfish", MakerOf<Blowfish>(0), {1, 72}, 8, BlowfishCbc},
};

TEST(CipherTest, MatchesReferenceOnRandomKeysAndMessagesInPieces) {
    ForBothPaths([] {
        TestRandom random(20);
        for (const Subject& s : kSubjects) {
            SCOPED_TRACE(s.name);
            for (int round = 0; round < 200; ++round) {
                const std::size_t keyLength =
                    s.keyLengths.size() == 2
                        ? s.keyLengths[0] + random.Below(s.keyLengths[1] - s.keyLengths[0] + 1)
                        : s.keyLengths[random.Below(s.keyLengths.size())];
                const Bytes key = random.Bytes(keyLength), iv = random.Bytes(s.ivLength);
                auto enc = Keyed(s.make, true, key, iv);
                const std::size_t block = static_cast<std::size_t>(enc->BlockSize());
                const Bytes plain = random.Bytes(block * random.Below(40));
                Bytes data = plain;
                InPieces(*enc, data, true, random, block);
                ASSERT_EQ(ToHex(data), ToHex(s.reference(key, iv, plain))) << round;
                InPieces(*Keyed(s.make, false, key, iv), data, false, random, block);
                ASSERT_EQ(data, plain) << round;
            }
        }
    });
}

// Key and chaining-value lengths a cipher does not take are refused and the previous ones stay;
// bytes after the last whole block are never touched.
TEST(CipherTest, RefusedLengthsKeepThePreviousKeyAndPartialBlocksAreLeftAlone) {
    struct Case {
        Maker make;
        std::size_t key, badKey, iv, badIv;
    } cases[] = {
        {MakerOf<Rijndael>(), 16, 20, 16, 8},  {MakerOf<D3Des>(0, 0), 8, 7, 8, 16},
        {MakerOf<D3Des>(0, 1), 24, 16, 8, 16}, {MakerOf<D3Des>(1, 1), 24, 16, 24, 4},
        {MakerOf<Blowfish>(0), 16, 0, 8, 7},
    };
    TestRandom random(30);
    for (const Case& c : cases) {
        const Bytes key = random.Bytes(c.key), iv = random.Bytes(c.iv), other = random.Bytes(32);
        auto cipher = Keyed(c.make, true, key, iv);
        const std::size_t block = static_cast<std::size_t>(cipher->BlockSize());
        Bytes before(block * 2 + 5, 0x5a);
        cipher->Encrypt(before.data(), before.size());
        for (std::size_t i = 2 * block; i < before.size(); ++i)
            EXPECT_EQ(before[i], 0x5a) << c.key;
        EXPECT_FALSE(cipher->SetKey(other.data(), c.badKey)) << c.key;
        EXPECT_FALSE(cipher->SetIV(other.data(), c.badIv)) << c.key;
        ASSERT_TRUE(cipher->SetIV(iv.data(), iv.size()));
        Bytes again(block * 2 + 5, 0x5a);
        cipher->Encrypt(again.data(), again.size());
        EXPECT_EQ(again, before) << c.key;
    }
}

TEST(CipherTest, DesDirectionDecidesWhicheverCallIsMade) {
    const Bytes key = FromHex("133457799bbcdff1");
    D3Des dec(0, 0);
    dec.SetDirection(0);
    dec.SetKey(key.data(), 8);
    Bytes data = FromHex("85e813540f0ab405");
    dec.Encrypt(data.data(), data.size());  // Encrypt on a decrypting object decrypts
    EXPECT_EQ(ToHex(data), "0123456789abcdef");
}

// The counter is one 128-bit big-endian number: the carry crosses the 32- and 64-bit boundaries
// and wraps at the top. The reference is our own AES block function on the counter values.
TEST(CipherTest, AesCounterCarriesAcrossAllBits) {
    const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f");
    for (const char* ivHex :
         {"000000000000000000000000fffffffe", "0000000000000000fffffffffffffffe",
          "fffffffffffffffffffffffffffffffe"}) {
        Bytes counter = FromHex(ivHex);
        auto cipher = Keyed(MakerOf<AesCtr>(), true, key, counter);
        Bytes stream(64, 0);
        cipher->Encrypt(stream.data(), stream.size());
        Rijndael block;
        ASSERT_TRUE(block.SetKey(key.data(), key.size()));
        for (int i = 0; i < 4; ++i) {
            std::uint8_t expected[16];
            block.EncryptBlock(counter.data(), expected);
            EXPECT_EQ(ToHex(stream.data() + 16 * i, 16), ToHex(expected, 16)) << ivHex << " " << i;
            for (int b = 15; b >= 0 && ++counter[static_cast<std::size_t>(b)] == 0; --b) {
            }
        }
    }
}

TEST(CipherTest, AesCounterModeRefusesBadLengthsAndSendsNothingInClearWithoutAKey) {
    AesCtr cipher;
    const Bytes key(32, 7), iv(16, 1);
    EXPECT_FALSE(cipher.SetKey(key.data(), 20));
    EXPECT_FALSE(cipher.SetIV(iv.data(), 8));
    Bytes data(20, 0x55);
    cipher.Encrypt(data.data(), data.size());
    EXPECT_EQ(data, Bytes(20, 0));
    EXPECT_TRUE(cipher.SetKey(key.data(), 32));
}

}  // namespace
}  // namespace tarnwick
