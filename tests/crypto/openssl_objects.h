// Keys and certificates made with OpenSSL for the decoder tests, and the answers OpenSSL gives
// about them.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>

namespace tarnwick::testing {

struct OpenSslFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// type "RSA" (1024 bits), "DSA" (1024 bits) or "EC" (P-256).
inline OpenSslPtr<EVP_PKEY> MakeKey(const std::string& type) {
    if (type == "RSA")
        return OpenSslPtr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", 1024));
    if (type == "EC")
        return OpenSslPtr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    OpenSslPtr<EVP_PKEY_CTX> pctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
    EVP_PKEY* params = nullptr;
    if (EVP_PKEY_paramgen_init(pctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_dsa_paramgen_bits(pctx.get(), 1024) <= 0 ||
        EVP_PKEY_paramgen(pctx.get(), &params) <= 0)
        return nullptr;
    OpenSslPtr<EVP_PKEY> holder(params);
    OpenSslPtr<EVP_PKEY_CTX> kctx(EVP_PKEY_CTX_new(params, nullptr));
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_keygen_init(kctx.get()) <= 0 || EVP_PKEY_keygen(kctx.get(), &key) <= 0)
        return nullptr;
    return OpenSslPtr<EVP_PKEY>(key);
}

inline std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
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

// A named number of a key ("n", "rsa-factor1", "priv", ...) in BnHex form, "" if absent.
inline std::string KeyNumber(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) <= 0) return "";
    OpenSslPtr<BIGNUM> bn(raw);
    return BnHex(bn.get());
}

}  // namespace tarnwick::testing
