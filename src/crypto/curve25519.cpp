#include "crypto/curve25519.h"

#include <openssl/evp.h>

#include <cstring>

#include "crypto/libcrypto.h"
#include "crypto/random_generator.h"

namespace tarnwick {
namespace {

using libcrypto::ErrorQueueGuard;

std::shared_ptr<EVP_PKEY> Own(EVP_PKEY* key) {
    if (key == nullptr) return nullptr;
    return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

bool RawPublic(EVP_PKEY* key, std::uint8_t out[32]) {
    std::size_t length = 32;
    return EVP_PKEY_get_raw_public_key(key, out, &length) == 1 && length == 32;
}

// A private key of the type from its 32 raw bytes, and its raw public key.
std::shared_ptr<EVP_PKEY> RawPrivate(int type, const std::uint8_t* key, std::size_t length,
                                     std::uint8_t pub[32]) {
    if (length != 32) return nullptr;
    auto made = Own(EVP_PKEY_new_raw_private_key(type, nullptr, key, length));
    if (made == nullptr || !RawPublic(made.get(), pub)) return nullptr;
    return made;
}

SecureBytes RandomKey(RandomGenerator& random) {
    SecureBytes value(32);
    random.Fill(value.data(), value.size());
    return value;
}

// The Ed25519 group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr std::uint8_t kOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// S < L (RFC 8032 section 5.1.7: a larger S makes the signature invalid, which also rules out
// the malleated forms S + L). S is public, so a plain comparison will do.
bool ScalarBelowOrder(const std::uint8_t* s) {
    for (int i = 31; i >= 0; --i) {
        if (s[i] != kOrder[i]) return s[i] < kOrder[i];
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------- X25519

bool X25519PrivateKey::Generate(RandomGenerator& random) {
    const SecureBytes value = RandomKey(random);
    return SetPrivate(value.data(), value.size());
}

bool X25519PrivateKey::SetPrivate(const std::uint8_t* key, std::size_t length) {
    ErrorQueueGuard guard;
    std::uint8_t pub[kKeySize];
    auto made = RawPrivate(EVP_PKEY_X25519, key, length, pub);
    if (made == nullptr) return false;
    key_ = std::move(made);
    std::memcpy(public_, pub, sizeof(public_));
    return true;
}

bool X25519PrivateKey::Agree(const std::uint8_t* peer, std::size_t length,
                             SecureBytes* shared) const {
    ErrorQueueGuard guard;
    if (key_ == nullptr || length != kKeySize) return false;
    auto peerKey = Own(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer, length));
    if (peerKey == nullptr) return false;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr);
    if (ctx == nullptr) return false;
    SecureBytes secret(kKeySize);
    std::size_t secretLength = secret.size();
    bool ok = EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, peerKey.get()) == 1 &&
              EVP_PKEY_derive(ctx, secret.data(), &secretLength) == 1 && secretLength == kKeySize;
    EVP_PKEY_CTX_free(ctx);
    // libcrypto refuses the all-zero result itself; the check stays here so that the rule does
    // not depend on it.
    std::uint8_t any = 0;
    for (std::uint8_t b : secret)
        any |= b;
    if (!ok || any == 0) return false;
    *shared = std::move(secret);
    return true;
}

// ---------------------------------------------------------------- Ed25519

bool Ed25519PublicKey::Set(const std::uint8_t* key, std::size_t length) {
    ErrorQueueGuard guard;
    if (length != kKeySize) return false;
    auto made = Own(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, length));
    if (made == nullptr) return false;
    key_ = std::move(made);
    std::memcpy(bytes_, key, kKeySize);
    return true;
}

bool Ed25519PublicKey::Verify(const std::uint8_t* message, std::size_t length,
                              const std::uint8_t* signature, std::size_t signatureLength) const {
    ErrorQueueGuard guard;
    if (key_ == nullptr || signatureLength != kSignatureSize || !ScalarBelowOrder(signature + 32)) {
        return false;
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return false;
    const bool ok = EVP_DigestVerifyInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key_.get(),
                                            nullptr) == 1 &&
                    EVP_DigestVerify(ctx, signature, signatureLength, message, length) == 1;
    EVP_MD_CTX_free(ctx);
    return ok;
}

bool Ed25519PrivateKey::Generate(RandomGenerator& random) {
    const SecureBytes seed = RandomKey(random);
    return SetSeed(seed.data(), seed.size());
}

bool Ed25519PrivateKey::SetSeed(const std::uint8_t* seed, std::size_t length) {
    ErrorQueueGuard guard;
    std::uint8_t pub[32];
    Ed25519PublicKey publicKey;
    auto made = RawPrivate(EVP_PKEY_ED25519, seed, length, pub);
    if (made == nullptr || !publicKey.Set(pub, sizeof(pub))) return false;
    key_ = std::move(made);
    public_ = std::move(publicKey);
    return true;
}

bool Ed25519PrivateKey::Sign(const std::uint8_t* message, std::size_t length,
                             std::uint8_t signature[64]) const {
    ErrorQueueGuard guard;
    if (key_ == nullptr) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) return false;
    std::size_t written = 64;
    const bool ok =
        EVP_DigestSignInit_ex(ctx, nullptr, nullptr, nullptr, nullptr, key_.get(), nullptr) == 1 &&
        EVP_DigestSign(ctx, signature, &written, message, length) == 1 && written == 64;
    EVP_MD_CTX_free(ctx);
    return ok;
}

}  // namespace tarnwick
