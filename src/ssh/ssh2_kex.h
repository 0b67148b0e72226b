// The computations of the SSH2 key exchanges that do not talk to anyone: the exchange hash, key
// derivation, and checking the server's host key and its signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/bignum.h"
#include "crypto/dsa.h"
#include "crypto/secure.h"
#include "ssh/ssh2_algorithms.h"

namespace tarnwick {

// The group-exchange sizes the client asks for: the old method's, and those of the SHA-256
// method (today's servers keep no group below 2048 bits; 3072 bits match a 128-bit cipher).
struct GexSizes {
    std::uint32_t minimum;
    std::uint32_t preferred;
    std::uint32_t maximum;
};
inline constexpr GexSizes kGexSha1Sizes{1024, 1024, 8192};
inline constexpr GexSizes kGexSha256Sizes{2048, 3072, 8192};

// The largest exchange hash (SHA-512).
inline constexpr std::size_t kMaxExchangeHash = 64;

struct ExchangeHashInput {
    KexHash hash = KexHash::kSha1;
    std::string_view v_c;  // version lines without their line ends
    std::string_view v_s;
    std::string_view i_c;  // KEXINIT payloads from the message number on
    std::string_view i_s;
    std::string_view k_s;  // the host-key blob
    // Diffie-Hellman: e and f; with group exchange also the sizes asked for and the group.
    bool group_exchange = false;
    bool old_gex = false;  // only the preferred size is hashed
    GexSizes gex = kGexSha1Sizes;
    const BigNum* p = nullptr;
    const BigNum* g = nullptr;
    const BigNum* e = nullptr;
    const BigNum* f = nullptr;
    // The elliptic-curve and hybrid exchanges: the two public values as strings instead of e, f.
    bool strings = false;
    std::string_view q_c;
    std::string_view q_s;
    // The shared secret as it is hashed: an mpint, or for the hybrid exchange a string.
    const SecureBytes* k = nullptr;
};

// H = HASH over the fields in protocol order; h receives KexHashSize(input.hash) bytes. False
// when a number cannot be encoded or a field is missing.
bool ComputeExchangeHash(const ExchangeHashInput& input, std::uint8_t* h);

// length bytes of key material for letter ('A' to 'F'): HASH(K || H || letter || session_id),
// extended with HASH(K || H || K1 || ... ) as the protocol says. k is K as it is hashed (an
// mpint, or a string); h and session_id have the hash's size.
SecureBytes DeriveKey(KexHash hash, const SecureBytes& k, const std::uint8_t* h, char letter,
                      const std::uint8_t* session_id, std::size_t length);

// K as the exchange hash and key derivation take it: the mpint of a number (Diffie-Hellman, the
// x-coordinate of an ECDH point, X25519's output read as a big-endian number), or a string.
SecureBytes SharedSecretAsMpint(const std::uint8_t* bytes, std::size_t length);
SecureBytes SharedSecretAsString(const std::uint8_t* bytes, std::size_t length);

// Host-key blobs: "ssh-rsa" with e and n, "ssh-dss" with p, q, g and y. False for anything else
// (a wrong name, a negative or zero number, bytes left over).
bool ParseRsaPublicBlob(std::string_view blob, BigNum* e, BigNum* n);
bool ParseDssPublicBlob(std::string_view blob, DsaKey* key);
// "ssh-ed25519" with its 32-byte key; "ecdsa-sha2-nistpN" with the curve's name and the point.
bool ParseEd25519PublicBlob(std::string_view blob, std::string_view* key);
bool ParseEcdsaPublicBlob(std::string_view blob, EcCurve curve, std::string_view* point);

// Host keys this client works with: RSA with a modulus of 1024 to 16384 bits and an odd public
// exponent from 3 to 2^32 - 1; DSA with a 160-bit q and a p of 1024 to 3072 bits (and g and y
// inside the group); Ed25519 keys of 32 bytes; ECDSA points on their curve. An empty text for
// such a key, otherwise what is wrong with it, for the user. Checked before any arithmetic: a
// huge modulus would take minutes, a small one proves nothing. algorithm is the negotiated
// host-key algorithm (the SHA-2 RSA signatures check an "ssh-rsa" blob).
std::string HostKeyProblem(std::string_view algorithm, std::string_view k_s);

// Checks the server's signature over the exchange hash (h_length bytes) with its host key.
// raw_signature is the m_rawsig_bug form (no name, no wrapper; the two SHA-1 algorithms only).
bool VerifyHostKeySignature(std::string_view algorithm, std::string_view k_s,
                            std::string_view signature, const std::uint8_t* h, std::size_t h_length,
                            bool raw_signature);

}  // namespace tarnwick
