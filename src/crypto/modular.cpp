// ModExp, ModExpSecret and ModInverse.
#include <algorithm>
#include <cstring>

#include "crypto/bignum.h"
#include "crypto/montgomery.h"

namespace tarnwick {

using limbs::Limb;

namespace {

// Window width for an exponent of the given bit length: wider windows save multiplications
// but cost a larger table.
int WindowBits(int bits) {
    if (bits > 671) return 6;
    if (bits > 239) return 5;
    if (bits > 79) return 4;
    if (bits > 23) return 3;
    return 1;
}

// Maps a result in [0, |m|) to the sign convention of Mod: a negative modulus gives (m, 0].
bool ApplyModulusSign(BigNum* r, const BigNum& modulus) {
    if (modulus.IsNegative() && !r->IsZero()) return r->Add(modulus);
    return true;
}

// Left-to-right sliding window over odd powers, in Montgomery form.
bool SlidingWindow(Montgomery& mont, const BigNum& base, const BigNum& exponent, BigNum* result) {
    const int n = mont.words();
    const int bits = exponent.BitLength();
    const int w = WindowBits(bits);
    const int tableSize = 1 << (w - 1);
    LimbVector table(static_cast<std::size_t>(tableSize * n));
    LimbVector acc(static_cast<std::size_t>(n)), square(static_cast<std::size_t>(n));
    if (!mont.ToMontgomery(table.data(), base)) return false;
    if (tableSize > 1) {
        mont.Square(square.data(), table.data());
        for (int i = 1; i < tableSize; ++i) {
            mont.Mul(table.data() + i * n, table.data() + (i - 1) * n, square.data());
        }
    }
    bool started = false;
    int i = bits - 1;
    while (i >= 0) {
        if (!exponent.Bit(i)) {
            mont.Square(acc.data(), acc.data());
            --i;
            continue;
        }
        int j = i - w + 1 < 0 ? 0 : i - w + 1;
        while (!exponent.Bit(j))
            ++j;
        int value = 0;
        for (int k = i; k >= j; --k)
            value = (value << 1) | (exponent.Bit(k) ? 1 : 0);
        const Limb* entry = table.data() + (value >> 1) * n;
        if (started) {
            for (int k = i; k >= j; --k)
                mont.Square(acc.data(), acc.data());
            mont.Mul(acc.data(), acc.data(), entry);
        } else {
            std::memcpy(acc.data(), entry, sizeof(Limb) * static_cast<std::size_t>(n));
            started = true;
        }
        i = j - 1;
    }
    return mont.FromMontgomery(acc.data(), result);
}

// Reads every table entry and keeps the one at index, with masks instead of branches or
// index-dependent addresses.
void SelectConstantTime(Limb* out, const Limb* table, int entries, int n, unsigned index) {
    std::memset(out, 0, sizeof(Limb) * static_cast<std::size_t>(n));
    for (int e = 0; e < entries; ++e) {
        const unsigned diff = static_cast<unsigned>(e) ^ index;
        // 0 - 1 wraps to all ones exactly when diff is 0.
        const Limb mask = 0 - static_cast<Limb>(((diff | (0u - diff)) >> 31) ^ 1u);
        const Limb* entry = table + static_cast<std::size_t>(e) * static_cast<std::size_t>(n);
        for (int k = 0; k < n; ++k)
            out[k] |= entry[k] & mask;
    }
}

// Fixed window over a public number of exponent bits, whatever the exponent's own length.
bool FixedWindow(Montgomery& mont, const BigNum& base, const BigNum& exponent, int exponentBits,
                 BigNum* result) {
    const int n = mont.words();
    constexpr int w = 5;
    constexpr int entries = 1 << w;
    int bits = exponentBits;
    if (exponent.BitLength() > bits) bits = exponent.BitLength();
    bits = (bits + w - 1) / w * w;
    LimbVector table(static_cast<std::size_t>(entries * n));
    LimbVector acc(static_cast<std::size_t>(n)), pick(static_cast<std::size_t>(n));
    std::memcpy(table.data(), mont.One(), sizeof(Limb) * static_cast<std::size_t>(n));
    if (!mont.ToMontgomery(table.data() + n, base)) return false;
    for (int i = 2; i < entries; ++i) {
        if (i % 2 == 0)
            mont.Square(table.data() + i * n, table.data() + (i / 2) * n);
        else
            mont.Mul(table.data() + i * n, table.data() + (i - 1) * n, table.data() + n);
    }
    auto window = [&exponent](int top) {
        unsigned v = 0;
        for (int k = top; k > top - w; --k)
            v = (v << 1) | (exponent.Bit(k) ? 1u : 0u);
        return v;
    };
    SelectConstantTime(acc.data(), table.data(), entries, n, window(bits - 1));
    for (int top = bits - 1 - w; top >= 0; top -= w) {
        for (int k = 0; k < w; ++k)
            mont.Square(acc.data(), acc.data());
        SelectConstantTime(pick.data(), table.data(), entries, n, window(top));
        mont.Mul(acc.data(), acc.data(), pick.data());
    }
    return mont.FromMontgomery(acc.data(), result);
}

// Two fixed-window exponentiations in lockstep, their products interleaved.
bool FixedWindowPair(Montgomery& m1, const BigNum& base1, const BigNum& exponent1, Montgomery& m2,
                     const BigNum& base2, const BigNum& exponent2, BigNum* result1,
                     BigNum* result2) {
    const int n = m1.words();
    constexpr int w = 5;
    constexpr int entries = 1 << w;
    int bits = std::max({m1.modulus().BitLength(), m2.modulus().BitLength(), exponent1.BitLength(),
                         exponent2.BitLength()});
    bits = (bits + w - 1) / w * w;
    LimbVector t1(static_cast<std::size_t>(entries * n)), t2(static_cast<std::size_t>(entries * n));
    LimbVector acc1(static_cast<std::size_t>(n)), pick1(static_cast<std::size_t>(n));
    LimbVector acc2(static_cast<std::size_t>(n)), pick2(static_cast<std::size_t>(n));
    std::memcpy(t1.data(), m1.One(), sizeof(Limb) * static_cast<std::size_t>(n));
    std::memcpy(t2.data(), m2.One(), sizeof(Limb) * static_cast<std::size_t>(n));
    if (!m1.ToMontgomery(t1.data() + n, base1) || !m2.ToMontgomery(t2.data() + n, base2)) {
        return false;
    }
    for (int i = 2; i < entries; ++i) {
        const Limb* a1 = t1.data() + (i % 2 == 0 ? (i / 2) * n : (i - 1) * n);
        const Limb* b1 = t1.data() + (i % 2 == 0 ? (i / 2) * n : n);
        const Limb* a2 = t2.data() + (i % 2 == 0 ? (i / 2) * n : (i - 1) * n);
        const Limb* b2 = t2.data() + (i % 2 == 0 ? (i / 2) * n : n);
        Montgomery::MulPair(m1, t1.data() + i * n, a1, b1, m2, t2.data() + i * n, a2, b2);
    }
    auto window = [](const BigNum& e, int top) {
        unsigned v = 0;
        for (int k = top; k > top - w; --k)
            v = (v << 1) | (e.Bit(k) ? 1u : 0u);
        return v;
    };
    SelectConstantTime(acc1.data(), t1.data(), entries, n, window(exponent1, bits - 1));
    SelectConstantTime(acc2.data(), t2.data(), entries, n, window(exponent2, bits - 1));
    for (int top = bits - 1 - w; top >= 0; top -= w) {
        for (int k = 0; k < w; ++k) {
            Montgomery::MulPair(m1, acc1.data(), acc1.data(), acc1.data(), m2, acc2.data(),
                                acc2.data(), acc2.data());
        }
        SelectConstantTime(pick1.data(), t1.data(), entries, n, window(exponent1, top));
        SelectConstantTime(pick2.data(), t2.data(), entries, n, window(exponent2, top));
        Montgomery::MulPair(m1, acc1.data(), acc1.data(), pick1.data(), m2, acc2.data(),
                            acc2.data(), pick2.data());
    }
    return m1.FromMontgomery(acc1.data(), result1) && m2.FromMontgomery(acc2.data(), result2);
}

// Even moduli: plain products reduced by division, right to left.
bool PlainExp(const BigNum& base, const BigNum& exponent, const BigNum& m, BigNum* result) {
    BigNum acc(1u), square(base);
    if (!square.Mod(m)) return false;
    const int bits = exponent.BitLength();
    for (int i = 0; i < bits; ++i) {
        if (exponent.Bit(i)) {
            if (!acc.Mul(square) || !acc.Mod(m)) return false;
        }
        if (i + 1 < bits && (!square.Mul(square) || !square.Mod(m))) return false;
    }
    *result = std::move(acc);
    return true;
}

enum class Timing { kVariable, kConstant };

bool Exp(const BigNum& base, const BigNum& exponent, const BigNum& modulus, BigNum* result,
         Timing timing, int exponentBits) {
    if (!base.ok() || !exponent.ok() || !modulus.ok() || modulus.IsZero() ||
        exponent.IsNegative()) {
        *result = BigNum::Invalid();
        return false;
    }
    if (exponent.IsZero()) {
        result->SetUnsigned(1);
        return true;
    }
    BigNum m(modulus);
    if (m.IsNegative()) m.Negate();
    if (m.IsOne()) {
        result->SetZero();
        return true;
    }
    BigNum r;
    bool ok;
    if (m.IsOdd()) {
        Montgomery mont;
        const int bits = exponentBits > 0 ? exponentBits : m.BitLength();
        ok = mont.Init(m) &&
             (timing == Timing::kConstant ? FixedWindow(mont, base, exponent, bits, &r)
                                          : SlidingWindow(mont, base, exponent, &r));
    } else {
        ok = PlainExp(base, exponent, m, &r);
    }
    if (!ok || !ApplyModulusSign(&r, modulus)) {
        *result = BigNum::Invalid();
        return false;
    }
    *result = std::move(r);
    return true;
}

}  // namespace

bool ModExp(const BigNum& base, const BigNum& exponent, const BigNum& modulus, BigNum* result) {
    return Exp(base, exponent, modulus, result, Timing::kVariable, 0);
}

bool ModExpSecret(const BigNum& base, const BigNum& exponent, const BigNum& modulus, BigNum* result,
                  int exponentBits) {
    return Exp(base, exponent, modulus, result, Timing::kConstant, exponentBits);
}

bool ModExpSecretPair(const BigNum& base1, const BigNum& exponent1, const BigNum& modulus1,
                      BigNum* result1, const BigNum& base2, const BigNum& exponent2,
                      const BigNum& modulus2, BigNum* result2) {
    const auto usable = [](const BigNum& b, const BigNum& e, const BigNum& m) {
        return b.ok() && e.ok() && m.ok() && !e.IsNegative() && !m.IsNegative() && m.IsOdd() &&
               m.BitLength() >= 2;
    };
    if (usable(base1, exponent1, modulus1) && usable(base2, exponent2, modulus2)) {
        Montgomery m1, m2;
        if (m1.Init(modulus1) && m2.Init(modulus2) && m1.words() == m2.words()) {
            BigNum r1, r2;
            if (FixedWindowPair(m1, base1, exponent1, m2, base2, exponent2, &r1, &r2)) {
                *result1 = std::move(r1);
                *result2 = std::move(r2);
                return true;
            }
        }
    }
    return ModExpSecret(base1, exponent1, modulus1, result1) &&
           ModExpSecret(base2, exponent2, modulus2, result2);
}

bool ModExpProduct(const BigNum& base1, const BigNum& exponent1, const BigNum& base2,
                   const BigNum& exponent2, const BigNum& modulus, BigNum* result) {
    const bool valid = base1.ok() && exponent1.ok() && base2.ok() && exponent2.ok() &&
                       modulus.ok() && !modulus.IsZero() && !exponent1.IsNegative() &&
                       !exponent2.IsNegative();
    if (!valid) {
        *result = BigNum::Invalid();
        return false;
    }
    BigNum m(modulus);
    if (m.IsNegative()) m.Negate();
    Montgomery mont;
    if (!m.IsOdd() || m.IsOne() || !mont.Init(m)) {
        // The rare shapes go the long way round.
        BigNum a, b;
        if (!ModExp(base1, exponent1, modulus, &a) || !ModExp(base2, exponent2, modulus, &b) ||
            !a.Mul(b) || !a.Mod(modulus)) {
            *result = BigNum::Invalid();
            return false;
        }
        *result = std::move(a);
        return true;
    }
    // Both exponents' bits walked together: one squaring per bit and at most one product with
    // base1, base2 or their product (the two exponentiations share their squarings).
    const int n = mont.words();
    LimbVector table(static_cast<std::size_t>(4 * n)), acc(static_cast<std::size_t>(n));
    if (!mont.ToMontgomery(table.data() + n, base1) ||
        !mont.ToMontgomery(table.data() + 2 * n, base2)) {
        *result = BigNum::Invalid();
        return false;
    }
    mont.Mul(table.data() + 3 * n, table.data() + n, table.data() + 2 * n);
    std::memcpy(acc.data(), mont.One(), sizeof(Limb) * static_cast<std::size_t>(n));
    const int bits = std::max(exponent1.BitLength(), exponent2.BitLength());
    for (int i = bits - 1; i >= 0; --i) {
        mont.Square(acc.data(), acc.data());
        const int index = (exponent1.Bit(i) ? 1 : 0) | (exponent2.Bit(i) ? 2 : 0);
        if (index != 0) mont.Mul(acc.data(), acc.data(), table.data() + index * n);
    }
    BigNum r;
    if (!mont.FromMontgomery(acc.data(), &r) || !ApplyModulusSign(&r, modulus)) {
        *result = BigNum::Invalid();
        return false;
    }
    *result = std::move(r);
    return true;
}

bool ModInverse(const BigNum& a, const BigNum& n, BigNum* result) {
    if (!a.ok() || !n.ok() || n.IsZero() || n.IsNegative()) {
        *result = BigNum::Invalid();
        return false;
    }
    if (n.IsOne()) {
        result->SetZero();
        return true;
    }
    // The extended Euclidean algorithm keeping only the coefficient of a:
    // r0 = t0 a (mod n), r1 = t1 a (mod n) hold throughout.
    BigNum r0(n), r1(a), t0, t1(1u), q, tmp;
    if (!r1.Mod(n)) return false;
    while (!r1.IsZero()) {
        q = r0;
        if (!q.Div(r1)) break;
        tmp = q;
        if (!tmp.Mul(r1) || !r0.Sub(tmp)) break;
        std::swap(r0, r1);
        tmp = q;
        if (!tmp.Mul(t1) || !t0.Sub(tmp)) break;
        std::swap(t0, t1);
    }
    if (!r1.IsZero() || !r0.ok() || !t0.ok() || !r0.IsOne()) {
        *result = BigNum::Invalid();
        return false;
    }
    if (!t0.Mod(n)) return false;
    *result = std::move(t0);
    return true;
}

}  // namespace tarnwick
