#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "crypto/base64.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using namespace std::string_literals;

// OpenSSL's armour encoder: lines of 64 characters, each ending in a line feed.
std::string OpenSslEncodeLines(const std::string& data) {
    EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
    std::string out(data.size() * 2 + 80, '\0');
    int n = 0, last = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    EVP_EncodeInit(ctx);
    EVP_EncodeUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(data.data()),
                     static_cast<int>(data.size()));
    EVP_EncodeFinal(ctx, o + n, &last);
    EVP_ENCODE_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(n + last));
    return out;
}

// EVP_DecodeBlock keeps the zero bytes that padding stands for; drop them as a decoder must.
bool OpenSslDecode(const std::string& text, std::string* out) {
    out->assign(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out->data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) return false;
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    out->resize(static_cast<std::size_t>(n) - padding);
    return true;
}

// Random data of every length over a few PEM lines, one line and in lines of 64: our encoding is
// OpenSSL's, and each side decodes the other's.
TEST(Base64Test, AgreesWithOpenSslOnRandomData) {
    testing::TestRandom random(4648);
    for (std::size_t length = 0; length < 200; ++length) {
        const auto bytes = random.Bytes(length);
        const std::string data(bytes.begin(), bytes.end());
        const std::string lines = Base64Encode(data.data(), data.size(), 64);
        ASSERT_EQ(lines, OpenSslEncodeLines(data)) << length;
        const std::string ours = Base64Encode(data.data(), data.size());
        std::string back;
        ASSERT_TRUE(OpenSslDecode(ours, &back));
        EXPECT_EQ(back, data);
        SecureBytes secure;
        ASSERT_TRUE(Base64Decode(lines, &secure, Base64Mode::kLenient));
        EXPECT_EQ(std::string(secure.begin(), secure.end()), data);
        EXPECT_EQ(Base64Decode(lines, &back), lines.empty());
    }
}

// Damaged encodings: whatever the strict decoder accepts, OpenSSL reads as the same bytes, and it
// is the only encoding of them.
TEST(Base64Test, StrictDecodingAcceptsNothingOpenSslReadsDifferently) {
    testing::TestRandom random(1421);
    const std::string noise = "AZaz09+/=\n -*\0"s;
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const auto bytes = random.Bytes(random.Below(12));
        std::string text = Base64Encode(bytes.data(), bytes.size());
        for (int e = 0; e < 2 && !text.empty(); ++e)
            text[random.Below(text.size())] = noise[random.Below(noise.size())];
        std::string ours, theirs;
        if (!Base64Decode(text, &ours)) continue;
        ++accepted;
        ASSERT_TRUE(OpenSslDecode(text, &theirs)) << text;
        EXPECT_EQ(ours, theirs) << text;
        EXPECT_EQ(Base64Encode(ours.data(), ours.size()), text);
    }
    EXPECT_GT(accepted, 1000);
}

TEST(Base64Test, RefusesMalformedText) {
    struct Case {
        std::string text;
        bool strict, lenient;  // accepted in each mode
    } cases[] = {
        {"Zg", false, false},   {"Zg=", false, false},           {"Z===", false, false},
        {"====", false, false}, {"Zg==Zg==", false, false},      {"Zm=8", false, false},
        {"Zg== ", false, true}, {"Zm9v\r\nYmFy\n", false, true}, {"Zm 9v", false, true},
        {"Zh==", false, true},  // the bits left over by the padding are not zero
        {"Zm9=", false, true},  {"Zm9v*", false, false},         {"Zm9v\0"s, false, false},
        {"Zm9_", false, false},  // the URL-safe alphabet is another encoding
    };
    for (const auto& c : cases) {
        std::string out = "left over";
        EXPECT_EQ(Base64Decode(c.text, &out), c.strict) << c.text;
        EXPECT_EQ(out.empty(), !c.strict) << c.text;
        SecureBytes secure;
        EXPECT_EQ(Base64Decode(c.text, &secure, Base64Mode::kLenient), c.lenient) << c.text;
    }
}

}  // namespace
}  // namespace tarnwick
