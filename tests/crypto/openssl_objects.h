// Keys made with OpenSSL for the decoder tests, numbers moved between OpenSSL and our own big
// numbers, libcrypto signatures, and PKCS #1 blocks built by hand for the RSA forgery tests.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/rsa.h"

namespace tarnwick::testing {

struct OpenSslFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(BN_CTX* p) const { BN_CTX_free(p); }
};
template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// type "RSA" (1024 bits) or "EC" (P-256).
inline OpenSslPtr<EVP_PKEY> MakeKey(const std::string& type) {
    if (type == "EC")
        return OpenSslPtr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    return OpenSslPtr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", 1024));
}

inline std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

// libcrypto's signature of message with the digest md (empty when it cannot sign), and its check
// of a signature.
inline std::vector<std::uint8_t> OpenSslSign(EVP_PKEY* key, const EVP_MD* md,
                                             const std::vector<std::uint8_t>& message) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::vector<std::uint8_t> out(EVP_PKEY_get_size(key));
    std::size_t length = out.size();
    if (EVP_DigestSignInit(ctx, nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(ctx, out.data(), &length, message.data(), message.size()) != 1)
        length = 0;
    EVP_MD_CTX_free(ctx);
    out.resize(length);
    return out;
}
inline bool OpenSslVerify(EVP_PKEY* key, const EVP_MD* md, const std::vector<std::uint8_t>& sig,
                          const std::vector<std::uint8_t>& message) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool good =
        EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
        EVP_DigestVerify(ctx, sig.data(), sig.size(), message.data(), message.size()) == 1;
    EVP_MD_CTX_free(ctx);
    return good;
}

// A number as BigNum::ToHex writes it: lower case, no leading zeros, "-" for negatives.
inline std::string BnHex(const BIGNUM* bn) {
    char* hex = BN_bn2hex(bn);
    std::string s(hex);
    OPENSSL_free(hex);
    const bool negative = !s.empty() && s[0] == '-';
    if (negative) s.erase(0, 1);
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    s.erase(0, std::min(s.find_first_not_of('0'), s.size() - 1));
    return negative ? "-" + s : s;
}

// A libcrypto number as ours, and ours as a new libcrypto number.
inline BigNum FromBn(const BIGNUM* b) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(BN_num_bytes(b)));
    BN_bn2bin(b, bytes.data());
    BigNum n;
    EXPECT_TRUE(n.SetBytes(bytes.data(), bytes.size(), BN_is_negative(b) != 0));
    return n;
}
inline BIGNUM* ToBn(const BigNum& n) {
    const auto bytes = n.ToBytes();
    BIGNUM* b = BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr);
    BN_set_negative(b, n.IsNegative() ? 1 : 0);
    return b;
}

// The numbers of a libcrypto RSA key as our private key.
inline RsaPrivateKey RsaKeyOf(EVP_PKEY* key) {
    const auto number = [key](const char* name) {
        BIGNUM* raw = nullptr;
        EVP_PKEY_get_bn_param(key, name, &raw);
        OpenSslPtr<BIGNUM> bn(raw);
        return FromBn(bn.get());
    };
    RsaPrivateKey k;
    k.n = number(OSSL_PKEY_PARAM_RSA_N);
    k.e = number(OSSL_PKEY_PARAM_RSA_E);
    k.d = number(OSSL_PKEY_PARAM_RSA_D);
    k.p = number(OSSL_PKEY_PARAM_RSA_FACTOR1);
    k.q = number(OSSL_PKEY_PARAM_RSA_FACTOR2);
    k.dmp1 = number(OSSL_PKEY_PARAM_RSA_EXPONENT1);
    k.dmq1 = number(OSSL_PKEY_PARAM_RSA_EXPONENT2);
    k.iqmp = number(OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return k;
}

// "Signs" an arbitrary block with the raw private operation, for forgery tests.
inline BigNum RawSign(const std::vector<std::uint8_t>& block, const RsaPrivateKey& key) {
    BigNum m, s;
    m.SetBytes(block.data(), block.size());
    EXPECT_TRUE(ModExp(m, key.d, key.n, &s));
    return s;
}

// The block 00 type FF..FF 00 tail, of at most k bytes.
inline std::vector<std::uint8_t> Block(std::size_t k, std::size_t padding,
                                       const std::vector<std::uint8_t>& tail,
                                       std::uint8_t type = 1) {
    std::vector<std::uint8_t> b;
    b.reserve(k + 1);
    b.push_back(0x00);
    b.push_back(type);
    for (std::size_t i = 0; i < padding; ++i)
        b.push_back(0xff);
    b.push_back(0x00);
    for (std::uint8_t v : tail)
        b.push_back(v);
    EXPECT_LE(b.size(), k);
    return b;
}

}  // namespace tarnwick::testing
