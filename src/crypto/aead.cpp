#include "crypto/aead.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/libcrypto.h"
#include "crypto/secure.h"

namespace tarnwick {
namespace {

const EVP_CIPHER* ChaChaCipher() {
    static const EVP_CIPHER* const cipher = EVP_CIPHER_fetch(nullptr, "ChaCha20", nullptr);
    return cipher;
}

EVP_MAC* PolyMac() {
    static EVP_MAC* const mac = EVP_MAC_fetch(nullptr, "POLY1305", nullptr);
    return mac;
}

// libcrypto counts in int; SSH packets are far below the limit, but nothing here relies on that.
constexpr std::size_t kPiece = INT_MAX / 2;

bool Update(EVP_CIPHER_CTX* ctx, std::uint8_t* out, const std::uint8_t* in, std::size_t length) {
    while (length > 0) {
        const int piece = static_cast<int>(length < kPiece ? length : kPiece);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out, &written, in, piece) != 1) return false;
        // AAD (out == nullptr) reports its length too; ciphertext comes out whole in GCM and
        // ChaCha20, which buffer nothing.
        if (written != piece) return false;
        if (out != nullptr) out += piece;
        in += piece;
        length -= static_cast<std::size_t>(piece);
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- AES-GCM

AesGcm::AesGcm() : ctx_(EVP_CIPHER_CTX_new()) {}

AesGcm::~AesGcm() {
    EVP_CIPHER_CTX_free(ctx_);
}

bool AesGcm::SetKey(const std::uint8_t* key, std::size_t length) {
    const EVP_CIPHER* cipher = libcrypto::Aes(libcrypto::AesMode::kGcm, length);
    if (cipher == nullptr || ctx_ == nullptr) return false;
    keyed_ = EVP_CipherInit_ex2(ctx_, cipher, key, nullptr, 1, nullptr) == 1;
    return keyed_;
}

bool AesGcm::Run(bool encrypt, const std::uint8_t* nonce, const std::uint8_t* aad,
                 std::size_t aadLength, std::uint8_t* data, std::size_t length) {
    if (!keyed_ ||
        EVP_CipherInit_ex2(ctx_, nullptr, nullptr, nonce, encrypt ? 1 : 0, nullptr) != 1) {
        return false;
    }
    return (aadLength == 0 || Update(ctx_, nullptr, aad, aadLength)) &&
           Update(ctx_, data, data, length);
}

bool AesGcm::Seal(const std::uint8_t nonce[kNonceSize], const std::uint8_t* aad,
                  std::size_t aadLength, std::uint8_t* data, std::size_t length,
                  std::uint8_t tag[kTagSize]) {
    int written = 0;
    std::uint8_t end[16];
    if (!Run(true, nonce, aad, aadLength, data, length) ||
        EVP_CipherFinal_ex(ctx_, end, &written) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagSize), tag) != 1) {
        std::memset(data, 0, length);
        return false;
    }
    return true;
}

bool AesGcm::Open(const std::uint8_t nonce[kNonceSize], const std::uint8_t* aad,
                  std::size_t aadLength, std::uint8_t* data, std::size_t length,
                  const std::uint8_t tag[kTagSize]) {
    libcrypto::ErrorQueueGuard guard;
    std::uint8_t expected[kTagSize];
    std::memcpy(expected, tag, kTagSize);
    int written = 0;
    std::uint8_t end[16];
    // libcrypto compares the tag in constant time in the final step.
    const bool ok = Run(false, nonce, aad, aadLength, data, length) &&
                    EVP_CIPHER_CTX_ctrl(ctx_, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagSize),
                                        expected) == 1 &&
                    EVP_CipherFinal_ex(ctx_, end, &written) == 1;
    if (!ok) SecureWipe(data, length);
    return ok;
}

// ---------------------------------------------------------------- ChaCha20 and Poly1305

ChaCha20::ChaCha20() : ctx_(EVP_CIPHER_CTX_new()) {}

ChaCha20::~ChaCha20() {
    EVP_CIPHER_CTX_free(ctx_);
}

bool ChaCha20::SetKey(const std::uint8_t* key, std::size_t length) {
    if (length != kKeySize || ctx_ == nullptr || ChaChaCipher() == nullptr) return false;
    const std::uint8_t zeroIv[16] = {};
    keyed_ = EVP_EncryptInit_ex2(ctx_, ChaChaCipher(), key, zeroIv, nullptr) == 1;
    return keyed_;
}

bool ChaCha20::SetNonce(const std::uint8_t nonce[kNonceSize], std::uint64_t block) {
    if (!keyed_) return false;
    // libcrypto's 16-byte IV is state words 12 to 15 in little-endian order: here the 64-bit
    // block counter and then the nonce. Its counter carries from word 12 into word 13, so the
    // whole 64-bit counter runs as in the original design.
    std::uint8_t iv[16];
    bytes::StoreLE64(iv, block);
    std::memcpy(iv + 8, nonce, kNonceSize);
    keyed_ = EVP_EncryptInit_ex2(ctx_, nullptr, nullptr, iv, nullptr) == 1;
    return keyed_;
}

bool ChaCha20::Crypt(std::uint8_t* data, std::size_t length) {
    if (!keyed_ || !Update(ctx_, data, data, length)) {
        std::memset(data, 0, length);
        return false;
    }
    return true;
}

bool Poly1305(const std::uint8_t key[32], const std::uint8_t* data, std::size_t length,
              std::uint8_t tag[16]) {
    EVP_MAC* mac = PolyMac();
    if (mac == nullptr) return false;
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    if (ctx == nullptr) return false;
    std::size_t written = 0;
    bool ok = EVP_MAC_init(ctx, key, 32, nullptr) == 1;
    while (ok && length > 0) {
        const std::size_t piece = length < kPiece ? length : kPiece;
        ok = EVP_MAC_update(ctx, data, piece) == 1;
        data += piece;
        length -= piece;
    }
    ok = ok && EVP_MAC_final(ctx, tag, &written, 16) == 1 && written == 16;
    EVP_MAC_CTX_free(ctx);
    return ok;
}

// ---------------------------------------------------------------- SSH packets

bool SshAesGcm::SetKey(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* iv,
                       std::size_t ivLength) {
    if ((keyLength != 16 && keyLength != 32) || ivLength != sizeof(nonce_)) return false;
    if (!gcm_.SetKey(key, keyLength)) return false;
    std::memcpy(nonce_, iv, sizeof(nonce_));
    return true;
}

void SshAesGcm::Advance() {
    // RFC 5647 section 7.1: the invocation counter is the last 8 bytes, a 64-bit integer that
    // wraps; the fixed field never changes.
    bytes::StoreBE64(nonce_ + 4, bytes::LoadBE64(nonce_ + 4) + 1);
}

bool SshAesGcm::Seal(std::uint8_t* packet, std::size_t length, std::uint8_t tag[kTagSize]) {
    if (length < 4) return false;
    const bool ok = gcm_.Seal(nonce_, packet, 4, packet + 4, length - 4, tag);
    // Even a failed seal moves on: a nonce must never serve two packets.
    Advance();
    return ok;
}

bool SshAesGcm::Open(std::uint8_t* packet, std::size_t length, const std::uint8_t tag[kTagSize]) {
    if (length < 4) return false;
    if (!gcm_.Open(nonce_, packet, 4, packet + 4, length - 4, tag)) return false;
    Advance();
    return true;
}

bool SshChaChaPoly::SetKey(const std::uint8_t* key, std::size_t length) {
    if (length != kKeySize) return false;
    return payload_.SetKey(key, 32) && header_.SetKey(key + 32, 32);
}

bool SshChaChaPoly::PolyKey(std::uint64_t sequence, std::uint8_t polyKey[32]) {
    std::uint8_t nonce[8];
    bytes::StoreBE64(nonce, sequence);
    std::uint8_t block[64] = {};
    const bool ok = payload_.SetNonce(nonce, 0) && payload_.Crypt(block, sizeof(block)) &&
                    payload_.SetNonce(nonce, 1);
    std::memcpy(polyKey, block, 32);
    SecureWipe(block, sizeof(block));
    return ok;
}

bool SshChaChaPoly::DecryptLength(std::uint64_t sequence, const std::uint8_t encrypted[4],
                                  std::uint8_t plain[4]) {
    std::uint8_t nonce[8];
    bytes::StoreBE64(nonce, sequence);
    std::memcpy(plain, encrypted, 4);
    return header_.SetNonce(nonce, 0) && header_.Crypt(plain, 4);
}

bool SshChaChaPoly::Seal(std::uint64_t sequence, std::uint8_t* packet, std::size_t length,
                         std::uint8_t tag[kTagSize]) {
    if (length < 4) return false;
    std::uint8_t nonce[8];
    bytes::StoreBE64(nonce, sequence);
    std::uint8_t polyKey[32];
    const bool ok = PolyKey(sequence, polyKey) && header_.SetNonce(nonce, 0) &&
                    header_.Crypt(packet, 4) && payload_.Crypt(packet + 4, length - 4) &&
                    Poly1305(polyKey, packet, length, tag);
    SecureWipe(polyKey, sizeof(polyKey));
    if (!ok) std::memset(packet, 0, length);
    return ok;
}

bool SshChaChaPoly::Open(std::uint64_t sequence, std::uint8_t* packet, std::size_t length,
                         const std::uint8_t tag[kTagSize]) {
    if (length < 4) return false;
    std::uint8_t polyKey[32], expected[kTagSize];
    bool ok = PolyKey(sequence, polyKey) && Poly1305(polyKey, packet, length, expected);
    SecureWipe(polyKey, sizeof(polyKey));
    ok = ok && ConstantTimeEqual(expected, tag, kTagSize) == 1;
    if (!ok) return false;
    std::uint8_t nonce[8];
    bytes::StoreBE64(nonce, sequence);
    return header_.SetNonce(nonce, 0) && header_.Crypt(packet, 4) &&
           payload_.Crypt(packet + 4, length - 4);
}

}  // namespace tarnwick
