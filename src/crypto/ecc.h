// Elliptic curves over the NIST primes P-256, P-384 and P-521 (FIPS 186-4): ECDH for
// "ecdh-sha2-nistp256/384/521" (RFC 5656) and ECDSA for "ecdsa-sha2-nistp256/384/521" host keys and
// user keys. The curve arithmetic and signature verification are libcrypto's.
//
// Each curve goes with one hash, as SSH pairs them: SHA-256 for P-256, SHA-384 for P-384, SHA-512
// for P-521. Points travel in uncompressed SEC1 form (04 || X || Y, each coordinate at the curve's
// byte length); r and s, and private scalars, as unsigned big-endian integers (SSH carries them
// as mpints: strip the sign byte, or not; leading zeros are accepted).
//
//   EcPrivateKey mine;
//   mine.Generate(EcCurve::kP256, RandomGenerator::Global());
//   send(mine.Public().Point());
//   EcPublicKey theirs;
//   SecureBytes shared;                                   // the x-coordinate, 32 bytes here
//   if (!theirs.SetPoint(EcCurve::kP256, q, qLength) || !mine.Agree(theirs, &shared)) ...
//
//   if (!host.Verify(hash, hashLength, r, rLength, s, sLength)) ...
//
// Signing draws its nonce as RFC 6979 does (an HMAC generator seeded with the private key and the
// message hash) with 32 bytes from our RandomGenerator as its additional input: a weak generator
// cannot make two signatures share a nonce, and a good one keeps the nonce unpredictable even to
// someone who knows the private key's hash function inputs. The modular arithmetic of the
// signature is blinded with a further random factor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/secure.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace tarnwick {

class RandomGenerator;

enum class EcCurve { kP256, kP384, kP521 };

// Bytes of a coordinate, of the group order and of r, s and private scalars: 32, 48, 66.
std::size_t EcScalarSize(EcCurve curve);
// Bytes of an uncompressed point: 65, 97, 133.
std::size_t EcPointSize(EcCurve curve);
// Bytes of the curve's hash: 32, 48, 64.
std::size_t EcHashSize(EcCurve curve);
// The curve's hash of length bytes (EcHashSize bytes to out).
void EcHash(EcCurve curve, const std::uint8_t* data, std::size_t length, std::uint8_t* out);

class EcPublicKey {
  public:
    // Refuses every length but EcPointSize, every first byte but 04 (00 is the point at infinity,
    // 02 and 03 the compressed forms), coordinates not below the field prime and points not on
    // the curve. On failure the object keeps what it had.
    [[nodiscard]] bool SetPoint(EcCurve curve, const std::uint8_t* point, std::size_t length);
    bool ok() const { return key_ != nullptr; }
    EcCurve curve() const { return curve_; }
    const std::vector<std::uint8_t>& Point() const { return point_; }
    // ECDSA over message with the curve's hash. Refuses r or s that are zero or not below the
    // group order.
    [[nodiscard]] bool Verify(const std::uint8_t* message, std::size_t length,
                              const std::uint8_t* r, std::size_t rLength, const std::uint8_t* s,
                              std::size_t sLength) const;

  private:
    EcCurve curve_ = EcCurve::kP256;
    std::vector<std::uint8_t> point_;
    std::shared_ptr<EVP_PKEY> key_;
};

class EcPrivateKey {
  public:
    // A scalar drawn uniformly from [1, n) out of the generator.
    [[nodiscard]] bool Generate(EcCurve curve, RandomGenerator& random);
    // A stored scalar (key files): must lie in [1, n). The public point is derived from it.
    [[nodiscard]] bool SetScalar(EcCurve curve, const std::uint8_t* scalar, std::size_t length);
    bool ok() const { return public_.ok(); }
    EcCurve curve() const { return public_.curve(); }
    const EcPublicKey& Public() const { return public_; }
    // The scalar at EcScalarSize bytes (for key files).
    const SecureBytes& Scalar() const { return scalar_; }

    // ECDH: the x-coordinate of d * Q at EcScalarSize bytes. False when the peer is on another
    // curve or not set.
    [[nodiscard]] bool Agree(const EcPublicKey& peer, SecureBytes* shared) const;

    // ECDSA over message with the curve's hash; r and s at EcScalarSize bytes each.
    [[nodiscard]] bool Sign(const std::uint8_t* message, std::size_t length,
                            RandomGenerator& random, std::vector<std::uint8_t>* r,
                            std::vector<std::uint8_t>* s) const;
    // The same with the caller's additional input to the nonce generator (RFC 6979 section 3.6)
    // in place of the 32 generator bytes; with none, the nonce is RFC 6979's deterministic one.
    // random still supplies the blinding factor, which does not change the result.
    [[nodiscard]] bool SignWithNonceInput(const std::uint8_t* message, std::size_t length,
                                          const std::uint8_t* extra, std::size_t extraLength,
                                          RandomGenerator& random, std::vector<std::uint8_t>* r,
                                          std::vector<std::uint8_t>* s) const;

  private:
    SecureBytes scalar_;
    EcPublicKey public_;
};

}  // namespace tarnwick
