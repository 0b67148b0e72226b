#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/aead.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::ReadVectors;
using testing::TestRandom;
using testing::TestVector;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- AES-GCM

TEST(AesGcmTest, PublishedVectors) {
    for (const TestVector& v : ReadVectors("cipher.vec")) {
        if (v.group != "AES-GCM") continue;
        SCOPED_TRACE(v.where);
        const Bytes key = v.Bytes("Key"), iv = v.Bytes("IV"), aad = v.Bytes("AAD");
        Bytes data = v.Bytes("In");
        AesGcm gcm;
        ASSERT_TRUE(gcm.SetKey(key.data(), key.size()));
        std::uint8_t tag[16];
        ASSERT_TRUE(gcm.Seal(iv.data(), aad.data(), aad.size(), data.data(), data.size(), tag));
        EXPECT_EQ(ToHex(data), v.Hex("Out"));
        EXPECT_EQ(ToHex(tag, 16), v.Hex("Tag"));
        ASSERT_TRUE(gcm.Open(iv.data(), aad.data(), aad.size(), data.data(), data.size(), tag));
        EXPECT_EQ(data, v.Bytes("In"));
    }
}

// A changed bit anywhere (ciphertext, tag, additional data, nonce) is refused and no plaintext is
// left behind; the same object then still opens the genuine message.
TEST(AesGcmTest, TamperingIsRefused) {
    TestRandom random(5647);
    const Bytes key = random.Bytes(16), nonce = random.Bytes(12), aad = random.Bytes(4);
    const Bytes plain = random.Bytes(100);
    AesGcm gcm;
    ASSERT_TRUE(gcm.SetKey(key.data(), key.size()));
    Bytes sealed = plain;
    std::uint8_t tag[16];
    ASSERT_TRUE(gcm.Seal(nonce.data(), aad.data(), aad.size(), sealed.data(), sealed.size(), tag));
    for (int target = 0; target < 4; ++target) {
        Bytes data = sealed, a = aad, n = nonce;
        std::uint8_t t[16];
        std::memcpy(t, tag, 16);
        switch (target) {
            case 0:
                data[random.Below(data.size())] ^= 0x01;
                break;
            case 1:
                t[random.Below(16)] ^= 0x80;
                break;
            case 2:
                a[random.Below(a.size())] ^= 0x10;
                break;
            default:
                n[11] ^= 0x01;
                break;
        }
        EXPECT_FALSE(gcm.Open(n.data(), a.data(), a.size(), data.data(), data.size(), t)) << target;
        EXPECT_EQ(data, Bytes(data.size(), 0)) << target;
    }
    Bytes data = sealed;
    EXPECT_TRUE(gcm.Open(nonce.data(), aad.data(), aad.size(), data.data(), data.size(), tag));
    EXPECT_EQ(data, plain);
    EXPECT_FALSE(gcm.SetKey(key.data(), 17));
}

// ---------------------------------------------------------------- ChaCha20 and Poly1305

// The ChaCha20 block function written out from its description (RFC 8439 section 2.3), with
// the original layout: words 12-13 the 64-bit block counter, 14-15 the nonce.
void ReferenceBlock(const std::uint8_t key[32], const std::uint8_t nonce[8], std::uint64_t counter,
                    std::uint8_t out[64]) {
    auto load = [](const std::uint8_t* p) {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
               static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    };
    std::uint32_t s[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i)
        s[4 + i] = load(key + 4 * i);
    s[12] = static_cast<std::uint32_t>(counter);
    s[13] = static_cast<std::uint32_t>(counter >> 32);
    s[14] = load(nonce);
    s[15] = load(nonce + 4);
    std::uint32_t x[16];
    std::memcpy(x, s, sizeof(x));
    auto rotl = [](std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
    auto quarter = [&](int a, int b, int c, int d) {
        x[a] += x[b], x[d] = rotl(x[d] ^ x[a], 16);
        x[c] += x[d], x[b] = rotl(x[b] ^ x[c], 12);
        x[a] += x[b], x[d] = rotl(x[d] ^ x[a], 8);
        x[c] += x[d], x[b] = rotl(x[b] ^ x[c], 7);
    };
    for (int round = 0; round < 10; ++round) {
        quarter(0, 4, 8, 12), quarter(1, 5, 9, 13), quarter(2, 6, 10, 14), quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15), quarter(1, 6, 11, 12), quarter(2, 7, 8, 13), quarter(3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t v = x[i] + s[i];
        for (int b = 0; b < 4; ++b)
            out[4 * i + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
}

Bytes ReferenceStream(const Bytes& key, const Bytes& nonce, std::uint64_t counter, std::size_t n) {
    Bytes out;
    while (out.size() < n) {
        std::uint8_t block[64];
        ReferenceBlock(key.data(), nonce.data(), counter++, block);
        out.insert(out.end(), block, block + 64);
    }
    out.resize(n);
    return out;
}

// The vectors check our ChaCha20 and the reference the other tests compare it with.
TEST(ChaCha20Test, PublishedVectors) {
    for (const TestVector& v : ReadVectors("cipher.vec")) {
        if (v.group != "ChaCha20") continue;
        SCOPED_TRACE(v.where);
        const Bytes key = v.Bytes("Key"), nonce = v.Bytes("Nonce");
        const std::uint64_t counter = static_cast<std::uint64_t>(v.Int("Counter"));
        const std::string out = v.Hex("Out");
        EXPECT_EQ(ToHex(ReferenceStream(key, nonce, counter, out.size() / 2)), out);
        ChaCha20 cipher;
        ASSERT_TRUE(cipher.SetKey(key.data(), key.size()));
        ASSERT_TRUE(cipher.SetNonce(nonce.data(), counter));
        Bytes stream(out.size() / 2, 0);
        ASSERT_TRUE(cipher.Crypt(stream.data(), stream.size()));
        EXPECT_EQ(ToHex(stream), out);
    }
}

// Random keys, nonces and starting blocks (some just below 2^32, where the counter must carry
// into its high word rather than wrap) at random splits, against the reference.
TEST(ChaCha20Test, StreamsMatchReferenceAcrossSplitsAndCounterCarry) {
    TestRandom random(8439);
    for (int round = 0; round < 60; ++round) {
        const Bytes key = random.Bytes(32), nonce = random.Bytes(8);
        std::uint64_t block = random.Next();
        if (round % 3 == 0) block = 0xffffffffull - random.Below(3);
        if (round % 3 == 1) block = 0xfffffffffffffffeull;
        const Bytes plain = random.Bytes(random.Below(700));
        ChaCha20 cipher;
        ASSERT_TRUE(cipher.SetKey(key.data(), key.size()));
        ASSERT_TRUE(cipher.SetNonce(nonce.data(), block));
        Bytes data = plain;
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t n = std::min(data.size() - at, random.Below(150));
            ASSERT_TRUE(cipher.Crypt(data.data() + at, n));
            at += n;
        }
        const Bytes stream = ReferenceStream(key, nonce, block, plain.size());
        for (std::size_t i = 0; i < plain.size(); ++i)
            ASSERT_EQ(data[i], plain[i] ^ stream[i]) << round << " at " << i;
    }
}

TEST(ChaCha20Test, RefusesBadKeysAndWorkWithoutOne) {
    ChaCha20 cipher;
    const Bytes key(31, 1), nonce(8, 0);
    EXPECT_FALSE(cipher.SetKey(key.data(), key.size()));
    EXPECT_FALSE(cipher.SetNonce(nonce.data(), 0));
    Bytes data(10, 0x77);
    EXPECT_FALSE(cipher.Crypt(data.data(), data.size()));
    EXPECT_EQ(data, Bytes(10, 0));
}

TEST(Poly1305Test, PublishedVector) {
    for (const TestVector& v : ReadVectors("cipher.vec")) {
        if (v.group != "Poly1305") continue;
        const Bytes key = v.Bytes("Key"), message = v.Bytes("In");
        std::uint8_t tag[16];
        ASSERT_TRUE(Poly1305(key.data(), message.data(), message.size(), tag));
        EXPECT_EQ(ToHex(tag, 16), v.Hex("Tag"));
    }
}

// ---------------------------------------------------------------- SSH packets

// A wrong tag, a changed byte (in the length or the payload) or a wrong sequence number is
// refused and the packet stays as it arrived; the genuine packet still opens afterwards. (The
// layout itself is proven against sshd by the interop tests.)
TEST(SshChaChaPolyTest, TamperingIsRefusedBeforeDecryption) {
    TestRandom random(4254);
    const Bytes key = random.Bytes(64);
    SshChaChaPoly sender, receiver;
    ASSERT_TRUE(sender.SetKey(key.data(), key.size()));
    ASSERT_TRUE(receiver.SetKey(key.data(), key.size()));
    Bytes packet = random.Bytes(64);
    const Bytes plain = packet;
    std::uint8_t tag[16];
    ASSERT_TRUE(sender.Seal(3, packet.data(), packet.size(), tag));
    for (int target = 0; target < 4; ++target) {
        Bytes p = packet;
        std::uint8_t t[16];
        std::memcpy(t, tag, 16);
        std::uint64_t sequence = 3;
        if (target == 0) p[1] ^= 0x40;
        if (target == 1) p[10 + random.Below(50)] ^= 0x01;
        if (target == 2) t[15] ^= 0x01;
        if (target == 3) sequence = 4;
        const Bytes arrived = p;
        EXPECT_FALSE(receiver.Open(sequence, p.data(), p.size(), t)) << target;
        EXPECT_EQ(p, arrived) << target;
    }
    Bytes genuine = packet;
    ASSERT_TRUE(receiver.Open(3, genuine.data(), genuine.size(), tag));
    EXPECT_EQ(genuine, plain);
    EXPECT_FALSE(receiver.SetKey(key.data(), 32));
    EXPECT_FALSE(receiver.Open(3, packet.data(), 3, tag));
}

// aes*-gcm@openssh.com by hand: the length field is the additional data, the nonce's last eight
// bytes count packets (carrying into the fixed field never), and the receiver follows.
TEST(SshAesGcmTest, MatchesTheLayoutComputedByHand) {
    TestRandom random(5647);
    for (std::size_t keyLength : {16u, 32u}) {
        const Bytes key = random.Bytes(keyLength);
        Bytes iv = random.Bytes(12);
        for (int i = 4; i < 12; ++i)
            iv[static_cast<std::size_t>(i)] = 0xff;  // the counter wraps after the first packet
        iv[11] = 0xfe;
        SshAesGcm sender, receiver;
        ASSERT_TRUE(sender.SetKey(key.data(), key.size(), iv.data(), iv.size()));
        ASSERT_TRUE(receiver.SetKey(key.data(), key.size(), iv.data(), iv.size()));
        Bytes nonce = iv;
        for (int packetNumber = 0; packetNumber < 4; ++packetNumber) {
            Bytes packet = random.Bytes(4 + 16 * (1 + random.Below(10)));
            const Bytes plain = packet;

            EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
            EVP_EncryptInit_ex(ctx, keyLength == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm(),
                               nullptr, key.data(), nonce.data());
            int n = 0;
            Bytes expected = plain;
            EVP_EncryptUpdate(ctx, nullptr, &n, plain.data(), 4);
            EVP_EncryptUpdate(ctx, expected.data() + 4, &n, plain.data() + 4,
                              static_cast<int>(plain.size() - 4));
            EVP_EncryptFinal_ex(ctx, nullptr, &n);
            std::uint8_t expectedTag[16];
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, expectedTag);
            EVP_CIPHER_CTX_free(ctx);

            std::uint8_t tag[16];
            ASSERT_TRUE(sender.Seal(packet.data(), packet.size(), tag));
            EXPECT_EQ(ToHex(packet), ToHex(expected)) << packetNumber;
            EXPECT_EQ(ToHex(tag, 16), ToHex(expectedTag, 16)) << packetNumber;
            ASSERT_TRUE(receiver.Open(packet.data(), packet.size(), tag));
            EXPECT_EQ(packet, plain);
            for (int b = 11; b >= 4 && ++nonce[static_cast<std::size_t>(b)] == 0; --b) {
            }
        }
        // A refused packet does not move the receiver on.
        Bytes packet = random.Bytes(36), copy;
        std::uint8_t tag[16];
        ASSERT_TRUE(sender.Seal(packet.data(), packet.size(), tag));
        copy = packet;
        tag[0] ^= 1;
        EXPECT_FALSE(receiver.Open(copy.data(), copy.size(), tag));
        tag[0] ^= 1;
        EXPECT_TRUE(receiver.Open(packet.data(), packet.size(), tag));
    }
    SshAesGcm gcm;
    const Bytes key(24, 1), iv(12, 0);
    EXPECT_FALSE(gcm.SetKey(key.data(), 24, iv.data(), 12));
    EXPECT_FALSE(gcm.SetKey(key.data(), 16, iv.data(), 11));
}

}  // namespace
}  // namespace tarnwick
