// AES in counter mode as SSH2 uses it ("aes128-ctr", "aes192-ctr", "aes256-ctr", RFC 4344): the
// 16-byte IV is one big-endian counter, encrypted to make each keystream block and incremented by
// one per block (carrying across all 128 bits). One object serves one direction of one stream:
// the keystream carries over between calls, so a packet may be processed in any number of pieces.
//
//   AesCtr cipher;
//   cipher.SetKey(key, 32);          // 16, 24 or 32 bytes
//   cipher.SetIV(iv, 16);            // the counter's first value
//   cipher.Encrypt(first, 4);        // any lengths, in place
//   cipher.Encrypt(rest, n);         // continues the keystream
//
// Encryption and decryption are the same operation; SetDirection is accepted and ignored. Until a
// key is set, Encrypt and Decrypt zero the data rather than let it pass unencrypted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/encryptor.h"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace tarnwick {

class AesCtr final : public Encryptor {
  public:
    AesCtr();
    AesCtr(const AesCtr&) = delete;
    AesCtr& operator=(const AesCtr&) = delete;
    ~AesCtr() override;

    void Decrypt(std::uint8_t* data, std::size_t length) override { Crypt(data, length); }
    void Encrypt(std::uint8_t* data, std::size_t length) override { Crypt(data, length); }
    // 16, 24 or 32 bytes. Restarts the keystream at the current IV.
    bool SetKey(const std::uint8_t* key, std::size_t length) override;
    // Exactly 16 bytes: the counter's next value. Restarts the keystream there.
    bool SetIV(const std::uint8_t* iv, std::size_t length) override;
    void SetDirection(int) override {}
    int BlockSize() const override { return 16; }

  private:
    void Crypt(std::uint8_t* data, std::size_t length);

    EVP_CIPHER_CTX* ctx_ = nullptr;
    bool keyed_ = false;
    std::uint8_t iv_[16] = {};
};

}  // namespace tarnwick
