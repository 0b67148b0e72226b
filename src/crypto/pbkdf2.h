// PBKDF2 (RFC 8018 section 5.2) over HMAC with any Hash: the key derivation of password-protected
// PKCS #8 key files (PBES2).
//
//   SecureBytes key(32);
//   if (!Pbkdf2(CSHA256(), pass.data(), pass.size(), salt.data(), salt.size(), 2048,
//               key.data(), key.size())) ...
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/hash.h"

namespace tarnwick {

// Files asking for more iterations would take minutes to open; they are refused.
inline constexpr std::uint32_t kPbkdf2MaxIterations = 10'000'000;

// prf is a fresh hash of the kind HMAC is to use (only cloned). False for zero iterations or more
// than kPbkdf2MaxIterations, or an empty output. An empty passphrase is allowed.
[[nodiscard]] bool Pbkdf2(const Hash& prf, const std::uint8_t* passphrase,
                          std::size_t passphraseLength, const std::uint8_t* salt,
                          std::size_t saltLength, std::uint32_t iterations, std::uint8_t* out,
                          std::size_t outLength);

}  // namespace tarnwick
