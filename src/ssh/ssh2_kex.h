// The computations of the SSH2 Diffie-Hellman key exchange that do not talk to anyone: the
// exchange hash, key derivation, and checking the server's host-key signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/bignum.h"
#include "crypto/dsa.h"
#include "crypto/secure.h"

namespace tarnwick {

// The group-exchange sizes the client asks for.
inline constexpr std::uint32_t kGexMinimum = 1024;
inline constexpr std::uint32_t kGexPreferred = 1024;
inline constexpr std::uint32_t kGexMaximum = 8192;

struct ExchangeHashInput {
    std::string_view v_c;  // version lines without their line ends
    std::string_view v_s;
    std::string_view i_c;  // KEXINIT payloads from the message number on
    std::string_view i_s;
    std::string_view k_s;  // the host-key blob
    bool group_exchange = false;
    bool old_gex = false;  // only the preferred size is hashed
    const BigNum* p = nullptr;
    const BigNum* g = nullptr;
    const BigNum* e = nullptr;
    const BigNum* f = nullptr;
    const BigNum* k = nullptr;
};

// H = SHA-1 over the fields in protocol order. False when a number cannot be encoded.
bool ComputeExchangeHash(const ExchangeHashInput& input, std::uint8_t h[20]);

// length bytes of key material for letter ('A' to 'F'): HASH(K || H || letter || session_id),
// extended with HASH(K || H || K1 || ... ) as the protocol says.
SecureBytes DeriveKey(const BigNum& k, const std::uint8_t h[20], char letter,
                      const std::uint8_t session_id[20], std::size_t length);

// Host-key blobs: "ssh-rsa" with e and n, "ssh-dss" with p, q, g and y. False for anything else
// (a wrong name, a negative or zero number, bytes left over).
bool ParseRsaPublicBlob(std::string_view blob, BigNum* e, BigNum* n);
bool ParseDssPublicBlob(std::string_view blob, DsaKey* key);

// Host keys this client works with: RSA with a modulus of 1024 to 16384 bits and an odd public
// exponent from 3 to 2^32 - 1; DSA with a 160-bit q and a p of 1024 to 3072 bits (and g and y
// inside the group). An empty text for such a key, otherwise what is wrong with it, for the user.
// Checked before any arithmetic: a huge modulus would take minutes, a small one proves nothing.
std::string HostKeyProblem(std::string_view algorithm, std::string_view k_s);

// Checks the server's signature over the exchange hash with its host key. algorithm is
// "ssh-rsa" or "ssh-dss"; raw_signature is the m_rawsig_bug form (no name, no wrapper).
bool VerifyHostKeySignature(std::string_view algorithm, std::string_view k_s,
                            std::string_view signature, const std::uint8_t h[20],
                            bool raw_signature);

}  // namespace tarnwick
