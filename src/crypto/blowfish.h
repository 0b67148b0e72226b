// Blowfish in CBC mode, in two word orders: 0 reads each 8-byte block as two big-endian words
// (standard Blowfish, SSH2 "blowfish-cbc"); 1 reads little-endian words (SSH1's Blowfish, and the
// random generator).
//
//   Blowfish cipher(0);
//   cipher.SetKey(key, 16);       // 1 to 72 bytes; mixes into the current tables
//   cipher.SetIV(iv, 8);
//   cipher.Encrypt(data, length); // Encrypt and Decrypt choose the direction
//
// A second SetKey on the same object mixes the new key into the schedule left by the first; the
// random generator relies on that. Transports make a fresh object for each key.
#pragma once

#include <cstdint>

#include "crypto/encryptor.h"

namespace tarnwick {

class Blowfish final : public Encryptor {
  public:
    explicit Blowfish(int wordOrder);
    Blowfish(const Blowfish&) = default;
    Blowfish& operator=(const Blowfish&) = default;
    ~Blowfish() override;

    void Decrypt(std::uint8_t* data, std::size_t length) override;
    void Encrypt(std::uint8_t* data, std::size_t length) override;
    // 1 to 72 key bytes; bytes beyond 72 are not used.
    bool SetKey(const std::uint8_t* key, std::size_t length) override;
    // The salted key schedule of expensive Blowfish (bcrypt): like SetKey, but the salt bytes,
    // taken cyclically as big-endian words, are mixed into every block the schedule encrypts.
    // Key and salt must not be empty.
    void SetSaltedKey(const std::uint8_t* salt, std::size_t saltLength, const std::uint8_t* key,
                      std::size_t keyLength);
    // The first 8 bytes, read as two big-endian words whatever the word order.
    bool SetIV(const std::uint8_t* iv, std::size_t length) override;
    void SetDirection(int) override {}
    int BlockSize() const override { return 8; }

    // One block without chaining, on words (for tests and the key schedule).
    void EncryptWords(std::uint32_t& left, std::uint32_t& right) const;
    void DecryptWords(std::uint32_t& left, std::uint32_t& right) const;

  private:
    // The key schedule with an optional salt (saltLength 0: none).
    void Schedule(const std::uint8_t* salt, std::size_t saltLength, const std::uint8_t* key,
                  std::size_t keyLength);

    int wordOrder_;
    std::uint32_t p_[18];
    std::uint32_t s_[4][256];
    std::uint32_t iv_[2] = {0, 0};
};

}  // namespace tarnwick
