// MD5, SHA-1, SHA-2 and HMAC over each: the published vectors fed several ways, and random keys
// and messages against libcrypto.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "crypto/sha2.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::ForBothPaths;
using testing::ReadVectors;
using testing::TestRandom;
using testing::TestVector;
using testing::ToHex;
using Bytes = std::vector<std::uint8_t>;
using HmacOneCall = void (*)(const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t,
                             std::uint8_t*);

// The digests by the names the vector file uses, with libcrypto's counterparts and our one-call
// forms.
struct Algorithm {
    const char* name;
    std::unique_ptr<Hash> (*make)();
    const EVP_MD* (*reference)();
    void (*oneCall)(const void*, std::size_t, std::uint8_t*);
    HmacOneCall hmacOneCall;
};

template <typename H>
std::unique_ptr<Hash> Make() {
    return std::make_unique<H>();
}

const Algorithm kAlgorithms[] = {
    {"MD5", Make<CMD5>, EVP_md5, CMD5::Digest, HmacMd5},
    {"SHA-1", Make<CSHA1>, EVP_sha1, CSHA1::Digest, HmacSha1},
    {"SHA-256", Make<CSHA256>, EVP_sha256, CSHA256::Digest, nullptr},
    {"SHA-384", Make<CSHA384>, EVP_sha384, CSHA384::Digest, nullptr},
    {"SHA-512", Make<CSHA512>, EVP_sha512, CSHA512::Digest, nullptr},
};

// "SHA-256" or "HMAC(SHA-256)": the algorithm, and whether it is the HMAC over it.
const Algorithm& Find(const std::string& group, bool* hmac) {
    *hmac = group.starts_with("HMAC(");
    const std::string name = *hmac ? group.substr(5, group.size() - 6) : group;
    for (const Algorithm& a : kAlgorithms) {
        if (name == a.name) return a;
    }
    ADD_FAILURE() << "no digest " << group;
    return kAlgorithms[0];
}

std::unique_ptr<Hash> Make(const Algorithm& a, bool hmac, const Bytes& key) {
    if (!hmac) return a.make();
    return std::make_unique<HMAC>(a.make(), key.data(), key.size());
}

std::string Final(Hash& hash) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(hash.DigestSize()));
    hash.Final(out.data());
    return ToHex(out);
}

// Init, then the message in pieces of the given sizes (cycled), then Final.
std::string Digest(Hash& hash, const Bytes& message, const std::vector<std::size_t>& sizes) {
    hash.Init();
    for (std::size_t at = 0, k = 0; at < message.size();) {
        const std::size_t n = std::min(sizes[k++ % sizes.size()], message.size() - at);
        hash.Update(message.data() + at, n);
        at += n;
    }
    hash.Update(message.data(), 0);
    return Final(hash);
}

// Every vector whole, byte by byte, at random splits, continued from a cloned and a copied
// state (the original undisturbed), and through the one-call forms.
TEST(DigestTest, PublishedVectors) {
    const std::vector<TestVector> vectors = ReadVectors("digest.vec");
    ForBothPaths([&] {
        TestRandom random(1);
        for (const TestVector& v : vectors) {
            SCOPED_TRACE(v.where);
            bool hmac = false;
            const Algorithm& a = Find(v.group, &hmac);
            const Bytes in = v.Bytes("In"), key = v.Bytes("Key");
            const std::string out = v.Hex("Out");
            auto hash = Make(a, hmac, key);
            EXPECT_EQ(Digest(*hash, in, {in.size() + 1}), out);
            EXPECT_EQ(Digest(*hash, in, {1}), out);
            EXPECT_EQ(Digest(*hash, in, {1 + random.Below(130), 1 + random.Below(70)}), out);

            const std::size_t cut = random.Below(in.size() + 1);
            hash->Init();
            hash->Update(in.data(), cut);
            auto clone = hash->Clone();
            auto copy = Make(a, hmac, key);
            ASSERT_TRUE(copy->CopyStateFrom(*hash));
            for (Hash* h : {clone.get(), copy.get(), hash.get()}) {
                h->Update(in.data() + cut, in.size() - cut);
                EXPECT_EQ(Final(*h), out);
            }

            std::uint8_t one[Hash::kMaxDigestSize];
            if (!hmac) {
                a.oneCall(in.data(), in.size(), one);
                EXPECT_EQ(ToHex(one, static_cast<std::size_t>(hash->DigestSize())), out);
            } else if (a.hmacOneCall != nullptr) {
                a.hmacOneCall(in.data(), in.size(), key.data(), key.size(), one);
                EXPECT_EQ(ToHex(one, static_cast<std::size_t>(hash->DigestSize())), out);
            }
        }
    });
}

// Random keys (around every block size) and messages against libcrypto, in pieces around the
// block size; one object serves message after message, as the SSH MAC does.
TEST(DigestTest, MatchesReferenceOnRandomMessages) {
    ForBothPaths([] {
        TestRandom random(2);
        for (const Algorithm& a : kAlgorithms) {
            for (bool hmac : {false, true}) {
                SCOPED_TRACE(std::string(hmac ? "HMAC " : "") + a.name);
                for (int round = 0; round < 100; ++round) {
                    const Bytes key = random.Bytes(random.Below(300));
                    auto hash = Make(a, hmac, key);
                    const std::size_t block = static_cast<std::size_t>(hash->BlockSize());
                    for (int message = 0; message < 3; ++message) {
                        const Bytes in = random.Bytes(random.Below(700));
                        const std::string got =
                            Digest(*hash, in, {block - 1, 1 + random.Below(2 * block), block + 1});
                        std::uint8_t want[EVP_MAX_MD_SIZE];
                        unsigned int length = 0;
                        if (hmac)
                            ::HMAC(a.reference(), key.data(), static_cast<int>(key.size()),
                                   in.data(), in.size(), want, &length);
                        else
                            EVP_Digest(in.data(), in.size(), want, &length, a.reference(), nullptr);
                        ASSERT_EQ(got, ToHex(want, length)) << round;
                        if (hmac && a.hmacOneCall != nullptr) {
                            std::uint8_t one[Hash::kMaxDigestSize];
                            a.hmacOneCall(in.data(), in.size(), key.data(), key.size(), one);
                            ASSERT_EQ(ToHex(one, length), ToHex(want, length)) << round;
                        }
                    }
                }
            }
        }
    });
}

// A value copy made mid-message continues on its own, and the original is undisturbed.
template <typename H>
void ExpectCopyContinues(H& original, const std::string& head, const std::string& tail,
                         const char* digest) {
    original.Update(head.data(), head.size());
    H copy(original);
    copy.Update(tail.data(), tail.size());
    original.Update(tail.data(), tail.size());
    EXPECT_EQ(Final(copy), digest);
    EXPECT_EQ(Final(original), digest);
}

TEST(DigestTest, CopiesContinueIndependentlyAndStatesKeepTheirKind) {
    CSHA1 sha1;
    ExpectCopyContinues(sha1, "ab", "c", "a9993e364706816aba3e25717850c26c9cd0d89d");
    CSHA256 sha256;
    ExpectCopyContinues(sha256, "ab", "c",
                        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::uint8_t jefe[] = {'J', 'e', 'f', 'e'};
    HMAC mac(std::make_unique<CSHA1>(), jefe, sizeof jefe);
    ExpectCopyContinues(mac, "what do ya ", "want for nothing?",
                        "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");

    // A state never moves between different digests (nor from SHA-1, whose block size is the
    // same as SHA-256's).
    CMD5 md5;
    CSHA512 sha512;
    EXPECT_FALSE(md5.CopyStateFrom(sha1));
    EXPECT_FALSE(sha256.CopyStateFrom(sha512));
    EXPECT_FALSE(sha512.CopyStateFrom(sha256));
    EXPECT_FALSE(sha256.CopyStateFrom(sha1));
    EXPECT_FALSE(sha1.CopyStateFrom(sha256));
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
