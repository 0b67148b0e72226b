// DES and triple DES (FIPS 46-3) in CBC mode.
//
//   D3Des(0, 1)  triple DES, encrypt-decrypt-encrypt with one outer chaining value
//                (SSH2 "3des-cbc", the TLS triple-DES suites, DES-EDE3-CBC key files)
//   D3Des(0, 0)  single DES CBC (the TLS single-DES suite)
//   D3Des(1, 1)  triple DES as three CBC layers, each with its own chaining value (SSH1 "3des")
//   D3Des(1, 0)  single DES CBC (SSH1 "des")
//
//   D3Des cipher(0, 1);
//   cipher.SetDirection(1);
//   cipher.SetKey(key, 24);      // keys 1, 2, 3; clears the chaining values
//   cipher.SetIV(iv, 8);         // 24 bytes set all three chaining values of the layered mode
//   cipher.Encrypt(data, length);
//
// Once a direction is set, Encrypt and Decrypt both run that direction (the transports call
// either); before it is set each runs its own.
#pragma once

#include <cstdint>

#include "crypto/encryptor.h"

namespace tarnwick {

class D3Des final : public Encryptor {
  public:
    D3Des(int innerChaining, int triple);
    D3Des(const D3Des&) = default;
    D3Des& operator=(const D3Des&) = default;
    ~D3Des() override;

    void Decrypt(std::uint8_t* data, std::size_t length) override;
    void Encrypt(std::uint8_t* data, std::size_t length) override;
    // 24 bytes for triple DES, 8 for single DES (longer keys: the first 24 or 8 bytes).
    bool SetKey(const std::uint8_t* key, std::size_t length) override;
    // 24 bytes set the three chaining values, 8 bytes the first.
    bool SetIV(const std::uint8_t* iv, std::size_t length) override;
    void SetDirection(int encrypt) override;
    int BlockSize() const override { return 8; }

  private:
    void Run(std::uint8_t* data, std::size_t length, bool encrypt);

    bool inner_;
    bool triple_;
    int direction_ = 3;  // 0 encrypt, 1 decrypt, 3 not yet set
    bool keyed_ = false;
    // Per key: 16 rounds of two words, in encryption order; decryption walks them backwards.
    std::uint32_t schedule_[3][32] = {};
    std::uint32_t iv_[3][2] = {};  // chaining values as big-endian word pairs
};

}  // namespace tarnwick
