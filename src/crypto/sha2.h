// SHA-256, SHA-384 and SHA-512 (FIPS 180-4) behind the Hash interface: SSH2 exchange hashes and key
// derivation of the newer key exchanges, HMAC-SHA2, RSA, ECDSA and Ed25519 signatures, sntrup761.
// The compression functions are libcrypto's (with the processor's SHA extensions where it has
// them); this wrapper gives them the copy and clone behaviour of our other digests.
//
//   CSHA256 sha;
//   sha.Update(prefix, n);
//   CSHA256 copy = sha;            // the state after the prefix, for another continuation
//   sha.Update(rest, m);
//   std::uint8_t digest[32];
//   sha.Final(digest);             // the state is spent; Init() before reuse
//
// When libcrypto cannot allocate a state the object reports ok() == false and Final writes zeros,
// which no MAC check or signature accepts as the digest of real data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/hash.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace tarnwick {

class Sha2Hash : public Hash {
  public:
    ~Sha2Hash() override;

    void Init() override;
    void Update(const void* data, std::size_t length) override;
    void Final(std::uint8_t* out) override;
    int DigestSize() const override;
    int BlockSize() const override;
    bool CopyStateFrom(const Hash& other) override;

    bool ok() const { return !failed_; }

    enum class Kind { kSha256, kSha384, kSha512 };

  protected:
    explicit Sha2Hash(Kind kind);
    Sha2Hash(const Sha2Hash& other);
    Sha2Hash& operator=(const Sha2Hash& other);
    static void OneShot(Kind kind, const void* data, std::size_t length, std::uint8_t* out);

  private:
    void CopyFrom(const Sha2Hash& other);

    Kind kind_;
    EVP_MD_CTX* ctx_ = nullptr;
    bool failed_ = false;
};

// The three digests differ only in their sizes and initial values.
template <Sha2Hash::Kind kKind, int kDigestBytes, int kBlockBytes>
class Sha2 final : public Sha2Hash {
  public:
    static constexpr int kDigestSize = kDigestBytes;
    static constexpr int kBlockSize = kBlockBytes;
    Sha2() : Sha2Hash(kKind) {}
    Sha2(const Sha2&) = default;
    Sha2& operator=(const Sha2&) = default;
    ~Sha2() override = default;
    std::unique_ptr<Hash> Clone() const override { return std::make_unique<Sha2>(*this); }
    // One call: the digest of length bytes.
    static void Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]) {
        OneShot(kKind, data, length, out);
    }
};

using CSHA256 = Sha2<Sha2Hash::Kind::kSha256, 32, 64>;
using CSHA384 = Sha2<Sha2Hash::Kind::kSha384, 48, 128>;
using CSHA512 = Sha2<Sha2Hash::Kind::kSha512, 64, 128>;

}  // namespace tarnwick
