// The record layer and the PRF against OpenSSL: TLS1-PRF on random secrets, labels and seeds;
// records sealed by us and opened with OpenSSL's DES and HMAC; the padding rule at every length;
// records collected from any pieces, and refused when they are not records.
#include <gtest/gtest.h>
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>

#include <cstring>
#include <random>

#include "crypto/wire.h"
#include "ssl/ssl_prf.h"
#include "ssl/ssl_record.h"

namespace tarnwick {
namespace {

std::string OpenSslPrf(const std::string& secret, const std::string& label, const std::string& seed,
                       std::size_t length) {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
    EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
    std::string joined = label + seed;
    OSSL_PARAM params[4];
    params[0] = OSSL_PARAM_construct_utf8_string("digest", const_cast<char*>("MD5-SHA1"), 0);
    params[1] = OSSL_PARAM_construct_octet_string("secret", const_cast<char*>(secret.data()),
                                                  secret.size());
    params[2] = OSSL_PARAM_construct_octet_string("seed", joined.data(), joined.size());
    params[3] = OSSL_PARAM_construct_end();
    std::string out(length, '\0');
    const int ok =
        EVP_KDF_derive(context, reinterpret_cast<unsigned char*>(out.data()), length, params);
    EVP_KDF_CTX_free(context);
    EVP_KDF_free(kdf);
    return ok == 1 ? out : std::string();
}

std::string RandomBytes(std::mt19937& random, std::size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

TEST(TlsPrfTest, MatchesOpenSslOnRandomSecretsLabelsAndSeeds) {
    std::mt19937 random(20240601);
    for (int round = 0; round < 200; ++round) {
        // Odd secrets share their middle byte between the halves.
        const std::string secret = RandomBytes(random, 1 + random() % 100);
        const std::string label = "label " + std::to_string(random() % 1000);
        const std::string seed = RandomBytes(random, random() % 80);
        const std::size_t length = 1 + random() % 200;
        std::string ours(length, '\0');
        TlsPrf(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size(), label,
               reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size(),
               reinterpret_cast<std::uint8_t*>(ours.data()), length);
        ASSERT_EQ(ours, OpenSslPrf(secret, label, seed, length)) << "round " << round;
    }
}

TEST(TlsPrfTest, KeyBlockIsThePrfOfTheMasterSecretWithTheRandomsSwapped) {
    std::mt19937 random(7);
    const std::string premaster = "\x03\x01" + RandomBytes(random, 46);
    const std::string client = RandomBytes(random, 32), server = RandomBytes(random, 32);
    const auto* c = reinterpret_cast<const std::uint8_t*>(client.data());
    const auto* s = reinterpret_cast<const std::uint8_t*>(server.data());
    const SecureBytes master = TlsMasterSecret(
        reinterpret_cast<const std::uint8_t*>(premaster.data()), premaster.size(), c, s);
    EXPECT_EQ(std::string(master.begin(), master.end()),
              OpenSslPrf(premaster, "master secret", client + server, 48));
    const SecureBytes block = TlsKeyBlock(master, c, s, 104);
    EXPECT_EQ(std::string(block.begin(), block.end()),
              OpenSslPrf(std::string(master.begin(), master.end()), "key expansion",
                         server + client, 104));
}

TEST(SslRecordTest, PaddingFillsTheLastBlockAndAWholeBlockWhenOnlyTheLengthByteWouldFit) {
    for (std::size_t n = 0; n < 64; ++n) {
        const std::size_t p = SSLCipherState::PaddingLength(n + 20, 8);
        EXPECT_EQ((n + 20 + p + 1) % 8, 0u) << n;
        EXPECT_GE(p, 1u);
        EXPECT_LE(p, 8u);
        if ((n + 20) % 8 == 7) {
            EXPECT_EQ(p, 8u) << n;
        }
    }
}

// Decrypts a sealed record's body with OpenSSL and checks MAC and padding as RFC 2246 says.
void CheckWithOpenSsl(const SSLCipherSuite& suite, const SecureBytes& key_block,
                      std::uint64_t sequence, std::uint8_t type, const std::string& body,
                      const std::string& record, std::string* cbc_state) {
    ASSERT_GE(record.size(), 5u);
    const std::string ciphertext = record.substr(5);
    ASSERT_EQ(ciphertext.size() % 8, 0u);
    ASSERT_EQ(static_cast<std::uint8_t>(record[3]) * 256u + static_cast<std::uint8_t>(record[4]),
              ciphertext.size());
    const std::uint8_t* key = key_block.data() + suite.ClientKeyOffset();
    DES_key_schedule schedules[3];
    for (int i = 0; i < (suite.triple ? 3 : 1); ++i) {
        DES_cblock k;
        std::memcpy(k, key + 8 * i, 8);
        DES_set_key_unchecked(&k, &schedules[i]);
    }
    DES_cblock iv;
    std::memcpy(iv, cbc_state->data(), 8);
    std::string plain(ciphertext.size(), '\0');
    auto* in = reinterpret_cast<const unsigned char*>(ciphertext.data());
    auto* out = reinterpret_cast<unsigned char*>(plain.data());
    if (suite.triple) {
        DES_ede3_cbc_encrypt(in, out, static_cast<long>(plain.size()), &schedules[0], &schedules[1],
                             &schedules[2], &iv, DES_DECRYPT);
    } else {
        DES_ncbc_encrypt(in, out, static_cast<long>(plain.size()), &schedules[0], &iv, DES_DECRYPT);
    }
    *cbc_state = ciphertext.substr(ciphertext.size() - 8);  // TLS 1.0 chains the records
    const std::size_t padding = static_cast<std::uint8_t>(plain.back());
    ASSERT_EQ(plain.size(), body.size() + 20 + padding + 1);
    EXPECT_EQ(plain.substr(body.size() + 20), std::string(padding + 1, static_cast<char>(padding)));
    EXPECT_EQ(plain.substr(0, body.size()), body);
    std::string input;
    WireWriter(input).Uint64(sequence).Byte(type).Byte(3).Byte(1).Uint16(
        static_cast<std::uint16_t>(body.size()));
    input += body;
    unsigned char mac[20];
    unsigned int mac_length = 0;
    ::HMAC(EVP_sha1(), key_block.data() + suite.ClientMacOffset(), 20,
           reinterpret_cast<const unsigned char*>(input.data()), input.size(), mac, &mac_length);
    EXPECT_EQ(plain.substr(body.size(), 20), std::string(reinterpret_cast<char*>(mac), 20));
}

TEST(SslRecordTest, SealedRecordsOpenWithOpenSslAndWithOurselves) {
    std::mt19937 random(11);
    for (std::uint16_t id : {kSuiteDesCbcSha, kSuite3DesEdeCbcSha}) {
        const SSLCipherSuite& suite = *FindCipherSuite(id);
        const std::string block_text = RandomBytes(random, suite.key_block_size);
        const SecureBytes key_block(block_text.begin(), block_text.end());
        SSLCipherState writer, reader;
        ASSERT_TRUE(writer.Activate(suite, key_block, true, true));
        ASSERT_TRUE(reader.Activate(suite, key_block, true, false));
        std::string cbc_state = block_text.substr(suite.ClientIvOffset(), 8);
        std::vector<std::size_t> lengths;
        for (std::size_t n = 0; n <= 40; ++n)
            lengths.push_back(n);
        lengths.push_back(kSSLMaxPlaintext);
        std::uint64_t sequence = 0;
        for (std::size_t n : lengths) {
            const std::string body = RandomBytes(random, n);
            std::string record;
            writer.Seal(kSSLApplicationData, reinterpret_cast<const std::uint8_t*>(body.data()),
                        body.size(), &record);
            CheckWithOpenSsl(suite, key_block, sequence++, kSSLApplicationData, body, record,
                             &cbc_state);
            SSLPacket packet;
            std::size_t used = 0;
            ASSERT_EQ(packet.Take(reinterpret_cast<const std::uint8_t*>(record.data()),
                                  record.size(), kSSLMaxCiphertext, &used),
                      SSLPacket::Collect::kComplete);
            ASSERT_TRUE(reader.Open(packet)) << n;
            EXPECT_EQ(std::string(reinterpret_cast<char*>(packet.Body()), packet.BodyLength()),
                      body);
        }
    }
}

TEST(SslRecordTest, OpenRefusesEveryFlippedBitAndEveryShortRecord) {
    const SSLCipherSuite& suite = *FindCipherSuite(kSuite3DesEdeCbcSha);
    const SecureBytes key_block(suite.key_block_size, 0x5a);
    for (std::size_t offset = 5; offset < 5 + 40; ++offset) {
        for (int bit = 0; bit < 8; ++bit) {
            SSLCipherState writer, reader;
            ASSERT_TRUE(writer.Activate(suite, key_block, false, true));
            ASSERT_TRUE(reader.Activate(suite, key_block, false, false));
            std::string record;
            writer.Seal(kSSLHandshake, reinterpret_cast<const std::uint8_t*>("0123456789abcdef"),
                        16, &record);
            ASSERT_EQ(record.size(), 45u);
            record[offset] = static_cast<char>(record[offset] ^ (1 << bit));
            SSLPacket packet;
            std::size_t used = 0;
            ASSERT_EQ(packet.Take(reinterpret_cast<const std::uint8_t*>(record.data()),
                                  record.size(), kSSLMaxCiphertext, &used),
                      SSLPacket::Collect::kComplete);
            EXPECT_FALSE(reader.Open(packet)) << offset << ":" << bit;
        }
    }
    // Bodies that cannot hold a MAC and a padding byte, or are not whole blocks.
    for (std::size_t length : {0u, 8u, 16u, 23u, 25u}) {
        SSLCipherState reader;
        ASSERT_TRUE(reader.Activate(suite, key_block, false, false));
        std::string record;
        WireWriter(record)
            .Byte(kSSLApplicationData)
            .Byte(3)
            .Byte(1)
            .String16(std::string(length, 'x'));
        SSLPacket packet;
        std::size_t used = 0;
        ASSERT_EQ(packet.Take(reinterpret_cast<const std::uint8_t*>(record.data()), record.size(),
                              kSSLMaxCiphertext, &used),
                  SSLPacket::Collect::kComplete);
        EXPECT_FALSE(reader.Open(packet)) << length;
    }
}

TEST(SslRecordTest, RecordsAreCollectedFromPiecesOfAnySize) {
    std::string stream;
    for (int i = 0; i < 4; ++i) {
        WireWriter(stream)
            .Byte(kSSLApplicationData)
            .Byte(3)
            .Byte(1)
            .String16(std::string(static_cast<std::size_t>(i * 10), static_cast<char>('a' + i)));
    }
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        SSLPacket packet;
        std::vector<std::string> bodies;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const std::size_t end = std::min(stream.size(), at + piece);
            std::size_t offset = at;
            while (offset < end) {
                std::size_t used = 0;
                const auto collected =
                    packet.Take(reinterpret_cast<const std::uint8_t*>(stream.data() + offset),
                                end - offset, kSSLMaxPlaintext, &used);
                offset += used;
                if (collected == SSLPacket::Collect::kComplete) {
                    bodies.emplace_back(reinterpret_cast<char*>(packet.Body()),
                                        packet.BodyLength());
                    packet.Reset();
                }
            }
        }
        ASSERT_EQ(bodies.size(), 4u) << piece;
        EXPECT_EQ(bodies[3], std::string(30, 'd'));
    }
}

}  // namespace
}  // namespace tarnwick
