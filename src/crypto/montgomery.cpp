#include "crypto/montgomery.h"

// GCC 12's AVX-512 headers build some intrinsics from a deliberately undefined vector, which
// -Wmaybe-uninitialized reports inside the headers.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#include "crypto/cpu_features.h"

namespace tarnwick {

using limbs::Limb;
using limbs::Wide;

namespace {

constexpr Limb kDigitMask = (static_cast<Limb>(1) << 52) - 1;
// The digit form keeps up to k times 2^54 in a lane before normalising; 80 digits (4160 bits)
// stay far below 2^64.
constexpr int kMaxDigits = 80;

#if defined(__x86_64__)
#define IFMA __attribute__((target("avx512f,avx512ifma")))

// Almost-Montgomery multiplication on 52-bit digits, eight digits per vector: for each digit of
// a, add a_i b and q m (q chosen to clear the lowest digit), then move everything down one digit.
// The low halves of the 104-bit products land in the current position, the high halves one
// digit up, that is after the move. Lanes are normalised to 52 bits once at the end. With inputs
// below 2m and 4m < R the result is again below 2m.
template <int L>
IFMA void AmmFixed(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb k0, int k) {
    __m512i acc[L], bv[L], mv[L];
    for (int j = 0; j < L; ++j) {
        acc[j] = _mm512_setzero_si512();
        bv[j] = _mm512_loadu_si512(b + 8 * j);
        mv[j] = _mm512_loadu_si512(m + 8 * j);
    }
    const Limb m0 = m[0];
    for (int i = 0; i < k; ++i) {
        const __m512i ai = _mm512_set1_epi64(static_cast<long long>(a[i]));
        for (int j = 0; j < L; ++j)
            acc[j] = _mm512_madd52lo_epu64(acc[j], ai, bv[j]);
        const Limb t0 = static_cast<Limb>(_mm_cvtsi128_si64(_mm512_castsi512_si128(acc[0])));
        const Limb q = (t0 * k0) & kDigitMask;
        const __m512i qv = _mm512_set1_epi64(static_cast<long long>(q));
        for (int j = 0; j < L; ++j)
            acc[j] = _mm512_madd52lo_epu64(acc[j], qv, mv[j]);
        // The lowest lane is now a multiple of 2^52; what is above travels to the next digit.
        const Limb carry = (t0 + ((q * m0) & kDigitMask)) >> 52;
        for (int j = 0; j + 1 < L; ++j)
            acc[j] = _mm512_alignr_epi64(acc[j + 1], acc[j], 1);
        acc[L - 1] = _mm512_alignr_epi64(_mm512_setzero_si512(), acc[L - 1], 1);
        acc[0] =
            _mm512_add_epi64(acc[0], _mm512_maskz_set1_epi64(1, static_cast<long long>(carry)));
        for (int j = 0; j < L; ++j) {
            acc[j] = _mm512_madd52hi_epu64(acc[j], ai, bv[j]);
            acc[j] = _mm512_madd52hi_epu64(acc[j], qv, mv[j]);
        }
    }
    alignas(64) Limb out[8 * L];
    for (int j = 0; j < L; ++j)
        _mm512_store_si512(out + 8 * j, acc[j]);
    Limb carry = 0;
    for (int j = 0; j < 8 * L; ++j) {
        const Limb v = out[j] + carry;
        r[j] = v & kDigitMask;
        carry = v >> 52;
    }
}

// Two independent products in one loop: each iteration of one waits on a chain of multiply,
// extract and broadcast latencies, which the other fills.
template <int L>
IFMA void AmmPairFixed(Limb* r1, const Limb* a1, const Limb* b1, const Limb* m1, Limb k01, Limb* r2,
                       const Limb* a2, const Limb* b2, const Limb* m2, Limb k02, int k) {
    __m512i acc1[L], bv1[L], mv1[L], acc2[L], bv2[L], mv2[L];
    for (int j = 0; j < L; ++j) {
        acc1[j] = _mm512_setzero_si512();
        bv1[j] = _mm512_loadu_si512(b1 + 8 * j);
        mv1[j] = _mm512_loadu_si512(m1 + 8 * j);
        acc2[j] = _mm512_setzero_si512();
        bv2[j] = _mm512_loadu_si512(b2 + 8 * j);
        mv2[j] = _mm512_loadu_si512(m2 + 8 * j);
    }
    const Limb m10 = m1[0], m20 = m2[0];
    for (int i = 0; i < k; ++i) {
        const __m512i ai1 = _mm512_set1_epi64(static_cast<long long>(a1[i]));
        const __m512i ai2 = _mm512_set1_epi64(static_cast<long long>(a2[i]));
        for (int j = 0; j < L; ++j) {
            acc1[j] = _mm512_madd52lo_epu64(acc1[j], ai1, bv1[j]);
            acc2[j] = _mm512_madd52lo_epu64(acc2[j], ai2, bv2[j]);
        }
        const Limb t1 = static_cast<Limb>(_mm_cvtsi128_si64(_mm512_castsi512_si128(acc1[0])));
        const Limb t2 = static_cast<Limb>(_mm_cvtsi128_si64(_mm512_castsi512_si128(acc2[0])));
        const Limb q1 = (t1 * k01) & kDigitMask;
        const Limb q2 = (t2 * k02) & kDigitMask;
        const __m512i qv1 = _mm512_set1_epi64(static_cast<long long>(q1));
        const __m512i qv2 = _mm512_set1_epi64(static_cast<long long>(q2));
        for (int j = 0; j < L; ++j) {
            acc1[j] = _mm512_madd52lo_epu64(acc1[j], qv1, mv1[j]);
            acc2[j] = _mm512_madd52lo_epu64(acc2[j], qv2, mv2[j]);
        }
        const Limb c1 = (t1 + ((q1 * m10) & kDigitMask)) >> 52;
        const Limb c2 = (t2 + ((q2 * m20) & kDigitMask)) >> 52;
        for (int j = 0; j + 1 < L; ++j) {
            acc1[j] = _mm512_alignr_epi64(acc1[j + 1], acc1[j], 1);
            acc2[j] = _mm512_alignr_epi64(acc2[j + 1], acc2[j], 1);
        }
        acc1[L - 1] = _mm512_alignr_epi64(_mm512_setzero_si512(), acc1[L - 1], 1);
        acc2[L - 1] = _mm512_alignr_epi64(_mm512_setzero_si512(), acc2[L - 1], 1);
        acc1[0] = _mm512_add_epi64(acc1[0], _mm512_maskz_set1_epi64(1, static_cast<long long>(c1)));
        acc2[0] = _mm512_add_epi64(acc2[0], _mm512_maskz_set1_epi64(1, static_cast<long long>(c2)));
        for (int j = 0; j < L; ++j) {
            acc1[j] = _mm512_madd52hi_epu64(acc1[j], ai1, bv1[j]);
            acc2[j] = _mm512_madd52hi_epu64(acc2[j], ai2, bv2[j]);
            acc1[j] = _mm512_madd52hi_epu64(acc1[j], qv1, mv1[j]);
            acc2[j] = _mm512_madd52hi_epu64(acc2[j], qv2, mv2[j]);
        }
    }
    alignas(64) Limb out1[8 * L], out2[8 * L];
    for (int j = 0; j < L; ++j) {
        _mm512_store_si512(out1 + 8 * j, acc1[j]);
        _mm512_store_si512(out2 + 8 * j, acc2[j]);
    }
    Limb carry1 = 0, carry2 = 0;
    for (int j = 0; j < 8 * L; ++j) {
        const Limb v1 = out1[j] + carry1, v2 = out2[j] + carry2;
        r1[j] = v1 & kDigitMask;
        carry1 = v1 >> 52;
        r2[j] = v2 & kDigitMask;
        carry2 = v2 >> 52;
    }
}

using AmmPairFunction = void (*)(Limb*, const Limb*, const Limb*, const Limb*, Limb, Limb*,
                                 const Limb*, const Limb*, const Limb*, Limb, int);

AmmPairFunction AmmPairFor(int vectors) {
    switch (vectors) {
        case 1:
            return AmmPairFixed<1>;
        case 2:
            return AmmPairFixed<2>;
        case 3:
            return AmmPairFixed<3>;
        case 4:
            return AmmPairFixed<4>;
        case 5:
            return AmmPairFixed<5>;
        default:
            return nullptr;
    }
}

using AmmFunction = void (*)(Limb*, const Limb*, const Limb*, const Limb*, Limb, int);

AmmFunction AmmFor(int vectors) {
    switch (vectors) {
        case 1:
            return AmmFixed<1>;
        case 2:
            return AmmFixed<2>;
        case 3:
            return AmmFixed<3>;
        case 4:
            return AmmFixed<4>;
        case 5:
            return AmmFixed<5>;
        case 6:
            return AmmFixed<6>;
        case 7:
            return AmmFixed<7>;
        case 8:
            return AmmFixed<8>;
        case 9:
            return AmmFixed<9>;
        case 10:
            return AmmFixed<10>;
        default:
            return nullptr;
    }
}
#else
using AmmFunction = void (*)(Limb*, const Limb*, const Limb*, const Limb*, Limb, int);
AmmFunction AmmFor(int) {
    return nullptr;
}
using AmmPairFunction = void (*)(Limb*, const Limb*, const Limb*, const Limb*, Limb, Limb*,
                                 const Limb*, const Limb*, const Limb*, Limb, int);
AmmPairFunction AmmPairFor(int) {
    return nullptr;
}
#endif

}  // namespace

bool Montgomery::Init(const BigNum& modulus) {
    if (!modulus.ok() || modulus.IsNegative() || !modulus.IsOdd() || modulus.BitLength() < 2) {
        return false;
    }
    modulus_ = modulus;
    n_ = modulus.limbCount();
    const Limb* mod = modulus.limbData();
    // Newton's iteration doubles the correct low bits of the inverse each step; any odd x is its
    // own inverse modulo 8.
    Limb x = mod[0];
    for (int i = 0; i < 5; ++i)
        x *= 2 - mod[0] * x;
    m0inv_ = ~x + 1;

    // The digit form needs 4m < R = 2^(52 k): two spare bits above the modulus.
    k_ = (modulus.BitLength() + 2 + 51) / 52;
    digits_ = Cpu().ifma && k_ <= kMaxDigits && AmmFor((k_ + 7) / 8) != nullptr;
    int shift;
    if (digits_) {
        words_ = 8 * ((k_ + 7) / 8);
        m0inv_ &= kDigitMask;
        shift = 52 * k_;
    } else {
        words_ = n_;
        row_ = Cpu().bmi2 && Cpu().adx ? limbs::MulAddAdx : limbs::MulAdd;
        shift = 64 * n_;
    }
    t_.assign(static_cast<std::size_t>(2 * words_ + 1), 0);
    m_.assign(static_cast<std::size_t>(words_), 0);
    if (digits_)
        ToDigits(m_.data(), modulus);
    else
        std::memcpy(m_.data(), mod, sizeof(Limb) * static_cast<std::size_t>(n_));

    BigNum r(1u), rr(1u);
    if (!r.ShiftLeft(shift) || !r.Mod(modulus) || !rr.ShiftLeft(2 * shift) || !rr.Mod(modulus)) {
        return false;
    }
    one_.assign(static_cast<std::size_t>(words_), 0);
    rr_.assign(static_cast<std::size_t>(words_), 0);
    if (digits_) {
        ToDigits(one_.data(), r);
        ToDigits(rr_.data(), rr);
    } else {
        std::memcpy(one_.data(), r.limbData(),
                    sizeof(Limb) * static_cast<std::size_t>(r.limbCount()));
        std::memcpy(rr_.data(), rr.limbData(),
                    sizeof(Limb) * static_cast<std::size_t>(rr.limbCount()));
    }
    return true;
}

// The value's 52-bit digits, zero-padded to words_ lanes (x is below 2^(52 k)).
void Montgomery::ToDigits(Limb* out, const BigNum& x) const {
    std::memset(out, 0, sizeof(Limb) * static_cast<std::size_t>(words_));
    const Limb* d = x.limbData();
    const int n = x.limbCount();
    for (int j = 0; j < k_; ++j) {
        const int bit = 52 * j;
        const int limb = bit / 64, offset = bit % 64;
        if (limb >= n) break;
        Limb v = d[limb] >> offset;
        if (offset > 12 && limb + 1 < n) v |= d[limb + 1] << (64 - offset);
        out[j] = v & kDigitMask;
    }
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

void Montgomery::MulDigits(Limb* r, const Limb* a, const Limb* b) {
    AmmFor(words_ / 8)(r, a, b, m_.data(), m0inv_, k_);
}

void Montgomery::Mul(Limb* r, const Limb* a, const Limb* b) {
    if (digits_) {
        MulDigits(r, a, b);
        return;
    }
    Limb* t = t_.data();
    const int n = n_;
    std::memset(t, 0, sizeof(Limb) * static_cast<std::size_t>(2 * n));
    for (int j = 0; j < n; ++j)
        t[n + j] = row_(t + j, a, n, b[j]);
    Reduce(r, t);
}

void Montgomery::Square(Limb* r, const Limb* a) {
    if (digits_) {
        MulDigits(r, a, a);
        return;
    }
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

void Montgomery::MulPair(Montgomery& x, Limb* r1, const Limb* a1, const Limb* b1, Montgomery& y,
                         Limb* r2, const Limb* a2, const Limb* b2) {
    if (x.digits_ && y.digits_ && x.k_ == y.k_ && x.words_ == y.words_) {
        const AmmPairFunction pair = AmmPairFor(x.words_ / 8);
        if (pair != nullptr) {
            pair(r1, a1, b1, x.m_.data(), x.m0inv_, r2, a2, b2, y.m_.data(), y.m0inv_, x.k_);
            return;
        }
    }
    x.Mul(r1, a1, b1);
    y.Mul(r2, a2, b2);
}

bool Montgomery::ToMontgomery(Limb* r, const BigNum& x) {
    BigNum reduced(x);
    if (reduced.IsNegative() || reduced.CompareMagnitude(modulus_) >= 0) {
        if (!reduced.Mod(modulus_)) return false;
    }
    LimbVector a(static_cast<std::size_t>(words_), 0);
    if (digits_) {
        ToDigits(a.data(), reduced);
    } else {
        std::memcpy(a.data(), reduced.limbData(),
                    sizeof(Limb) * static_cast<std::size_t>(reduced.limbCount()));
    }
    Mul(r, a.data(), rr_.data());
    return true;
}

bool Montgomery::FromMontgomery(const Limb* a, BigNum* out) {
    LimbVector r(static_cast<std::size_t>(words_), 0);
    if (!digits_) {
        Limb* t = t_.data();
        std::memcpy(t, a, sizeof(Limb) * static_cast<std::size_t>(n_));
        std::memset(t + n_, 0, sizeof(Limb) * static_cast<std::size_t>(n_ + 1));
        Reduce(r.data(), t);
        return BigNumAccess::SetLimbs64(out, r.data(), n_);
    }
    // Multiplying by 1 leaves the value in [0, m]; digits back to limbs, then one subtraction.
    LimbVector unit(static_cast<std::size_t>(words_), 0);
    unit[0] = 1;
    MulDigits(r.data(), a, unit.data());
    LimbVector packed(static_cast<std::size_t>((52 * k_ + 63) / 64 + 1), 0);
    for (int j = 0; j < k_; ++j) {
        const int bit = 52 * j;
        const int limb = bit / 64, offset = bit % 64;
        packed[static_cast<std::size_t>(limb)] |= r[static_cast<std::size_t>(j)] << offset;
        if (offset > 12) {
            packed[static_cast<std::size_t>(limb + 1)] |=
                r[static_cast<std::size_t>(j)] >> (64 - offset);
        }
    }
    if (!BigNumAccess::SetLimbs64(out, packed.data(), static_cast<int>(packed.size())))
        return false;
    if (out->CompareMagnitude(modulus_) >= 0 && !out->Sub(modulus_)) return false;
    return true;
}

}  // namespace tarnwick
