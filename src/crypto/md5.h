// MD5 (RFC 1321). Only for the protocols and formats that name it (HMAC-MD5, the TLS 1.0 PRF, the
// SSH1 session id, key-file pass phrases, host-key fingerprints, one-time passwords).
//
//   CMD5 md5;
//   md5.Update(text, length);
//   std::uint8_t digest[16];
//   md5.Final(digest);
//   char fingerprint[48];
//   md5.DigestToText(digest, fingerprint, 0, 0);   // "xx:xx:...:xx"
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/hash.h"

namespace tarnwick {

class CMD5 final : public Hash {
  public:
    static constexpr int kDigestSize = 16;
    static constexpr int kBlockSize = 64;

    CMD5() { Init(); }
    CMD5(const CMD5&) = default;
    CMD5& operator=(const CMD5&) = default;
    ~CMD5() override;

    void Init() override;
    void Update(const void* data, std::size_t length) override;
    // Leaves the final chaining words in place (the one-time-password folding reads them).
    void Final(std::uint8_t* out) override;
    int DigestSize() const override { return kDigestSize; }
    int BlockSize() const override { return kBlockSize; }
    std::unique_ptr<Hash> Clone() const override;
    bool CopyStateFrom(const Hash& other) override;

    // Text forms of a digest, called right after Final:
    //  format 0: the 16 bytes of digest as lower-case hex pairs joined by colons; out receives
    //            47 characters and a terminating zero (48 bytes).
    //  format 2: the one-time-password value: this object's final state folded to 8 bytes and
    //            then count times hashed and folded again; out receives the 8 bytes.
    //  any other format writes nothing.
    void DigestToText(const std::uint8_t* digest, char* out, int format, int count);

    // One call: the digest of length bytes.
    static void Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]);

  private:
    void Blocks(const std::uint8_t* data, std::size_t blocks);

    std::uint32_t state_[4];
    std::uint64_t length_;  // bytes absorbed so far
    std::uint8_t buffer_[64];
    std::uint32_t fill_;  // bytes waiting in buffer_
};

}  // namespace tarnwick
