// AES (FIPS 197) with 128-, 192- and 256-bit keys in CBC mode. Uses the processor's AES
// instructions when it has them; the portable table code gives identical results.
//
//   Rijndael cipher;
//   cipher.SetDirection(0);        // decrypt; before SetKey
//   cipher.SetKey(key, 32);        // 16, 24 or 32 bytes
//   cipher.SetIV(iv, 16);
//   cipher.Decrypt(data, length);  // whole 16-byte blocks; the chain carries to the next call
#pragma once

#include <cstdint>

#include "crypto/encryptor.h"

namespace tarnwick {

class Rijndael final : public Encryptor {
  public:
    Rijndael() = default;
    Rijndael(const Rijndael&) = default;
    Rijndael& operator=(const Rijndael&) = default;
    ~Rijndael() override;

    void Decrypt(std::uint8_t* data, std::size_t length) override;
    void Encrypt(std::uint8_t* data, std::size_t length) override;
    // 16, 24 or 32 bytes; any other length is refused.
    bool SetKey(const std::uint8_t* key, std::size_t length) override;
    // Exactly 16 bytes.
    bool SetIV(const std::uint8_t* iv, std::size_t length) override;
    void SetDirection(int encrypt) override { encrypt_ = encrypt != 0; }
    int BlockSize() const override { return 16; }

    // One block without chaining (for tests).
    void EncryptBlock(const std::uint8_t in[16], std::uint8_t out[16]);
    void DecryptBlock(const std::uint8_t in[16], std::uint8_t out[16]);

  private:
    void PrepareDecryption();

    bool encrypt_ = true;
    bool fast_ = false;
    bool decryptReady_ = false;
    int rounds_ = 0;
    // Round keys as bytes in state order: what the AES instructions load, and what the table code
    // reads as big-endian words.
    alignas(16) std::uint8_t encKeys_[15 * 16] = {};
    alignas(16) std::uint8_t decKeys_[15 * 16] = {};
    alignas(16) std::uint8_t iv_[16] = {};
};

}  // namespace tarnwick
