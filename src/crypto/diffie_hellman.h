// Diffie-Hellman for the SSH2 key exchange: the fixed 1024-bit group of
// "diffie-hellman-group1-sha1" (RFC 2409 section 6.2, generator 2), the 2048-, 4096- and 8192-bit
// MODP groups 14, 16 and 18 of RFC 3526 (generator 2; "diffie-hellman-group14-sha1",
// "-group14-sha256", "-group16-sha512", "-group18-sha512"), and the groups a server sends in a
// group exchange.
//
//   BigNum x, e, k;
//   DhPrivateExponent(DhGroup1Prime(), 100, RandomGenerator::Global(), &x);
//   DhPublicValue(BigNum(2u), x, DhGroup1Prime(), &e);          // send e
//   if (!DhSharedSecret(f, x, DhGroup1Prime(), &k)) ...          // f from the server
#pragma once

#include <cstddef>

#include "crypto/bignum.h"

namespace tarnwick {

class RandomGenerator;

// The group-1 prime as decimal text, and parsed (once, on first use).
extern const char kDhGroup1PrimeDecimal[];
const BigNum& DhGroup1Prime();
// The RFC 3526 primes, parsed once on first use.
const BigNum& DhGroup14Prime();
const BigNum& DhGroup16Prime();
const BigNum& DhGroup18Prime();

// The private exponent: with q = (p - 1) / 2, draw percentage percent of q's byte length (at
// least kMinDhExponentBytes, at most q's length) of random bytes, set the top bit of the top
// 32-bit word, then halve while the number exceeds q.
inline constexpr std::size_t kMinDhExponentBytes = 32;  // 256 bits: below that, x can be searched
bool DhPrivateExponent(const BigNum& p, int percentage, RandomGenerator& random, BigNum* x);

// g^x mod p, with timing independent of x.
bool DhPublicValue(const BigNum& g, const BigNum& x, const BigNum& p, BigNum* e);

// 1 < v < p - 1: the range a peer's public value and the shared secret must lie in.
bool DhValueInRange(const BigNum& v, const BigNum& p);

// K = f^x mod p. False when f or K lies outside (1, p - 1).
bool DhSharedSecret(const BigNum& f, const BigNum& x, const BigNum& p, BigNum* k);

}  // namespace tarnwick
