// Streamlined NTRU Prime sntrup761: the post-quantum key encapsulation of the SSH2 key exchange
// "sntrup761x25519-sha512" (p = 761, q = 4591, w = 286; public key 1158 bytes, secret key 1763,
// ciphertext 1039, shared secret 32).
//
//   std::uint8_t publicKey[kSntrup761PublicKeySize];
//   SecureBytes secretKey;
//   Sntrup761KeyPair(RandomGenerator::Global(), publicKey, &secretKey);   // the client
//   ... the server runs Sntrup761Encapsulate(publicKey, ...) and returns the ciphertext ...
//   SecureBytes shared;
//   Sntrup761Decapsulate(secretKey.data(), secretKey.size(), ciphertext, length, &shared);
//
// Decapsulation never fails on a ciphertext of the right length: a tampered or forged one yields
// the implicit-rejection secret (a hash of a random value kept in the secret key and the
// ciphertext), which the peer cannot predict, so the key exchange fails later at the exchange
// hash. The arithmetic runs without branches or table indices that depend on secrets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "crypto/secure.h"

namespace tarnwick {

class RandomGenerator;

constexpr std::size_t kSntrup761PublicKeySize = 1158;
constexpr std::size_t kSntrup761SecretKeySize = 1763;
constexpr std::size_t kSntrup761CiphertextSize = 1039;
constexpr std::size_t kSntrup761SharedSize = 32;

// Where the random bytes of key generation and encapsulation come from. The program passes its
// RandomGenerator; the known-answer tests pass the deterministic generator the published vectors
// were made with, which answers request by request: each random element takes its 761 32-bit
// values (little-endian) in one request of 3044 bytes, and the implicit-rejection value is one
// request of 191 bytes.
using Sntrup761Random = std::function<void(std::uint8_t* out, std::size_t length)>;

[[nodiscard]] bool Sntrup761KeyPair(RandomGenerator& random,
                                    std::uint8_t publicKey[kSntrup761PublicKeySize],
                                    SecureBytes* secretKey);
[[nodiscard]] bool Sntrup761KeyPair(const Sntrup761Random& random,
                                    std::uint8_t publicKey[kSntrup761PublicKeySize],
                                    SecureBytes* secretKey);

// False only for a public key of the wrong length. (Every 1158-byte string decodes to some
// public key: values beyond the range are reduced, as the encoding prescribes.)
[[nodiscard]] bool Sntrup761Encapsulate(const std::uint8_t* publicKey, std::size_t length,
                                        RandomGenerator& random,
                                        std::uint8_t ciphertext[kSntrup761CiphertextSize],
                                        SecureBytes* shared);
[[nodiscard]] bool Sntrup761Encapsulate(const std::uint8_t* publicKey, std::size_t length,
                                        const Sntrup761Random& random,
                                        std::uint8_t ciphertext[kSntrup761CiphertextSize],
                                        SecureBytes* shared);

// False only for a secret key or ciphertext of the wrong length.
[[nodiscard]] bool Sntrup761Decapsulate(const std::uint8_t* secretKey, std::size_t secretLength,
                                        const std::uint8_t* ciphertext, std::size_t length,
                                        SecureBytes* shared);

}  // namespace tarnwick
