// RSA with PKCS #1 version 1.5: encryption (block type 2) for the TLS premaster secret and the
// SSH1 session key, signature verification for certificates and host keys, and signing with SHA-1,
// SHA-256 or SHA-512 for public-key authentication and the agent.
//
//   std::vector<std::uint8_t> wire(n.ByteLength());
//   RsaEncrypt(secret, 48, e, n, RandomGenerator::Global(), wire.data(), wire.size());
//
//   if (!RsaVerifySha1(hash, 20, e, n, signature)) ...   // SSH "ssh-rsa"
//   if (!RsaVerifySha512(hash, 64, e, n, signature)) ... // SSH "rsa-sha2-512"
//
//   BigNum signature;
//   if (RsaSignSha1(data, length, key, &signature)) ...  // CRT when p, q, ... are known
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/bignum.h"

namespace tarnwick {

class RandomGenerator;

struct RsaPrivateKey {
    BigNum n, e, d;
    // Optional: with all five present signing goes through the Chinese remainder theorem.
    BigNum p, q, dmp1, dmq1, iqmp;

    // Derives dmp1 = d mod (p - 1), dmq1 = d mod (q - 1) and, when it is missing,
    // iqmp = q^-1 mod p from d, p and q (the agent receives only n, e, d, iqmp, p, q).
    bool CompleteCrt();
};

// PKCS #1 type 2 encryption: the block 00 02, non-zero random padding, 00, the data (at most
// k - 11 bytes for a k-byte modulus), raised to e mod n and written as exactly outLength = k bytes.
bool RsaEncrypt(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                RandomGenerator& random, std::uint8_t* out, std::size_t outLength);

// Verifies a PKCS #1 type 1 signature over data. The recovered block must equal, byte for byte,
// 00 01 FF..FF 00 DigestInfo digest for one of the accepted digests (SHA-1 "1.3.14.3.2.26", MD5
// "1.2.840.113549.2.5" and "1.2.840.113549.1.1.1.4"), its algorithm parameters either NULL or
// absent. Nothing is decoded leniently, so no forged block with trailing garbage can pass.
// A signature not below the modulus fails.
bool RsaVerify(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
               const BigNum& signature);
// The same, accepting only SHA-1 (the SSH "ssh-rsa" host-key signatures).
bool RsaVerifySha1(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                   const BigNum& signature);
// The same, accepting only SHA-256 ("2.16.840.1.101.3.4.2.1", SSH "rsa-sha2-256") or only SHA-512
// ("2.16.840.1.101.3.4.2.3", SSH "rsa-sha2-512") (RFC 8332), parameters NULL or absent.
bool RsaVerifySha256(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                     const BigNum& signature);
bool RsaVerifySha512(const std::uint8_t* data, std::size_t length, const BigNum& e, const BigNum& n,
                     const BigNum& signature);

// Signs the SHA-1 of data: block 00 01 FF..FF 00, the SHA-1 DigestInfo, the digest; raised to d.
// The result is checked with e before it is returned, so a fault in the arithmetic cannot leak
// a wrong signature.
bool RsaSignSha1(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
                 BigNum* signature);
// The same with the SHA-256 or SHA-512 digest and its DigestInfo (NULL parameters).
bool RsaSignSha256(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
                   BigNum* signature);
bool RsaSignSha512(const std::uint8_t* data, std::size_t length, const RsaPrivateKey& key,
                   BigNum* signature);

}  // namespace tarnwick
