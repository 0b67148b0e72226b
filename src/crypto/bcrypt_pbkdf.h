// bcrypt-pbkdf: the key derivation of passphrase-protected key files in the "openssh-key-v1"
// form. A PBKDF2-like construction whose inner function is a salted, expensive Blowfish key
// schedule (64 iterations) over SHA-512 digests of the passphrase and salt; output bytes of the
// blocks are interleaved rather than concatenated, so every block is needed for any part of a
// long key.
//
//   SecureBytes key(48);   // aes256-ctr key and IV
//   if (!BcryptPbkdf(pass.data(), pass.size(), salt.data(), salt.size(), 16,
//                    key.data(), key.size())) ...
//
// Each round costs about a millisecond and a half; files written today use 16 to 100 rounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// Files with more rounds than this would take minutes to open; they are refused.
inline constexpr std::uint32_t kBcryptMaxRounds = 10000;
// 32 blocks of 32 bytes, as the construction allows.
inline constexpr std::size_t kBcryptMaxKey = 1024;

// False (out untouched) for an empty passphrase or salt, zero rounds or rounds beyond
// kBcryptMaxRounds, or an output length of 0 or beyond kBcryptMaxKey.
[[nodiscard]] bool BcryptPbkdf(const std::uint8_t* passphrase, std::size_t passphraseLength,
                               const std::uint8_t* salt, std::size_t saltLength,
                               std::uint32_t rounds, std::uint8_t* out, std::size_t outLength);

}  // namespace tarnwick
