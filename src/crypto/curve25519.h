// X25519 key agreement (RFC 7748) and Ed25519 signatures (RFC 8032) for "curve25519-sha256",
// "sntrup761x25519-sha512" and "ssh-ed25519". The curve arithmetic is libcrypto's; every private
// key made here comes from our RandomGenerator.
//
//   X25519PrivateKey mine;
//   mine.Generate(RandomGenerator::Global());
//   send(mine.PublicKey(), 32);
//   SecureBytes shared;
//   if (!mine.Agree(peer, peerLength, &shared)) ...        // bad length or a small-order point
//
//   Ed25519PublicKey host;
//   if (!host.Set(blob, 32) || !host.Verify(hash, hashLength, sig, sigLength)) ...
//
//   Ed25519PrivateKey key;
//   key.SetSeed(seed, 32);                                  // from a key file
//   std::uint8_t signature[64];
//   key.Sign(data, length, signature);
//
// Key objects are values: copies share libcrypto's immutable key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/secure.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace tarnwick {

class RandomGenerator;

class X25519PrivateKey {
  public:
    static constexpr std::size_t kKeySize = 32;

    // A fresh key: 32 bytes from the generator.
    [[nodiscard]] bool Generate(RandomGenerator& random);
    // The 32-byte private value as stored (the clamping is part of the function).
    [[nodiscard]] bool SetPrivate(const std::uint8_t* key, std::size_t length);
    bool ok() const { return key_ != nullptr; }
    // 32 bytes; valid once a key is set.
    const std::uint8_t* PublicKey() const { return public_; }
    // The 32-byte shared secret with the peer's public value. False for a peer value that is not
    // 32 bytes long and for one of small order, which gives the all-zero secret (RFC 7748 section
    // 6.1 allows the check; RFC 8731 requires it).
    [[nodiscard]] bool Agree(const std::uint8_t* peer, std::size_t length,
                             SecureBytes* shared) const;

  private:
    std::shared_ptr<EVP_PKEY> key_;
    std::uint8_t public_[kKeySize] = {};
};

class Ed25519PublicKey {
  public:
    static constexpr std::size_t kKeySize = 32;
    static constexpr std::size_t kSignatureSize = 64;

    // The 32-byte encoded point. Only the length is checked here; a value that does not decode
    // to a point fails every verification.
    [[nodiscard]] bool Set(const std::uint8_t* key, std::size_t length);
    bool ok() const { return key_ != nullptr; }
    const std::uint8_t* Bytes() const { return bytes_; }
    // True only for a 64-byte signature with S below the group order that verifies over the
    // message.
    [[nodiscard]] bool Verify(const std::uint8_t* message, std::size_t length,
                              const std::uint8_t* signature, std::size_t signatureLength) const;

  private:
    std::shared_ptr<EVP_PKEY> key_;
    std::uint8_t bytes_[kKeySize] = {};
};

class Ed25519PrivateKey {
  public:
    static constexpr std::size_t kSeedSize = 32;

    [[nodiscard]] bool Generate(RandomGenerator& random);
    // The 32-byte private seed (RFC 8032's private key). Key files that store the seed followed
    // by the public key pass the first 32 bytes and may compare the rest with Public().
    [[nodiscard]] bool SetSeed(const std::uint8_t* seed, std::size_t length);
    bool ok() const { return key_ != nullptr; }
    const Ed25519PublicKey& Public() const { return public_; }
    // Signatures are deterministic: the same message always gives the same 64 bytes.
    [[nodiscard]] bool Sign(const std::uint8_t* message, std::size_t length,
                            std::uint8_t signature[64]) const;

  private:
    std::shared_ptr<EVP_PKEY> key_;
    Ed25519PublicKey public_;
};

}  // namespace tarnwick
