// Montgomery arithmetic modulo an odd number m of n limbs, R = 2^(64 n): values are kept as
// a R mod m, and a product of two such values is reduced with multiplications instead of a
// division. Used by the modular exponentiations; not a public interface.
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
    int size() const { return n_; }

    // r = a b / R mod m, for a, b < m (n limbs each). r may alias a or b.
    void Mul(limbs::Limb* r, const limbs::Limb* a, const limbs::Limb* b);
    void Square(limbs::Limb* r, const limbs::Limb* a);
    // x (any BigNum, reduced first if needed) into Montgomery form; false on failure.
    bool ToMontgomery(limbs::Limb* r, const BigNum& x);
    // Out of Montgomery form into a BigNum.
    bool FromMontgomery(const limbs::Limb* a, BigNum* out);
    // R mod m, the Montgomery form of 1.
    const limbs::Limb* One() const { return one_.data(); }
    const BigNum& modulus() const { return modulus_; }

  private:
    void Reduce(limbs::Limb* r, limbs::Limb* t);

    // The multiply-accumulate row every product and reduction is made of: the MULX/ADX one when
    // the processor has it, chosen once per modulus.
    using Row = limbs::Limb (*)(limbs::Limb*, const limbs::Limb*, int, limbs::Limb);
    Row row_ = limbs::MulAdd;

    int n_ = 0;
    BigNum modulus_;
    LimbVector m_;
    LimbVector rr_;          // R^2 mod m
    LimbVector one_;         // R mod m
    LimbVector t_;           // 2n + 1 limbs of product
    limbs::Limb m0inv_ = 0;  // -m^-1 mod 2^64
};

}  // namespace tarnwick
