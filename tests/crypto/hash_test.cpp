#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::ForBothPaths;
using testing::FromHex;
using testing::TestRandom;
using testing::ToHex;

std::string Md5Hex(const std::string& text) {
    std::uint8_t d[16];
    CMD5::Digest(text.data(), text.size(), d);
    return ToHex(d, 16);
}

std::string Sha1Hex(const std::string& text) {
    std::uint8_t d[20];
    CSHA1::Digest(text.data(), text.size(), d);
    return ToHex(d, 20);
}

TEST(DigestTest, Rfc1321Vectors) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(DigestTest, Fips180Vectors) {
    ForBothPaths([] {
        EXPECT_EQ(Sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
        EXPECT_EQ(Sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
                  "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
        EXPECT_EQ(Sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
        EXPECT_EQ(Sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    });
}

// Feeds the message in the given piece sizes (cycled) and returns the digest.
std::vector<std::uint8_t> Pieces(Hash& hash, const std::vector<std::uint8_t>& message,
                                 const std::vector<std::size_t>& sizes) {
    hash.Init();
    std::size_t at = 0, k = 0;
    while (at < message.size()) {
        std::size_t n = std::min(sizes[k++ % sizes.size()], message.size() - at);
        hash.Update(message.data() + at, n);
        at += n;
    }
    hash.Update(message.data(), 0);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(hash.DigestSize()));
    hash.Final(out.data());
    return out;
}

TEST(DigestTest, PiecesGiveTheSameDigestAsOneCall) {
    ForBothPaths([] {
        TestRandom random(1);
        auto message = random.Bytes(1000);
        CMD5 md5;
        CSHA1 sha;
        auto md5Whole = Pieces(md5, message, {message.size()});
        auto shaWhole = Pieces(sha, message, {message.size()});
        for (std::size_t piece : {1, 63, 64, 65}) {
            EXPECT_EQ(Pieces(md5, message, {piece}), md5Whole) << piece;
            EXPECT_EQ(Pieces(sha, message, {piece}), shaWhole) << piece;
        }
        EXPECT_EQ(Pieces(sha, message, {1, 63, 64, 65, 7, 200}), shaWhole);
    });
}

TEST(DigestTest, CopiedStateContinuesIndependently) {
    CSHA1 sha;
    sha.Update("abc", 3);
    CSHA1 copy = sha;
    std::unique_ptr<Hash> clone = sha.Clone();
    std::uint8_t a[20], b[20], c[20];
    sha.Final(a);
    copy.Update("", 0);
    copy.Final(b);
    clone->Final(c);
    EXPECT_EQ(ToHex(a, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(0, std::memcmp(a, b, 20));
    EXPECT_EQ(0, std::memcmp(a, c, 20));

    CMD5 md5;
    EXPECT_FALSE(md5.CopyStateFrom(sha));  // different classes never mix
    EXPECT_TRUE(copy.CopyStateFrom(*clone));
}

const EVP_MD* Reference(int digestSize) {
    return digestSize == 16 ? EVP_md5() : EVP_sha1();
}

TEST(DigestTest, MatchesReferenceOnRandomMessagesAndSplits) {
    ForBothPaths([] {
        TestRandom random(2);
        for (int round = 0; round < 1500; ++round) {
            auto message = random.Bytes(random.Below(700));
            std::vector<std::size_t> sizes{1 + random.Below(130), 1 + random.Below(70)};
            for (int kind = 0; kind < 2; ++kind) {
                std::unique_ptr<Hash> ours;
                if (kind == 0)
                    ours = std::make_unique<CMD5>();
                else
                    ours = std::make_unique<CSHA1>();
                auto got = Pieces(*ours, message, sizes);
                std::uint8_t want[EVP_MAX_MD_SIZE];
                unsigned int wantLength = 0;
                EVP_Digest(message.data(), message.size(), want, &wantLength,
                           Reference(ours->DigestSize()), nullptr);
                ASSERT_EQ(ToHex(got), ToHex(want, wantLength)) << round;
            }
        }
    });
}

std::string HmacHex(std::unique_ptr<Hash> inner, const std::vector<std::uint8_t>& key,
                    const std::vector<std::uint8_t>& data) {
    HMAC mac(std::move(inner), key.data(), key.size());
    mac.Init();
    mac.Update(data.data(), data.size());
    std::vector<std::uint8_t> out(static_cast<std::size_t>(mac.DigestSize()));
    mac.Final(out.data());
    return ToHex(out);
}

std::vector<std::uint8_t> Text(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(HmacTest, Rfc2202Vectors) {
    struct Case {
        std::vector<std::uint8_t> key, data;
        const char* md5;
        const char* sha1;
    };
    const std::vector<std::uint8_t> big =
        Text("Test Using Larger Than Block-Size Key - Hash Key First");
    const std::vector<Case> cases = {
        {std::vector<std::uint8_t>(16, 0x0b), Text("Hi There"), "9294727a3638bb1c13f48ef8158bfc9d",
         nullptr},
        {std::vector<std::uint8_t>(20, 0x0b), Text("Hi There"), nullptr,
         "b617318655057264e28bc0b6fb378c8ef146be00"},
        {Text("Jefe"), Text("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738",
         "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::vector<std::uint8_t>(16, 0xaa), std::vector<std::uint8_t>(50, 0xdd),
         "56be34521d144c88dbb8c733f0e8b3f6", nullptr},
        {std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd), nullptr,
         "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {FromHex("0102030405060708090a0b0c0d0e0f10111213141516171819"),
         std::vector<std::uint8_t>(50, 0xcd), "697eaf0aca3a3aea3a75164746ffaa79",
         "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {std::vector<std::uint8_t>(80, 0xaa), big, "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {std::vector<std::uint8_t>(80, 0xaa),
         Text("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
         "6f630fad67cda0ee1fb1f562db3aa53e", "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
    };
    for (const auto& c : cases) {
        if (c.md5 != nullptr) {
            EXPECT_EQ(HmacHex(std::make_unique<CMD5>(), c.key, c.data), c.md5);
            std::uint8_t out[16];
            HmacMd5(c.data.data(), c.data.size(), c.key.data(), c.key.size(), out);
            EXPECT_EQ(ToHex(out, 16), c.md5);
        }
        if (c.sha1 != nullptr) {
            EXPECT_EQ(HmacHex(std::make_unique<CSHA1>(), c.key, c.data), c.sha1);
            std::uint8_t out[20];
            HmacSha1(c.data.data(), c.data.size(), c.key.data(), c.key.size(), out);
            EXPECT_EQ(ToHex(out, 20), c.sha1);
        }
    }
}

TEST(HmacTest, SuccessiveMacsOnOneObjectAreIndependent) {
    const std::vector<std::uint8_t> key = Text("Jefe");
    HMAC mac(std::make_unique<CSHA1>(), key.data(), key.size());
    std::uint8_t first[20], second[20];
    mac.Init();
    mac.Update("some other message", 18);
    mac.Final(first);
    mac.Init();
    mac.Update("what do ya want for nothing?", 28);
    mac.Final(second);
    EXPECT_EQ(ToHex(second, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    // A copy continues from the copied state without disturbing the original.
    mac.Init();
    mac.Update("what do ya ", 11);
    HMAC copy(mac);
    copy.Update("want for nothing?", 17);
    copy.Final(first);
    EXPECT_EQ(ToHex(first, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    mac.Update("want for nothing?", 17);
    mac.Final(second);
    EXPECT_EQ(ToHex(second, 20), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
}

TEST(HmacTest, MatchesReferenceOnRandomKeysAndMessages) {
    ForBothPaths([] {
        TestRandom random(3);
        for (int round = 0; round < 1000; ++round) {
            auto key = random.Bytes(random.Below(150));
            auto message = random.Bytes(random.Below(300));
            const bool md5 = round % 2 == 0;
            std::unique_ptr<Hash> inner;
            if (md5)
                inner = std::make_unique<CMD5>();
            else
                inner = std::make_unique<CSHA1>();
            HMAC mac(std::move(inner), key.data(), key.size());
            auto got = Pieces(mac, message, {1 + random.Below(100)});
            std::uint8_t want[EVP_MAX_MD_SIZE];
            unsigned int wantLength = 0;
            ::HMAC(md5 ? EVP_md5() : EVP_sha1(), key.data(), static_cast<int>(key.size()),
                   message.data(), message.size(), want, &wantLength);
            ASSERT_EQ(ToHex(got), ToHex(want, wantLength)) << round;
            std::uint8_t oneCall[20];
            if (md5)
                HmacMd5(message.data(), message.size(), key.data(), key.size(), oneCall);
            else
                HmacSha1(message.data(), message.size(), key.data(), key.size(), oneCall);
            ASSERT_EQ(ToHex(oneCall, wantLength), ToHex(want, wantLength)) << round;
        }
    });
}

TEST(DigestTest, FingerprintText) {
    std::uint8_t digest[16];
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<std::uint8_t>(i);
    char text[48];
    std::memset(text, 'x', sizeof(text));
    CMD5 md5;
    md5.DigestToText(digest, text, 0, 0);
    EXPECT_STREQ(text, "00:01:02:03:04:05:06:07:08:09:0a:0b:0c:0d:0e:0f");
    char untouched[8] = {'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u'};
    md5.DigestToText(digest, untouched, 1, 0);
    EXPECT_EQ(untouched[0], 'u');
}

}  // namespace
}  // namespace tarnwick
