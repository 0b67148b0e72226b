// HMAC (RFC 2104) over any Hash (MD5, SHA-1, SHA-2), and the one-call HMAC-SHA1 and HMAC-MD5 of the
// TLS PRF.
//
//   HMAC mac(std::make_unique<CSHA1>(), key, 20);  // pads hashed once, here
//   mac.Init();                                    // per message: restores the prepared state
//   mac.Update(sequence, 4);
//   mac.Update(packet, length);
//   mac.Final(out);                                // the full DigestSize() bytes
//   if (!ConstantTimeEqual(out, received, 20)) ...
//
// The inner and outer pad blocks are absorbed once per key and their states kept, so a MAC costs
// only the message's blocks plus one block for the outer hash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/hash.h"

namespace tarnwick {

class HMAC final : public Hash {
  public:
    // Takes the inner hash (a fresh object; destroyed with this one). Keys longer than the hash's
    // block are replaced by their digest, as RFC 2104 says. The new object is ready for a message.
    HMAC(std::unique_ptr<Hash> inner, const std::uint8_t* key, std::size_t keyLength);
    HMAC(const HMAC& other);
    HMAC& operator=(const HMAC&) = delete;
    ~HMAC() override = default;

    void Init() override;
    void Update(const void* data, std::size_t length) override;
    void Final(std::uint8_t* out) override;
    int DigestSize() const override { return inner_->DigestSize(); }
    int BlockSize() const override { return inner_->BlockSize(); }
    std::unique_ptr<Hash> Clone() const override;
    bool CopyStateFrom(const Hash& other) override;

  private:
    std::unique_ptr<Hash> inner_;       // the running message
    std::unique_ptr<Hash> innerStart_;  // after the inner pad block
    std::unique_ptr<Hash> outerStart_;  // after the outer pad block
};

// HMAC-SHA1 of one message in one call (20 bytes to out).
void HmacSha1(const std::uint8_t* data, std::size_t dataLength, const std::uint8_t* key,
              std::size_t keyLength, std::uint8_t out[20]);
// HMAC-MD5 of one message in one call (16 bytes to out). The TLS PRF gives it 24-byte keys.
void HmacMd5(const std::uint8_t* data, std::size_t dataLength, const std::uint8_t* key,
             std::size_t keyLength, std::uint8_t out[16]);

}  // namespace tarnwick
