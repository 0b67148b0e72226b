// SHA-1 (FIPS 180-1): SSH2 exchange hashes and key derivation, HMAC-SHA1, RSA and DSA signatures,
// the TLS 1.0 PRF. Uses the processor's SHA instructions when it has them.
//
//   CSHA1 sha;
//   sha.Update(prefix, n);
//   CSHA1 copy = sha;              // the state after the prefix, for another continuation
//   sha.Update(rest, m);
//   std::uint8_t digest[20];
//   sha.Final(digest);             // wipes the state; Init() before reuse
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/hash.h"

namespace tarnwick {

class CSHA1 final : public Hash {
  public:
    static constexpr int kDigestSize = 20;
    static constexpr int kBlockSize = 64;

    CSHA1() { Init(); }
    CSHA1(const CSHA1&) = default;
    CSHA1& operator=(const CSHA1&) = default;
    ~CSHA1() override;

    void Init() override;
    void Update(const void* data, std::size_t length) override;
    void Final(std::uint8_t* out) override;
    int DigestSize() const override { return kDigestSize; }
    int BlockSize() const override { return kBlockSize; }
    std::unique_ptr<Hash> Clone() const override;
    bool CopyStateFrom(const Hash& other) override;

    // One call: the digest of length bytes.
    static void Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]);

  private:
    void Blocks(const std::uint8_t* data, std::size_t blocks);

    std::uint32_t state_[5];
    std::uint64_t length_;  // bytes absorbed so far
    std::uint8_t buffer_[64];
    std::uint32_t fill_;
    bool fast_;  // SHA instructions chosen when the object was initialised
};

}  // namespace tarnwick
