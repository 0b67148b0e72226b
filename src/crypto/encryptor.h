// The block-cipher interface: every cipher works in place and keeps its position from one call to
// the next, so that one object serves one direction of one stream. The CBC ciphers take whole
// blocks and carry their chaining value; the counter-mode cipher (AesCtr) takes any length and
// carries its keystream.
//
//   Rijndael cipher;                       // or D3Des(0, 1), Blowfish(0), ...
//   cipher.SetDirection(1);                // 1 encrypt, 0 decrypt; before SetKey
//   cipher.SetKey(key, 16);
//   cipher.SetIV(iv, 16);
//   cipher.Encrypt(packet, length);        // length a multiple of BlockSize()
//   cipher.Encrypt(next, length2);         // continues the chain
//
// In CBC mode bytes after the last whole block are never touched. Destruction wipes keys and
// chaining values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

class Encryptor {
  public:
    virtual ~Encryptor() = default;

    virtual void Decrypt(std::uint8_t* data, std::size_t length) = 0;
    virtual void Encrypt(std::uint8_t* data, std::size_t length) = 0;
    // False when the key length is not one the cipher takes; the object keeps its previous key.
    virtual bool SetKey(const std::uint8_t* key, std::size_t length) = 0;
    // False when the length is not one the cipher takes; the chaining value is kept.
    virtual bool SetIV(const std::uint8_t* iv, std::size_t length) = 0;
    // Nonzero prepares for encryption, 0 for decryption.
    virtual void SetDirection(int encrypt) = 0;
    virtual int BlockSize() const = 0;
};

}  // namespace tarnwick
