// BigNum: an arbitrary-precision signed integer for the public-key operations, SSH wire integers
// and the key formats. Values are plain objects (deep copies, moves); every buffer is wiped when
// it is freed, so private exponents never linger in freed memory.
//
//   BigNum p;
//   if (!p.SetDecimal("1797...")) ...              // false on malformed text
//   BigNum e;
//   e.SetMpint(packet, available, &used);          // the SSH wire form, bounds-checked
//   BigNum k = (a * b + c) % p;                    // chained forms copy; check k.ok()
//   BigNum r;
//   if (!ModExp(g, x, p, &r)) ...                  // Montgomery, sliding window
//   std::uint8_t out[256];
//   r.ToBytes(out, sizeof out);                    // right-aligned big-endian
//
// Failures (division by zero, malformed input, a value beyond kMaxBits, memory exhausted) make
// the operation return false. A number produced by a failed operation is zero and reports
// ok() == false; every later operation on it fails too, so an error cannot silently turn into a
// wrong key or signature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/limbs.h"
#include "crypto/secure.h"

namespace tarnwick {

class RandomGenerator;

class BigNum {
  public:
    // The largest magnitude a BigNum holds, in bits: far above any key or group in use, small
    // enough that hostile lengths cannot exhaust memory.
    static constexpr int kMaxBits = 1 << 20;

    BigNum() = default;
    explicit BigNum(std::int32_t value) { SetInt(value); }
    explicit BigNum(std::uint32_t value) { SetUnsigned(value); }
    BigNum(const BigNum& other);
    BigNum(BigNum&& other) noexcept;
    BigNum& operator=(const BigNum& other);
    BigNum& operator=(BigNum&& other) noexcept;
    ~BigNum();

    // A number in the failed state (what a failed chained operation gives).
    static BigNum Invalid();

    // ---- Construction: each replaces the value (and clears a failure) ----
    void SetZero();
    void SetInt(std::int32_t value);
    void SetUnsigned(std::uint32_t value);
    // An unsigned big-endian magnitude; length 0 gives zero.
    bool SetBytes(const std::uint8_t* bytes, std::size_t length, bool negative = false);
    // 32-bit limbs, most significant first.
    bool SetLimbs(const std::uint32_t* limbs, std::size_t count, bool negative = false);
    // Decimal digits with an optional leading '-'. Anything else (empty text, other
    // characters) fails.
    bool SetDecimal(std::string_view text);
    // Hexadecimal digits with an optional leading '-' (tests and constants).
    bool SetHex(std::string_view text);
    // The SSH multiple-precision integer at data: a 4-byte big-endian length and that many bytes
    // of two's-complement big-endian value. Fails when the length runs past available; consumed
    // (if given) receives 4 + length.
    bool SetMpint(const std::uint8_t* data, std::size_t available, std::size_t* consumed = nullptr);
    // length random bytes from the generator as an unsigned magnitude.
    bool SetRandom(std::size_t length, RandomGenerator& random);

    // ---- Queries ----
    bool ok() const { return !failed_; }
    // Bytes of the magnitude without leading zeros; at least 1.
    std::size_t ByteLength() const;
    // Bytes of the SSH wire form: 4 for zero, else 4 + ByteLength() plus one sign byte when the
    // top magnitude byte has its top bit set.
    std::size_t WireLength() const;
    int BitLength() const;  // 0 for zero
    bool Bit(int index) const;
    bool IsZero() const { return size_ == 0; }
    bool IsOne() const { return size_ == 1 && d_[0] == 1 && !negative_; }
    bool IsMinusOne() const { return size_ == 1 && d_[0] == 1 && negative_; }
    bool IsNegative() const { return negative_; }
    bool IsOdd() const { return size_ > 0 && (d_[0] & 1) != 0; }
    // -1, 0 or 1 comparing magnitudes.
    int CompareMagnitude(const BigNum& other) const;
    // -1, 0 or 1 comparing signed values.
    int Compare(const BigNum& other) const;

    // ---- Arithmetic in place ----
    bool Add(const BigNum& other);
    bool Sub(const BigNum& other);
    bool AddSmall(std::uint32_t value);
    bool Mul(const BigNum& other);
    // Truncating division; fails, leaving the value unchanged, when other is zero.
    bool Div(const BigNum& other);
    // The remainder taking the sign of the modulus: for a positive m it lies in [0, m).
    // Fails, leaving the value unchanged, when other is zero.
    bool Mod(const BigNum& other);
    // Shifts of the magnitude; a negative count shifts the other way. A zero result is
    // non-negative.
    bool ShiftLeft(int bits);
    bool ShiftRight(int bits);
    // Sets the top bit of the most significant non-zero 32-bit word (bit 31 for zero).
    void SetTopBit();
    void Negate();

    // ---- Conversion out ----
    // Big-endian, right-aligned and zero-filled to exactly length bytes; a negative value as the
    // two's complement over the whole length. False when the value does not fit.
    bool ToBytes(std::uint8_t* out, std::size_t length) const;
    // The magnitude at its own byte length.
    SecureBytes ToBytes() const;
    // The SSH wire form (WireLength() bytes). False when capacity is too small.
    bool ToMpint(std::uint8_t* out, std::size_t capacity) const;
    SecureBytes ToMpint() const;
    std::string ToDecimal() const;
    std::string ToHex() const;  // lower case, no leading zeros, "0" for zero

    // The limbs, least significant first (for the modular arithmetic).
    const limbs::Limb* limbData() const { return d_; }
    int limbCount() const { return size_; }

  private:
    friend class BigNumAccess;

    bool Reserve(int limbs);  // keeps the value
    void Trim();
    bool Fail();
    bool AddSigned(const BigNum& other, bool subtract);
    bool DivMod(const BigNum& divisor, BigNum* quotient, BigNum* remainder) const;
    bool SetBytesImpl(const std::uint8_t* bytes, std::size_t length, bool invert);

    limbs::Limb* d_ = nullptr;
    int size_ = 0;  // significant limbs; 0 for zero
    int capacity_ = 0;
    bool negative_ = false;
    bool failed_ = false;
};

bool operator==(const BigNum& a, const BigNum& b);
bool operator!=(const BigNum& a, const BigNum& b);
bool operator<(const BigNum& a, const BigNum& b);
bool operator<=(const BigNum& a, const BigNum& b);
bool operator>(const BigNum& a, const BigNum& b);
bool operator>=(const BigNum& a, const BigNum& b);

// The chained forms: a copy of the left operand with the operation applied (ok() false on
// failure).
BigNum operator+(const BigNum& a, const BigNum& b);
BigNum operator-(const BigNum& a, const BigNum& b);
BigNum operator*(const BigNum& a, const BigNum& b);
BigNum operator/(const BigNum& a, const BigNum& b);
BigNum operator%(const BigNum& a, const BigNum& b);
BigNum operator<<(const BigNum& a, int bits);
BigNum operator>>(const BigNum& a, int bits);

// ---- Modular arithmetic ----

// base^exponent mod modulus, the result taking the modulus's sign as Mod does. An exponent of 0
// gives 1. Fails (result zero) for a zero modulus or a negative exponent. Odd moduli use
// Montgomery multiplication with a sliding window; the time taken depends on the exponent, so
// secret exponents go through ModExpSecret.
bool ModExp(const BigNum& base, const BigNum& exponent, const BigNum& modulus, BigNum* result);
// The same result for an odd modulus, with a fixed window over exponentBits bits (a public bound
// such as the bit length of the group order; 0 means the modulus's length) and table look-ups
// that read every entry, so that the timing follows neither the exponent's bits nor its length.
// Even moduli fall back to ModExp.
bool ModExpSecret(const BigNum& base, const BigNum& exponent, const BigNum& modulus, BigNum* result,
                  int exponentBits = 0);
// base1^exponent1 base2^exponent2 mod modulus in one pass (DSA verification), the result taking
// the modulus's sign as Mod does. Timing follows the exponents: for public values only.
bool ModExpProduct(const BigNum& base1, const BigNum& exponent1, const BigNum& base2,
                   const BigNum& exponent2, const BigNum& modulus, BigNum* result);
// Two ModExpSecret computations at once (the two halves of an RSA signature): the same results,
// with the products of both interleaved where the processor allows.
bool ModExpSecretPair(const BigNum& base1, const BigNum& exponent1, const BigNum& modulus1,
                      BigNum* result1, const BigNum& base2, const BigNum& exponent2,
                      const BigNum& modulus2, BigNum* result2);
// The inverse of a modulo n (n > 0), in [0, n). Fails when a and n are not coprime.
bool ModInverse(const BigNum& a, const BigNum& n, BigNum* result);

}  // namespace tarnwick
