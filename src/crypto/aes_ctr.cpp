#include "crypto/aes_ctr.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "crypto/libcrypto.h"
#include "crypto/secure.h"

namespace tarnwick {

AesCtr::AesCtr() : ctx_(EVP_CIPHER_CTX_new()) {}

AesCtr::~AesCtr() {
    // Freeing the context wipes the key schedule and the keystream libcrypto holds.
    EVP_CIPHER_CTX_free(ctx_);
    SecureWipe(iv_, sizeof(iv_));
}

bool AesCtr::SetKey(const std::uint8_t* key, std::size_t length) {
    const EVP_CIPHER* cipher = libcrypto::Aes(libcrypto::AesMode::kCtr, length);
    if (cipher == nullptr || ctx_ == nullptr) return false;
    keyed_ = EVP_EncryptInit_ex2(ctx_, cipher, key, iv_, nullptr) == 1;
    return keyed_;
}

bool AesCtr::SetIV(const std::uint8_t* iv, std::size_t length) {
    if (length != sizeof(iv_)) return false;
    std::memcpy(iv_, iv, sizeof(iv_));
    if (!keyed_) return true;
    keyed_ = EVP_EncryptInit_ex2(ctx_, nullptr, nullptr, iv_, nullptr) == 1;
    return keyed_;
}

void AesCtr::Crypt(std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const int piece =
            length > static_cast<std::size_t>(INT_MAX / 2) ? INT_MAX / 2 : static_cast<int>(length);
        int written = 0;
        if (!keyed_ || EVP_EncryptUpdate(ctx_, data, &written, data, piece) != 1 ||
            written != piece) {
            std::memset(data, 0, length);
            return;
        }
        data += piece;
        length -= static_cast<std::size_t>(piece);
    }
}

}  // namespace tarnwick
