// DSA with SHA-1 (SSH2 "ssh-dss"): signing for public-key authentication and the agent,
// verification of host-key signatures.
//
//   BigNum r, s;
//   if (DsaSign(data, length, key, RandomGenerator::Global(), &r, &s)) {
//       std::uint8_t blob[40];
//       DsaSignatureBlob(r, s, blob);      // r and s as 20 bytes each
//   }
//   if (!DsaVerify(exchangeHash, 20, r, s, hostKey)) ...
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/bignum.h"

namespace tarnwick {

class RandomGenerator;

struct DsaKey {
    BigNum p, q, g, y;
    BigNum x;  // private; zero in a public key
};

// r = (g^k mod p) mod q, s = k^-1 (SHA-1(data) + x r) mod q, with k drawn uniformly from
// [1, q - 1] for every signature.
bool DsaSign(const std::uint8_t* data, std::size_t length, const DsaKey& key,
             RandomGenerator& random, BigNum* r, BigNum* s);

// Checks r and s against the SHA-1 of data and the public key. r and s outside [1, q - 1] fail.
bool DsaVerify(const std::uint8_t* data, std::size_t length, const BigNum& r, const BigNum& s,
               const DsaKey& key);

// r and s as 20 big-endian bytes each (the SSH signature blob); false when either does not fit.
bool DsaSignatureBlob(const BigNum& r, const BigNum& s, std::uint8_t out[40]);

}  // namespace tarnwick
