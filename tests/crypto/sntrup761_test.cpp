#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "crypto/random_generator.h"
#include "crypto/sha2.h"
#include "crypto/sntrup761.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::FromHex;
using testing::TestRandom;
using testing::ToHex;

// The deterministic generator the published known-answer files were made with: AES-256 in
// counter mode as a CTR_DRBG without derivation function (NIST SP 800-90A), keyed by a 48-byte
// seed, updating key and counter after every request.
class KatDrbg {
  public:
    explicit KatDrbg(const std::uint8_t seed[48]) { Update(seed); }

    void Fill(std::uint8_t* out, std::size_t length) {
        while (length > 0) {
            std::uint8_t block[16];
            Next(block);
            const std::size_t n = length < 16 ? length : 16;
            std::memcpy(out, block, n);
            out += n;
            length -= n;
        }
        Update(nullptr);
    }

  private:
    void Next(std::uint8_t out[16]) {
        for (int i = 15; i >= 0; --i) {
            if (++v_[i] != 0) break;
        }
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key_, nullptr);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_EncryptUpdate(ctx, out, &n, v_, 16);
        EVP_CIPHER_CTX_free(ctx);
    }
    void Update(const std::uint8_t* provided) {
        std::uint8_t temp[48];
        for (int i = 0; i < 3; ++i)
            Next(temp + 16 * i);
        if (provided != nullptr) {
            for (int i = 0; i < 48; ++i)
                temp[i] ^= provided[i];
        }
        std::memcpy(key_, temp, 32);
        std::memcpy(v_, temp + 32, 16);
    }

    std::uint8_t key_[32] = {};
    std::uint8_t v_[16] = {};
};

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> DataLines(const std::string& name) {
    std::ifstream in(std::string(TARNWICK_SOURCE_DIR) + "/tests/crypto/data/" + name);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The first entry of the published known-answer file (the seed drawn from the generator started
// with the bytes 0..47, then key pair, encapsulation and decapsulation from that seed), written
// in the file's own format, has a published SHA-256.
TEST(Sntrup761Test, FirstKnownAnswerEntry) {
    std::uint8_t entropy[48];
    for (int i = 0; i < 48; ++i)
        entropy[i] = static_cast<std::uint8_t>(i);
    KatDrbg master(entropy);
    std::uint8_t seed[48];
    master.Fill(seed, sizeof(seed));
    ASSERT_EQ(Upper(ToHex(seed, 48)),
              "061550234D158C5EC95595FE04EF7A25767F2E24CC2BC479D09D86DC9ABCFDE7056A8C266F9EF97ED085"
              "41DBD2E1FFA1");

    KatDrbg drbg(seed);
    const Sntrup761Random random = [&drbg](std::uint8_t* out, std::size_t length) {
        drbg.Fill(out, length);
    };
    std::uint8_t pk[kSntrup761PublicKeySize], ct[kSntrup761CiphertextSize];
    SecureBytes sk, ss, decapsulated;
    ASSERT_TRUE(Sntrup761KeyPair(random, pk, &sk));
    ASSERT_TRUE(Sntrup761Encapsulate(pk, sizeof(pk), random, ct, &ss));
    ASSERT_TRUE(Sntrup761Decapsulate(sk.data(), sk.size(), ct, sizeof(ct), &decapsulated));
    EXPECT_EQ(ToHex(ss.data(), ss.size()), ToHex(decapsulated.data(), decapsulated.size()));

    const std::string entry =
        "count = 0\nseed = " + Upper(ToHex(seed, 48)) + "\npk = " + Upper(ToHex(pk, sizeof(pk))) +
        "\nsk = " + Upper(ToHex(sk.data(), sk.size())) + "\nct = " + Upper(ToHex(ct, sizeof(ct))) +
        "\nss = " + Upper(ToHex(ss.data(), ss.size())) + "\n";
    std::uint8_t digest[32];
    CSHA256::Digest(entry.data(), entry.size(), digest);
    EXPECT_EQ(ToHex(digest, 32),
              "afc42c3a5b10f4ef69654250097ebda9b9564570f4086744b24a6daf2bd1f89a");
}

// A published decapsulation: secret key and ciphertext to shared secret.
TEST(Sntrup761Test, DecapsulationVector) {
    const auto lines = DataLines("sntrup761_decapsulation.txt");
    ASSERT_EQ(lines.size(), 3u);
    const auto sk = FromHex(lines[0]), ct = FromHex(lines[1]);
    SecureBytes ss;
    ASSERT_TRUE(Sntrup761Decapsulate(sk.data(), sk.size(), ct.data(), ct.size(), &ss));
    EXPECT_EQ(Upper(ToHex(ss.data(), ss.size())), lines[2]);
}

RandomGenerator& Generator() {
    static testing::SeededGenerator generator("sntrup761 tests");
    return generator;
}

// Random keys: the secrets agree; every tampered ciphertext (a flipped bit in the rounded part or
// in the confirmation, a forged one, all zeros or all ones) gives the implicit-rejection secret,
// which is the same for the same ciphertext and differs from the real one.
TEST(Sntrup761Test, RoundTripsAndImplicitRejection) {
    TestRandom pick(761);
    for (int round = 0; round < 4; ++round) {
        std::uint8_t pk[kSntrup761PublicKeySize], ct[kSntrup761CiphertextSize];
        SecureBytes sk, ss, got;
        ASSERT_TRUE(Sntrup761KeyPair(Generator(), pk, &sk));
        ASSERT_TRUE(Sntrup761Encapsulate(pk, sizeof(pk), Generator(), ct, &ss));
        ASSERT_TRUE(Sntrup761Decapsulate(sk.data(), sk.size(), ct, sizeof(ct), &got));
        ASSERT_EQ(ToHex(got.data(), got.size()), ToHex(ss.data(), ss.size()));

        std::vector<std::vector<std::uint8_t>> bad;
        for (std::size_t at :
             {std::size_t{0}, pick.Below(1007), std::size_t{1006}, 1007 + pick.Below(32)}) {
            std::vector<std::uint8_t> flipped(ct, ct + sizeof(ct));
            flipped[at] ^= static_cast<std::uint8_t>(1u << pick.Below(8));
            bad.push_back(flipped);
        }
        bad.push_back(pick.Bytes(sizeof(ct)));
        bad.push_back(std::vector<std::uint8_t>(sizeof(ct), 0));
        bad.push_back(std::vector<std::uint8_t>(sizeof(ct), 0xff));
        for (const auto& c : bad) {
            SecureBytes rejected, again;
            ASSERT_TRUE(Sntrup761Decapsulate(sk.data(), sk.size(), c.data(), c.size(), &rejected));
            ASSERT_TRUE(Sntrup761Decapsulate(sk.data(), sk.size(), c.data(), c.size(), &again));
            EXPECT_NE(ToHex(rejected.data(), rejected.size()), ToHex(ss.data(), ss.size()));
            EXPECT_EQ(ToHex(rejected.data(), rejected.size()), ToHex(again.data(), again.size()));
        }
    }
}

TEST(Sntrup761Test, WrongLengthsAreRefused) {
    std::uint8_t pk[kSntrup761PublicKeySize], ct[kSntrup761CiphertextSize];
    SecureBytes sk, ss;
    ASSERT_TRUE(Sntrup761KeyPair(Generator(), pk, &sk));
    EXPECT_FALSE(Sntrup761Encapsulate(pk, sizeof(pk) - 1, Generator(), ct, &ss));
    ASSERT_TRUE(Sntrup761Encapsulate(pk, sizeof(pk), Generator(), ct, &ss));
    EXPECT_FALSE(Sntrup761Decapsulate(sk.data(), sk.size() - 1, ct, sizeof(ct), &ss));
    EXPECT_FALSE(Sntrup761Decapsulate(sk.data(), sk.size(), ct, sizeof(ct) - 1, &ss));
    // Any public key of the right length encapsulates (values out of range are reduced).
    const std::vector<std::uint8_t> ones(kSntrup761PublicKeySize, 0xff);
    EXPECT_TRUE(Sntrup761Encapsulate(ones.data(), ones.size(), Generator(), ct, &ss));
}

}  // namespace
}  // namespace tarnwick
