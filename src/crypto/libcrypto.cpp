#include "crypto/libcrypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace tarnwick::libcrypto {

const EVP_CIPHER* Aes(AesMode mode, std::size_t keyLength) {
    static const EVP_CIPHER* const ciphers[2][3] = {
        {EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr),
         EVP_CIPHER_fetch(nullptr, "AES-192-CTR", nullptr),
         EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr)},
        {EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr),
         EVP_CIPHER_fetch(nullptr, "AES-192-GCM", nullptr),
         EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr)}};
    if (keyLength != 16 && keyLength != 24 && keyLength != 32) return nullptr;
    return ciphers[mode == AesMode::kCtr ? 0 : 1][(keyLength - 16) / 8];
}

ErrorQueueGuard::~ErrorQueueGuard() {
    ERR_clear_error();
}

}  // namespace tarnwick::libcrypto
