#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/pem.h"
#include "openssl_objects.h"

namespace tarnwick {
namespace {

using testing::BioText;
using testing::MakeKey;
using testing::OpenSslPtr;

// Compares our reading of text with OpenSSL's armour reader, block by block: label, header lines
// (OpenSSL hands them back as text) and decoded body.
void ExpectSameAsOpenSsl(const std::string& text) {
    OpenSslPtr<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    std::vector<PemBlock> blocks;
    ASSERT_EQ(PemReadAll(text, &blocks), PemStatus::kOk);
    std::size_t i = 0;
    char *name = nullptr, *header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    for (; PEM_read_bio(bio.get(), &name, &header, &data, &length) == 1; ++i) {
        ASSERT_LT(i, blocks.size());
        EXPECT_EQ(blocks[i].label, name);
        std::string headers;
        for (const auto& h : blocks[i].headers)
            headers += h.name + ": " + h.value + "\n";
        EXPECT_EQ(headers, header);
        EXPECT_EQ(std::string(blocks[i].body.begin(), blocks[i].body.end()),
                  std::string(reinterpret_cast<char*>(data), static_cast<std::size_t>(length)));
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
    }
    EXPECT_EQ(i, blocks.size());
}

// The key files OpenSSL writes: traditional and encrypted traditional forms (RFC 1421 headers),
// PKCS #8 plain and encrypted, and a public key, with text around and between the blocks; with
// LF and with blank CR LF line ends.
TEST(PemTest, ReadsOpenSslKeyFilesAsOpenSslDoes) {
    auto rsa = MakeKey("RSA");
    auto ec = MakeKey("EC");
    OpenSslPtr<BIO> bio(BIO_new(BIO_s_mem()));
    static const char kPass[] = "passphrase";
    const auto* pass = reinterpret_cast<const unsigned char*>(kPass);
    BIO_puts(bio.get(), "Bag Attributes: text before the first block\n");
    PEM_write_bio_PrivateKey_traditional(bio.get(), rsa.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr);
    PEM_write_bio_PrivateKey_traditional(bio.get(), rsa.get(), EVP_des_ede3_cbc(), pass, 10,
                                         nullptr, nullptr);
    BIO_puts(bio.get(), "text between blocks\n\n");
    PEM_write_bio_PrivateKey_traditional(bio.get(), ec.get(), EVP_aes_128_cbc(), pass, 10, nullptr,
                                         nullptr);
    PEM_write_bio_PKCS8PrivateKey(bio.get(), ec.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_PKCS8PrivateKey(bio.get(), rsa.get(), EVP_aes_256_cbc(), kPass, 10, nullptr,
                                  nullptr);
    PEM_write_bio_PUBKEY(bio.get(), rsa.get());
    BIO_puts(bio.get(), "and after the last\n");
    const std::string text = BioText(bio.get());
    ExpectSameAsOpenSsl(text);
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? " \r\n" : std::string(1, c);
    ExpectSameAsOpenSsl(crlf);

    std::vector<PemBlock> blocks;
    ASSERT_EQ(PemReadAll(crlf, &blocks), PemStatus::kOk);
    ASSERT_EQ(blocks.size(), 6u);
    EXPECT_EQ(blocks[0].line, 2u);
    EXPECT_TRUE(blocks[0].headers.empty());
    const std::string* dek = blocks[1].Header("dek-info");
    ASSERT_NE(dek, nullptr);
    EXPECT_TRUE(dek->starts_with("DES-EDE3-CBC,")) << *dek;
    EXPECT_EQ(dek->size(), 13u + 16);
}

TEST(PemTest, WrittenBlocksReadBackAndFoldedHeadersUnfold) {
    const std::string body = "\x30\x03\x02\x01\x05 and more bytes than one line holds, to wrap it";
    const std::vector<PemHeader> headers = {{"Proc-Type", "4,ENCRYPTED"},
                                            {"DEK-Info", "DES-EDE3-CBC,0011223344556677"}};
    const std::string written = PemWrite("RSA PRIVATE KEY", body.data(), body.size(), headers);
    ExpectSameAsOpenSsl(written);
    // OpenSSL refuses headers followed by an empty body, which is still well-formed armour.
    std::vector<PemBlock> blocks;
    ASSERT_EQ(
        PemReadAll(written + "-----BEGIN X-----\nComment: first\n\tsecond\n\n-----END X-----\n",
                   &blocks),
        PemStatus::kOk);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(std::string(blocks[0].body.begin(), blocks[0].body.end()), body);
    EXPECT_EQ(blocks[1].headers[0].value, "first\tsecond");
}

TEST(PemTest, MalformedArmourFailsWithItsLine) {
    struct Case {
        std::string text;
        PemStatus status;
        std::size_t line;
    } cases[] = {
        {"no armour at all\n", PemStatus::kEnd, 1},
        {"-----BEGIN A-----\nAAAA\n-----END B-----\n", PemStatus::kLabelMismatch, 3},
        {"-----BEGIN A-----\nAAAA\n", PemStatus::kUnterminated, 2},
        {"-----BEGIN A-----", PemStatus::kUnterminated, 1},
        {"-----BEGIN A-----\nAAAA\n-----BEGIN A-----\nAAAA\n-----END A-----\n",
         PemStatus::kUnterminated, 3},
        {"x\n-----BEGIN A----\nAAAA\n-----END A-----\n", PemStatus::kBadMarker, 2},
        {"-----BEGIN A-----\nAAAA\n-----END A\n", PemStatus::kBadMarker, 3},
        {"-----BEGIN A-----\nAA*A\n-----END A-----\n", PemStatus::kBadBase64, 1},
        {"-----BEGIN A-----\nAAA=AAAA\n-----END A-----\n", PemStatus::kBadBase64, 1},
        {"-----BEGIN A-----\nK: v\nAAAA\n-----END A-----\n", PemStatus::kBadHeader, 3},
        {"-----BEGIN A-----\nK: v\n-----END A-----\n", PemStatus::kBadHeader, 3},
        {"-----BEGIN A-----\nK v: x\n\nAAAA\n-----END A-----\n", PemStatus::kBadHeader, 2},
    };
    for (const auto& c : cases) {
        PemReader reader(c.text);
        PemBlock block;
        EXPECT_EQ(reader.Next(&block), c.status) << c.text;
        EXPECT_EQ(reader.line(), c.line) << c.text;
        EXPECT_EQ(reader.Next(&block), c.status) << "an error sticks: " << c.text;
    }
}

TEST(PemTest, CapsOnTextBlocksAndHeaders) {
    std::string many;
    for (std::size_t i = 0; i <= kPemMaxBlocks; ++i)
        many += "-----BEGIN A-----\n-----END A-----\n";
    std::vector<PemBlock> blocks;
    EXPECT_EQ(PemReadAll(many, &blocks), PemStatus::kTooManyBlocks);
    EXPECT_EQ(PemReadAll(std::string(kPemMaxText + 1, '\n'), &blocks), PemStatus::kTooLarge);
    std::string headers = "-----BEGIN A-----\n";
    for (std::size_t i = 0; i <= kPemMaxHeaders; ++i)
        headers += "K: v\n";
    EXPECT_EQ(PemReadAll(headers + "\n-----END A-----\n", &blocks), PemStatus::kBadHeader);
}

}  // namespace
}  // namespace tarnwick
