#include "crypto/limbs.h"

#include <cstring>

namespace tarnwick::limbs {

Limb Add(Limb* r, const Limb* a, const Limb* b, int n) {
    Limb carry = 0;
    for (int i = 0; i < n; ++i) {
        const Wide s = static_cast<Wide>(a[i]) + b[i] + carry;
        r[i] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
    }
    return carry;
}

Limb AddOne(Limb* r, const Limb* a, int n, Limb b) {
    Limb carry = b;
    for (int i = 0; i < n; ++i) {
        const Limb s = a[i] + carry;
        carry = s < carry ? 1 : 0;
        r[i] = s;
    }
    return carry;
}

Limb Sub(Limb* r, const Limb* a, const Limb* b, int n) {
    Limb borrow = 0;
    for (int i = 0; i < n; ++i) {
        const Wide d = static_cast<Wide>(a[i]) - b[i] - borrow;
        r[i] = static_cast<Limb>(d);
        borrow = static_cast<Limb>(d >> 64) & 1;
    }
    return borrow;
}

Limb SubOne(Limb* r, const Limb* a, int n, Limb b) {
    Limb borrow = b;
    for (int i = 0; i < n; ++i) {
        const Limb x = a[i];
        r[i] = x - borrow;
        borrow = x < borrow ? 1 : 0;
    }
    return borrow;
}

Limb MulAdd(Limb* r, const Limb* a, int n, Limb b) {
    Limb carry = 0;
    for (int i = 0; i < n; ++i) {
        const Wide t = static_cast<Wide>(a[i]) * b + r[i] + carry;
        r[i] = static_cast<Limb>(t);
        carry = static_cast<Limb>(t >> 64);
    }
    return carry;
}

#if defined(__x86_64__)
// Four limbs per loop turn. MULX leaves the flags alone, so the low halves ride one carry chain
// (ADCX, the carry flag) and the high halves of the previous limb another (ADOX, the overflow
// flag); LEA and JRCXZ keep both chains intact across the loop.
__attribute__((target("bmi2,adx"))) Limb MulAddAdx(Limb* r, const Limb* a, int n, Limb b) {
    const int head = n % 4;
    Limb carry = head > 0 ? MulAdd(r, a, head, b) : 0;
    std::uint64_t blocks = static_cast<std::uint64_t>(n / 4);
    if (blocks == 0) return carry;
    Limb* rp = r + head;
    const Limb* ap = a + head;
    Limb lo, hi;
    __asm__ volatile(
        "xor %%eax, %%eax\n\t"  // clears CF and OF
        "1:\n\t"
        "mulx 0(%[a]), %[lo], %[hi]\n\t"
        "adcx 0(%[r]), %[lo]\n\t"
        "adox %[c], %[lo]\n\t"
        "mov %[lo], 0(%[r])\n\t"
        "mulx 8(%[a]), %[lo], %[c]\n\t"
        "adcx 8(%[r]), %[lo]\n\t"
        "adox %[hi], %[lo]\n\t"
        "mov %[lo], 8(%[r])\n\t"
        "mulx 16(%[a]), %[lo], %[hi]\n\t"
        "adcx 16(%[r]), %[lo]\n\t"
        "adox %[c], %[lo]\n\t"
        "mov %[lo], 16(%[r])\n\t"
        "mulx 24(%[a]), %[lo], %[c]\n\t"
        "adcx 24(%[r]), %[lo]\n\t"
        "adox %[hi], %[lo]\n\t"
        "mov %[lo], 24(%[r])\n\t"
        "lea 32(%[a]), %[a]\n\t"
        "lea 32(%[r]), %[r]\n\t"
        "lea -1(%%rcx), %%rcx\n\t"
        "jrcxz 2f\n\t"
        "jmp 1b\n\t"
        "2:\n\t"
        "mov $0, %%eax\n\t"  // MOV keeps the flags: fold both pending carries into c
        "adcx %%rax, %[c]\n\t"
        "adox %%rax, %[c]\n\t"
        : [r] "+r"(rp), [a] "+r"(ap), [c] "+r"(carry), [lo] "=&r"(lo), [hi] "=&r"(hi), "+c"(blocks)
        : "d"(b)
        : "rax", "cc", "memory");
    return carry;
}
#else
Limb MulAddAdx(Limb* r, const Limb* a, int n, Limb b) {
    return MulAdd(r, a, n, b);
}
#endif

Limb MulOne(Limb* r, const Limb* a, int n, Limb b) {
    Limb carry = 0;
    for (int i = 0; i < n; ++i) {
        const Wide t = static_cast<Wide>(a[i]) * b + carry;
        r[i] = static_cast<Limb>(t);
        carry = static_cast<Limb>(t >> 64);
    }
    return carry;
}

void Mul(Limb* r, const Limb* a, int an, const Limb* b, int bn) {
    if (an == 0 || bn == 0) {
        std::memset(r, 0, sizeof(Limb) * static_cast<std::size_t>(an + bn));
        return;
    }
    r[an] = MulOne(r, a, an, b[0]);
    for (int j = 1; j < bn; ++j)
        r[an + j] = MulAdd(r + j, a, an, b[j]);
}

void Square(Limb* r, const Limb* a, int n) {
    if (n == 0) return;
    // The cross products a[i]*a[j] for i < j once, doubled, plus the squares on the diagonal.
    std::memset(r, 0, sizeof(Limb) * static_cast<std::size_t>(2 * n));
    for (int i = 0; i + 1 < n; ++i)
        r[n + i] = MulAdd(r + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
    Limb carry = 0;
    for (int i = 0; i < 2 * n; ++i) {
        const Limb next = r[i] >> 63;
        r[i] = (r[i] << 1) | carry;
        carry = next;
    }
    carry = 0;
    for (int i = 0; i < n; ++i) {
        const Wide sq = static_cast<Wide>(a[i]) * a[i];
        Wide s = static_cast<Wide>(r[2 * i]) + static_cast<Limb>(sq) + carry;
        r[2 * i] = static_cast<Limb>(s);
        s = static_cast<Wide>(r[2 * i + 1]) + static_cast<Limb>(sq >> 64) +
            static_cast<Limb>(s >> 64);
        r[2 * i + 1] = static_cast<Limb>(s);
        carry = static_cast<Limb>(s >> 64);
    }
}

int Compare(const Limb* a, const Limb* b, int n) {
    for (int i = n - 1; i >= 0; --i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

int Normalized(const Limb* a, int n) {
    while (n > 0 && a[n - 1] == 0)
        --n;
    return n;
}

Limb DivOne(Limb* a, int n, Limb d) {
    Limb rem = 0;
    for (int i = n - 1; i >= 0; --i) {
        const Wide cur = (static_cast<Wide>(rem) << 64) | a[i];
        a[i] = static_cast<Limb>(cur / d);
        rem = static_cast<Limb>(cur % d);
    }
    return rem;
}

// Knuth's algorithm D (TAOCP 4.3.1) with 64-bit digits: normalise so the divisor's top bit is
// set, estimate each quotient digit from the top two remainder digits, correct it at most twice,
// multiply and subtract, and add back in the rare case the estimate was still one too large.
void DivRem(Limb* q, Limb* r, const Limb* a, int an, const Limb* d, int dn, Limb* work) {
    Limb* u = work;           // an + 1 limbs: the normalised dividend
    Limb* v = work + an + 1;  // dn limbs: the normalised divisor
    const int shift = __builtin_clzll(d[dn - 1]);
    if (shift == 0) {
        std::memcpy(v, d, sizeof(Limb) * static_cast<std::size_t>(dn));
        std::memcpy(u, a, sizeof(Limb) * static_cast<std::size_t>(an));
        u[an] = 0;
    } else {
        for (int i = dn - 1; i > 0; --i)
            v[i] = (d[i] << shift) | (d[i - 1] >> (64 - shift));
        v[0] = d[0] << shift;
        u[an] = a[an - 1] >> (64 - shift);
        for (int i = an - 1; i > 0; --i)
            u[i] = (a[i] << shift) | (a[i - 1] >> (64 - shift));
        u[0] = a[0] << shift;
    }
    if (dn == 1) {
        // One-digit divisor: plain long division.
        Limb rem = u[an];
        for (int i = an - 1; i >= 0; --i) {
            const Wide cur = (static_cast<Wide>(rem) << 64) | u[i];
            if (q != nullptr) q[i] = static_cast<Limb>(cur / v[0]);
            rem = static_cast<Limb>(cur % v[0]);
        }
        if (r != nullptr) r[0] = rem >> shift;
        return;
    }
    const Limb vTop = v[dn - 1], vNext = v[dn - 2];
    for (int j = an - dn; j >= 0; --j) {
        const Wide top = (static_cast<Wide>(u[j + dn]) << 64) | u[j + dn - 1];
        Wide qhat, rhat;
        if (u[j + dn] >= vTop) {
            // The estimate would not fit in a digit; start from the largest digit.
            qhat = ~static_cast<Limb>(0);
            rhat = top - qhat * vTop;
        } else {
            qhat = top / vTop;
            rhat = top % vTop;
        }
        while ((rhat >> 64) == 0 && qhat * vNext > ((rhat << 64) | u[j + dn - 2])) {
            --qhat;
            rhat += vTop;
        }
        // u[j .. j+dn] -= qhat * v
        Limb borrow = 0, carry = 0;
        for (int i = 0; i < dn; ++i) {
            const Wide p = static_cast<Wide>(static_cast<Limb>(qhat)) * v[i] + carry;
            carry = static_cast<Limb>(p >> 64);
            const Limb low = static_cast<Limb>(p);
            const Limb x = u[i + j];
            const Limb t = x - low - borrow;
            borrow = (x < low || (x == low && borrow)) ? 1 : 0;
            u[i + j] = t;
        }
        const Limb x = u[j + dn];
        u[j + dn] = x - carry - borrow;
        const bool negative = x < carry || (x == carry && borrow);
        Limb digit = static_cast<Limb>(qhat);
        if (negative) {
            --digit;
            const Limb c = Add(u + j, u + j, v, dn);
            u[j + dn] += c;
        }
        if (q != nullptr) q[j] = digit;
    }
    if (r != nullptr) {
        if (shift == 0) {
            std::memcpy(r, u, sizeof(Limb) * static_cast<std::size_t>(dn));
        } else {
            for (int i = 0; i < dn - 1; ++i)
                r[i] = (u[i] >> shift) | (u[i + 1] << (64 - shift));
            r[dn - 1] = u[dn - 1] >> shift;
        }
    }
}

}  // namespace tarnwick::limbs
