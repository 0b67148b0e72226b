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

  protected:
    enum class Kind { kSha256, kSha384, kSha512 };
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

class CSHA256 final : public Sha2Hash {
  public:
    static constexpr int kDigestSize = 32;
    static constexpr int kBlockSize = 64;
    CSHA256() : Sha2Hash(Kind::kSha256) {}
    CSHA256(const CSHA256&) = default;
    CSHA256& operator=(const CSHA256&) = default;
    ~CSHA256() override = default;
    std::unique_ptr<Hash> Clone() const override { return std::make_unique<CSHA256>(*this); }
    static void Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]) {
        OneShot(Kind::kSha256, data, length, out);
    }
};

class CSHA384 final : public Sha2Hash {
  public:
    static constexpr int kDigestSize = 48;
    static constexpr int kBlockSize = 128;
    CSHA384() : Sha2Hash(Kind::kSha384) {}
    CSHA384(const CSHA384&) = default;
    CSHA384& operator=(const CSHA384&) = default;
    ~CSHA384() override = default;
    std::unique_ptr<Hash> Clone() const override { return std::make_unique<CSHA384>(*this); }
    static void Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]) {
        OneShot(Kind::kSha384, data, length, out);
    }
};

class CSHA512 final : public Sha2Hash {
  public:
    static constexpr int kDigestSize = 64;
    static constexpr int kBlockSize = 128;
    CSHA512() : Sha2Hash(Kind::kSha512) {}
    CSHA512(const CSHA512&) = default;
    CSHA512& operator=(const CSHA512&) = default;
    ~CSHA512() override = default;
    std::unique_ptr<Hash> Clone() const override { return std::make_unique<CSHA512>(*this); }
    static void Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]) {
        OneShot(Kind::kSha512, data, length, out);
    }
};

}  // namespace tarnwick
