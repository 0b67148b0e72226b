// The TLS 1.0 pseudo-random function (RFC 2246 section 5) and the values the handshake derives
// with it: the master secret, the key block and the verify data of the Finished messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/secure.h"

namespace tarnwick {

// PRF(secret, label, seed) = P_MD5(S1, label + seed) XOR P_SHA1(S2, label + seed), where S1 is
// the first and S2 the last half of the secret (both ceil(length / 2) bytes, so an odd secret
// shares its middle byte). Writes out_length bytes.
void TlsPrf(const std::uint8_t* secret, std::size_t secret_length, std::string_view label,
            const std::uint8_t* seed, std::size_t seed_length, std::uint8_t* out,
            std::size_t out_length);

inline constexpr std::size_t kTlsRandomSize = 32;
inline constexpr std::size_t kTlsMasterSecretSize = 48;
inline constexpr std::size_t kTlsVerifyDataSize = 12;

// master_secret = PRF(pre_master_secret, "master secret", client_random + server_random)[0..47]
SecureBytes TlsMasterSecret(const std::uint8_t* premaster, std::size_t premaster_length,
                            const std::uint8_t client_random[kTlsRandomSize],
                            const std::uint8_t server_random[kTlsRandomSize]);

// key_block = PRF(master_secret, "key expansion", server_random + client_random)
SecureBytes TlsKeyBlock(const SecureBytes& master, const std::uint8_t client_random[kTlsRandomSize],
                        const std::uint8_t server_random[kTlsRandomSize], std::size_t length);

// verify_data = PRF(master_secret, finished_label, MD5(handshake_messages) +
// SHA-1(handshake_messages))[0..11]; digests holds the 16 + 20 bytes.
void TlsFinishedVerifyData(const SecureBytes& master, std::string_view label,
                           const std::uint8_t digests[36], std::uint8_t out[kTlsVerifyDataSize]);

}  // namespace tarnwick
