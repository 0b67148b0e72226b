#include "crypto/montgomery.h"

#include <cstring>

#include "crypto/cpu_features.h"

namespace tarnwick {

using limbs::Limb;
using limbs::Wide;

bool Montgomery::Init(const BigNum& modulus) {
    if (!modulus.ok() || modulus.IsNegative() || !modulus.IsOdd() || modulus.BitLength() < 2) {
        return false;
    }
    modulus_ = modulus;
    n_ = modulus.limbCount();
    row_ = Cpu().bmi2 && Cpu().adx ? limbs::MulAddAdx : limbs::MulAdd;
    m_.assign(modulus.limbData(), modulus.limbData() + n_);
    // Newton's iteration doubles the correct low bits of the inverse each step; any odd x is its
    // own inverse modulo 8.
    Limb x = m_[0];
    for (int i = 0; i < 5; ++i)
        x *= 2 - m_[0] * x;
    m0inv_ = ~x + 1;
    t_.assign(static_cast<std::size_t>(2 * n_ + 1), 0);

    BigNum r(1u);
    if (!r.ShiftLeft(64 * n_) || !r.Mod(modulus)) return false;
    one_.assign(static_cast<std::size_t>(n_), 0);
    std::memcpy(one_.data(), r.limbData(), sizeof(Limb) * static_cast<std::size_t>(r.limbCount()));
    BigNum rr(1u);
    if (!rr.ShiftLeft(128 * n_) || !rr.Mod(modulus)) return false;
    rr_.assign(static_cast<std::size_t>(n_), 0);
    std::memcpy(rr_.data(), rr.limbData(), sizeof(Limb) * static_cast<std::size_t>(rr.limbCount()));
    return true;
}

// t (2n limbs, t[2n] spare) → r = t / R mod m. Each step clears the lowest remaining limb by
// adding a multiple of m; the final subtraction is done always and selected by mask, so the time
// does not depend on the values.
void Montgomery::Reduce(Limb* r, Limb* t) {
    const int n = n_;
    const Limb* m = m_.data();
    Limb high = 0;
    for (int i = 0; i < n; ++i) {
        const Limb q = t[i] * m0inv_;
        const Limb carry = row_(t + i, m, n, q);
        const Wide s = static_cast<Wide>(t[i + n]) + carry + high;
        t[i + n] = static_cast<Limb>(s);
        high = static_cast<Limb>(s >> 64);
    }
    Limb* upper = t + n;
    Limb* diff = t;  // the low half is free now
    const Limb borrow = limbs::Sub(diff, upper, m, n);
    // Take the difference when the value was >= m: a carry out of the top, or no borrow.
    const Limb takeDiff = 0 - (high | (borrow ^ 1));
    for (int i = 0; i < n; ++i)
        r[i] = (diff[i] & takeDiff) | (upper[i] & ~takeDiff);
}

void Montgomery::Mul(Limb* r, const Limb* a, const Limb* b) {
    Limb* t = t_.data();
    const int n = n_;
    std::memset(t, 0, sizeof(Limb) * static_cast<std::size_t>(2 * n));
    for (int j = 0; j < n; ++j)
        t[n + j] = row_(t + j, a, n, b[j]);
    Reduce(r, t);
}

void Montgomery::Square(Limb* r, const Limb* a) {
    Limb* t = t_.data();
    const int n = n_;
    // The products a[i] a[j] for i < j once, doubled, plus the squares on the diagonal.
    std::memset(t, 0, sizeof(Limb) * static_cast<std::size_t>(2 * n));
    for (int i = 0; i + 1 < n; ++i)
        t[n + i] = row_(t + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
    Limb carry = 0;
    for (int i = 0; i < 2 * n; ++i) {
        const Limb next = t[i] >> 63;
        t[i] = (t[i] << 1) | carry;
        carry = next;
    }
    carry = 0;
    for (int i = 0; i < n; ++i) {
        const Wide square = static_cast<Wide>(a[i]) * a[i];
        Wide s = static_cast<Wide>(t[2 * i]) + static_cast<Limb>(square) + carry;
        t[2 * i] = static_cast<Limb>(s);
        s = static_cast<Wide>(t[2 * i + 1]) + static_cast<Limb>(square >> 64) +
            static_cast<Limb>(s >> 64);
        t[2 * i + 1] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
    }
    Reduce(r, t);
}

bool Montgomery::ToMontgomery(Limb* r, const BigNum& x) {
    BigNum reduced(x);
    if (reduced.IsNegative() || reduced.CompareMagnitude(modulus_) >= 0) {
        if (!reduced.Mod(modulus_)) return false;
    }
    LimbVector a(static_cast<std::size_t>(n_), 0);
    std::memcpy(a.data(), reduced.limbData(),
                sizeof(Limb) * static_cast<std::size_t>(reduced.limbCount()));
    Mul(r, a.data(), rr_.data());
    return true;
}

bool Montgomery::FromMontgomery(const Limb* a, BigNum* out) {
    Limb* t = t_.data();
    std::memcpy(t, a, sizeof(Limb) * static_cast<std::size_t>(n_));
    std::memset(t + n_, 0, sizeof(Limb) * static_cast<std::size_t>(n_ + 1));
    LimbVector r(static_cast<std::size_t>(n_));
    Reduce(r.data(), t);
    const bool ok = BigNumAccess::SetLimbs64(out, r.data(), n_);
    return ok;
}

}  // namespace tarnwick
