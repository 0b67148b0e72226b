// Montgomery arithmetic modulo an odd number m: values are kept as a R mod m, and a product of
// two such values is reduced with multiplications instead of a division. Used by the modular
// exponentiations; not a public interface.
//
// Two representations, chosen per modulus: 64-bit limbs with R = 2^(64 n) (MULX/ADX rows where
// the processor has them), or, on processors with AVX-512 IFMA, 52-bit digits in 64-bit lanes
// with R = 2^(52 k) and values kept in [0, 2m) between products. Callers treat an element as an
// opaque array of words() limbs.
#pragma once

#include <vector>

#include "crypto/bignum.h"
#include "crypto/limbs.h"
#include "crypto/secure.h"

namespace tarnwick {

// Limb arrays that may hold secrets are wiped when freed.
using LimbVector = std::vector<limbs::Limb, WipingAllocator<limbs::Limb>>;

// Direct access to a BigNum's limbs for the modular arithmetic.
class BigNumAccess {
  public:
    // value = the n limbs at a (least significant first), non-negative.
    static bool SetLimbs64(BigNum* value, const limbs::Limb* a, int n);
};

class Montgomery {
  public:
    // False unless modulus is odd and greater than 1.
    bool Init(const BigNum& modulus);
    // Limbs per element.
    int words() const { return words_; }

    // r = a b / R (mod m). r may alias a or b.
    void Mul(limbs::Limb* r, const limbs::Limb* a, const limbs::Limb* b);
    void Square(limbs::Limb* r, const limbs::Limb* a);
    // Two independent products modulo two moduli, interleaved where the representation allows
    // (the two halves of an RSA signature).
    static void MulPair(Montgomery& x, limbs::Limb* r1, const limbs::Limb* a1,
                        const limbs::Limb* b1, Montgomery& y, limbs::Limb* r2,
                        const limbs::Limb* a2, const limbs::Limb* b2);
    // x (any BigNum; reduced first when needed) into Montgomery form.
    bool ToMontgomery(limbs::Limb* r, const BigNum& x);
    // Out of Montgomery form into a BigNum in [0, m).
    bool FromMontgomery(const limbs::Limb* a, BigNum* out);
    // The Montgomery form of 1.
    const limbs::Limb* One() const { return one_.data(); }
    const BigNum& modulus() const { return modulus_; }

  private:
    void Reduce(limbs::Limb* r, limbs::Limb* t);
    void MulDigits(limbs::Limb* r, const limbs::Limb* a, const limbs::Limb* b);
    void ToDigits(limbs::Limb* out, const BigNum& x) const;

    // The multiply-accumulate row every limb product and reduction is made of.
    using Row = limbs::Limb (*)(limbs::Limb*, const limbs::Limb*, int, limbs::Limb);
    Row row_ = limbs::MulAdd;

    bool digits_ = false;  // the 52-bit representation
    int n_ = 0;            // limbs of the modulus
    int k_ = 0;            // 52-bit digits (digit form)
    int words_ = 0;
    BigNum modulus_;
    LimbVector m_;           // the modulus in the element form
    LimbVector rr_;          // R^2 mod m, element form
    LimbVector one_;         // R mod m, element form
    LimbVector t_;           // scratch
    limbs::Limb m0inv_ = 0;  // -m^-1 mod 2^64 (mod 2^52 in digit form)
};

}  // namespace tarnwick
