// Streamlined NTRU Prime over R = Z[x]/(x^p - x - 1) with p = 761, q = 4591, w = 286.
//
//   Small: coefficients in {-1, 0, 1}; Short: Small with exactly w non-zero coefficients.
//   Key generation: g Small and invertible in R/3, f Short; h = g / (3f) in R/q.
//   Encryption of a Short r: c = Round(h r), every coefficient of h r rounded to the nearest
//   multiple of 3.
//   Decryption: e = 3 f c in R/q lifted to coefficients in [-(q-1)/2, (q-1)/2]; then e / g in
//   R/3 (g's inverse is kept in the secret key) is r when it has weight w.
//   The KEM hashes with SHA-512 cut to 32 bytes behind a one-byte domain prefix, confirms the
//   encrypted input inside the ciphertext and re-encrypts on decapsulation, answering a mismatch
//   with the hash of a secret random value instead of the input.
#include "crypto/sntrup761.h"

#include <cstring>
#include <vector>

#include "crypto/random_generator.h"
#include "crypto/sha2.h"

namespace tarnwick {
namespace {

constexpr int p = 761;
constexpr int q = 4591;
constexpr int w = 286;
constexpr int q12 = (q - 1) / 2;  // 2295, a multiple of 3

constexpr std::size_t kSmallBytes = (p + 3) / 4;  // 191
constexpr std::size_t kRqBytes = kSntrup761PublicKeySize;
constexpr std::size_t kRoundedBytes = 1007;
constexpr std::size_t kHashBytes = 32;

using Small = std::int8_t;
using Fq = std::int16_t;

// ---------------------------------------------------------------- constant-time helpers

// All ones when x is non-zero, else zero.
inline std::uint32_t NonZeroMask(std::uint32_t x) {
    return 0u - ((x | (0u - x)) >> 31);
}

// All ones when x is negative (|x| < 2^31), else zero.
inline std::uint32_t NegativeMask(std::int32_t x) {
    return 0u - (static_cast<std::uint32_t>(x) >> 31);
}

// x mod q in [-(q-1)/2, (q-1)/2] for |x| < 2^30. The division is by a constant, which compilers
// turn into a multiplication: no data-dependent timing.
inline Fq FqFreeze(std::int32_t x) {
    const std::uint32_t shifted = static_cast<std::uint32_t>(x + q12 + q * 233000);
    return static_cast<Fq>(static_cast<std::int32_t>(shifted % q) - q12);
}

// x mod 3 in {-1, 0, 1} for |x| < 2^30.
inline Small F3Freeze(std::int32_t x) {
    const std::uint32_t shifted = static_cast<std::uint32_t>(x + 1 + 3 * 300000000);
    return static_cast<Small>(static_cast<std::int32_t>(shifted % 3) - 1);
}

// a^(q-2) = a^-1 in Z/q by square and multiply over the public exponent.
Fq FqInverse(Fq a) {
    std::int32_t result = 1, base = a;
    for (int e = q - 2; e > 0; e >>= 1) {
        if (e & 1) result = FqFreeze(result * base);
        base = FqFreeze(base * base);
    }
    return static_cast<Fq>(result);
}

// Ascending sort of 32-bit words by a fixed network (Batcher's merge exchange, which works for
// any length): the comparisons made never depend on the values.
void SortConstantTime(std::uint32_t* x, int n) {
    if (n < 2) return;
    int t = 1;
    while ((1 << t) < n)
        ++t;
    for (int pp = 1 << (t - 1); pp > 0; pp >>= 1) {
        int qq = 1 << (t - 1), r = 0, d = pp;
        for (;;) {
            for (int i = 0; i < n - d; ++i) {
                if ((i & pp) != r) continue;
                const std::uint64_t diff =
                    static_cast<std::uint64_t>(x[i + d]) - static_cast<std::uint64_t>(x[i]);
                const std::uint32_t swap = 0u - static_cast<std::uint32_t>(diff >> 63);
                const std::uint32_t mix = (x[i] ^ x[i + d]) & swap;
                x[i] ^= mix;
                x[i + d] ^= mix;
            }
            if (qq == pp) break;
            d = qq - pp;
            qq >>= 1;
            r = pp;
        }
    }
}

// ---------------------------------------------------------------- polynomials

// The product in R/q (Freeze = FqFreeze) or R/3 (F3Freeze) of a and a Small b, by schoolbook
// multiplication and the reduction x^p = x + 1. Intermediate sums stay below 2^23.
template <typename Out, typename In, Out (*Freeze)(std::int32_t)>
void MultiplySmall(Out* out, const In* a, const Small* b) {
    std::int32_t product[2 * p - 1] = {};
    for (int i = 0; i < p; ++i) {
        for (int j = 0; j < p; ++j)
            product[i + j] += a[i] * b[j];
    }
    // Fold every power from the top down.
    for (int i = 2 * p - 2; i >= p; --i) {
        product[i - p] += product[i];
        product[i - p + 1] += product[i];
    }
    for (int i = 0; i < p; ++i)
        out[i] = Freeze(product[i]);
    SecureWipe(product, sizeof(product));
}

void RqMultiplySmall(Fq* out, const Fq* a, const Small* b) {
    MultiplySmall<Fq, Fq, FqFreeze>(out, a, b);
}

void R3Multiply(Small* out, const Small* a, const Small* b) {
    MultiplySmall<Small, Small, F3Freeze>(out, a, b);
}

// The reciprocal of s in K[x]/(x^p - x - 1), K = Z/m, by 2p - 1 division steps on the reversed
// polynomials (Bernstein and Yang, "Fast constant-time gcd computation and modular inversion",
// the polynomial case). With F = x^p P(1/x) and G = x^(p-1) s(1/x) the steps keep
// x^n f_n = u F + v G and x^n g_n = q F + r G; when the gcd is 1, f ends as a constant c and
// x^p v(1/x) / c is the inverse of s. Every step does the same work whatever the values.
// Returns all ones when s was invertible (delta ends at 0), else zero.
template <typename Field>
std::uint32_t Reciprocal(typename Field::Element* out, const typename Field::Element* s) {
    using E = typename Field::Element;
    E f[p + 1] = {}, g[p + 1] = {}, v[p + 1] = {}, r[p + 1] = {};
    f[0] = 1;
    f[p - 1] = Field::Freeze(-1);
    f[p] = Field::Freeze(-1);
    for (int i = 0; i < p; ++i)
        g[p - 1 - i] = s[i];
    r[0] = 1;
    std::int32_t delta = 1;

    for (int step = 0; step < 2 * p - 1; ++step) {
        const std::uint32_t swap =
            NegativeMask(-delta) & NonZeroMask(static_cast<std::uint32_t>(g[0] & 0xffff));
        delta ^= static_cast<std::int32_t>(swap & static_cast<std::uint32_t>(delta ^ -delta));
        for (int i = 0; i <= p; ++i) {
            const E fx = static_cast<E>((f[i] ^ g[i]) & static_cast<E>(swap));
            f[i] = static_cast<E>(f[i] ^ fx);
            g[i] = static_cast<E>(g[i] ^ fx);
            const E vx = static_cast<E>((v[i] ^ r[i]) & static_cast<E>(swap));
            v[i] = static_cast<E>(v[i] ^ vx);
            r[i] = static_cast<E>(r[i] ^ vx);
        }
        ++delta;
        const std::int32_t f0 = f[0], g0 = g[0];
        for (int i = 0; i <= p; ++i)
            r[i] = Field::Freeze(f0 * r[i] - g0 * v[i]);
        for (int i = p; i > 0; --i)
            v[i] = v[i - 1];
        v[0] = 0;
        for (int i = 0; i < p; ++i)
            g[i] = Field::Freeze(f0 * g[i + 1] - g0 * f[i + 1]);
        g[p] = 0;
    }

    const std::int32_t scale = Field::Inverse(f[0]);
    for (int i = 0; i < p; ++i)
        out[i] = Field::Freeze(scale * v[p - i]);
    return ~NonZeroMask(static_cast<std::uint32_t>(delta));
}

struct FieldQ {
    using Element = Fq;
    static Fq Freeze(std::int32_t x) { return FqFreeze(x); }
    static std::int32_t Inverse(std::int32_t x) { return FqInverse(static_cast<Fq>(x)); }
};

struct Field3 {
    using Element = Small;
    static Small Freeze(std::int32_t x) { return F3Freeze(x); }
    // 1 and -1 are their own inverses.
    static std::int32_t Inverse(std::int32_t x) { return x; }
};

// Round every coefficient to the nearest multiple of 3.
void Round(Fq* c) {
    for (int i = 0; i < p; ++i)
        c[i] = static_cast<Fq>(c[i] - F3Freeze(c[i]));
}

// ---------------------------------------------------------------- random elements

// p random 32-bit values, little-endian, from one request of 4p bytes.
void RandomWords(std::uint32_t* out, const Sntrup761Random& random) {
    std::uint8_t bytes[4 * p];
    random(bytes, sizeof(bytes));
    for (int i = 0; i < p; ++i) {
        const std::uint8_t* b = bytes + 4 * i;
        out[i] = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
                 static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    }
    SecureWipe(bytes, sizeof(bytes));
}

// Uniform in {-1, 0, 1} from the top bits of 30-bit values: ((L mod 2^30) * 3) >> 30 - 1.
void SmallRandom(Small* out, const Sntrup761Random& random) {
    std::uint32_t words[p];
    RandomWords(words, random);
    for (int i = 0; i < p; ++i) {
        const std::uint32_t v = words[i] & 0x3fffffff;
        out[i] = static_cast<Small>(static_cast<std::int32_t>((v * 3u) >> 30) - 1);
    }
    SecureWipe(words, sizeof(words));
}

// A Short element from p random words: the first w words get a non-zero mark (low bits 0 or 2),
// the rest a zero mark (low bits 1); sorting puts the marks in random order.
void ShortRandom(Small* out, const Sntrup761Random& random) {
    std::uint32_t list[p];
    RandomWords(list, random);
    for (int i = 0; i < w; ++i)
        list[i] &= ~1u;
    for (int i = w; i < p; ++i)
        list[i] = (list[i] & ~3u) | 1u;
    SortConstantTime(list, p);
    for (int i = 0; i < p; ++i)
        out[i] = static_cast<Small>(static_cast<std::int32_t>(list[i] & 3) - 1);
    SecureWipe(list, sizeof(list));
}

// ---------------------------------------------------------------- encodings

// Four coefficients a byte, each as c + 1 in two bits from the least significant end; the last
// byte holds the 761st coefficient alone.
void SmallEncode(std::uint8_t* out, const Small* f) {
    for (std::size_t i = 0; i < kSmallBytes; ++i) {
        std::uint32_t byte = 0;
        for (int j = 0; j < 4; ++j) {
            const std::size_t k = 4 * i + static_cast<std::size_t>(j);
            if (k < p) byte |= static_cast<std::uint32_t>(f[k] + 1) << (2 * j);
        }
        out[i] = static_cast<std::uint8_t>(byte);
    }
}

void SmallDecode(Small* f, const std::uint8_t* in) {
    for (std::size_t i = 0; i < kSmallBytes; ++i) {
        for (int j = 0; j < 4; ++j) {
            const std::size_t k = 4 * i + static_cast<std::size_t>(j);
            if (k < p) f[k] = static_cast<Small>(((in[i] >> (2 * j)) & 3) - 1);
        }
    }
}

// The mixed-radix encoding of integers 0 <= R[i] < M[i] (each M[i] below 2^14): neighbours are
// merged pairwise into one integer below M[i] M[i+1], whose low bytes are written while the
// bound stays at 2^14 or more, and the merged list is encoded the same way after them. A single
// integer is written in little-endian bytes until its bound reaches 1.
void Encode(std::vector<std::uint8_t>* out, const std::vector<std::uint32_t>& r,
            const std::vector<std::uint32_t>& m) {
    if (m.empty()) return;
    if (m.size() == 1) {
        std::uint32_t value = r[0], bound = m[0];
        while (bound > 1) {
            out->push_back(static_cast<std::uint8_t>(value));
            value >>= 8;
            bound = (bound + 255) >> 8;
        }
        return;
    }
    std::vector<std::uint32_t> r2, m2;
    for (std::size_t i = 0; i + 1 < m.size(); i += 2) {
        std::uint32_t bound = m[i] * m[i + 1];
        std::uint32_t value = r[i] + m[i] * r[i + 1];
        while (bound >= 16384) {
            out->push_back(static_cast<std::uint8_t>(value));
            value >>= 8;
            bound = (bound + 255) >> 8;
        }
        r2.push_back(value);
        m2.push_back(bound);
    }
    if (m.size() & 1) {
        r2.push_back(r.back());
        m2.push_back(m.back());
    }
    Encode(out, r2, m2);
}

// The inverse of Encode, reducing each integer modulo its bound, so that every byte string of
// the right length decodes to values in range. Used on public data only (public keys,
// ciphertexts): its divisions may take data-dependent time.
void Decode(std::vector<std::uint32_t>* out, const std::uint8_t*& in,
            const std::vector<std::uint32_t>& m) {
    out->clear();
    if (m.empty()) return;
    if (m.size() == 1) {
        std::uint64_t value = 0, scale = 1;
        std::uint32_t bound = m[0];
        while (bound > 1) {
            value += scale * *in++;
            scale <<= 8;
            bound = (bound + 255) >> 8;
        }
        out->push_back(static_cast<std::uint32_t>(value % m[0]));
        return;
    }
    struct Low {
        std::uint64_t value, scale;
    };
    std::vector<Low> low;
    std::vector<std::uint32_t> m2;
    for (std::size_t i = 0; i + 1 < m.size(); i += 2) {
        std::uint32_t bound = m[i] * m[i + 1];
        std::uint64_t value = 0, scale = 1;
        while (bound >= 16384) {
            value += scale * *in++;
            scale <<= 8;
            bound = (bound + 255) >> 8;
        }
        low.push_back({value, scale});
        m2.push_back(bound);
    }
    if (m.size() & 1) m2.push_back(m.back());
    std::vector<std::uint32_t> r2;
    Decode(&r2, in, m2);
    for (std::size_t i = 0; i + 1 < m.size(); i += 2) {
        const std::uint64_t value = low[i / 2].value + low[i / 2].scale * r2[i / 2];
        out->push_back(static_cast<std::uint32_t>(value % m[i]));
        out->push_back(static_cast<std::uint32_t>((value / m[i]) % m[i + 1]));
    }
    if (m.size() & 1) out->push_back(r2.back());
}

// R/q elements: c + (q-1)/2 with bound q.
void RqEncode(std::uint8_t* out, const Fq* c) {
    std::vector<std::uint32_t> r(p), m(p, q);
    for (int i = 0; i < p; ++i)
        r[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(c[i] + q12);
    std::vector<std::uint8_t> bytes;
    Encode(&bytes, r, m);
    std::memcpy(out, bytes.data(), kRqBytes);
}

void RqDecode(Fq* c, const std::uint8_t* in) {
    std::vector<std::uint32_t> r, m(p, q);
    Decode(&r, in, m);
    for (int i = 0; i < p; ++i)
        c[i] = static_cast<Fq>(static_cast<std::int32_t>(r[static_cast<std::size_t>(i)]) - q12);
}

// Rounded elements (multiples of 3): (c + (q-1)/2) / 3 with bound (q-1)/3 + 1 = 1531.
void RoundedEncode(std::uint8_t* out, const Fq* c) {
    std::vector<std::uint32_t> r(p), m(p, (q - 1) / 3 + 1);
    for (int i = 0; i < p; ++i)
        r[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(c[i] + q12) / 3;
    std::vector<std::uint8_t> bytes;
    Encode(&bytes, r, m);
    std::memcpy(out, bytes.data(), kRoundedBytes);
    SecureWipe(r.data(), r.size() * sizeof(r[0]));
    SecureWipe(bytes.data(), bytes.size());
}

void RoundedDecode(Fq* c, const std::uint8_t* in) {
    std::vector<std::uint32_t> r, m(p, (q - 1) / 3 + 1);
    Decode(&r, in, m);
    for (int i = 0; i < p; ++i)
        c[i] = static_cast<Fq>(3 * static_cast<std::int32_t>(r[static_cast<std::size_t>(i)]) - q12);
}

// ---------------------------------------------------------------- hashes

// Hash_b(x): the first 32 bytes of SHA-512 of the byte b followed by x.
void HashPrefix(std::uint8_t out[kHashBytes], std::uint8_t b, const std::uint8_t* a,
                std::size_t aLength, const std::uint8_t* c = nullptr, std::size_t cLength = 0) {
    CSHA512 sha;
    sha.Update(&b, 1);
    sha.Update(a, aLength);
    if (cLength > 0) sha.Update(c, cLength);
    std::uint8_t digest[CSHA512::kDigestSize];
    sha.Final(digest);
    std::memcpy(out, digest, kHashBytes);
    SecureWipe(digest, sizeof(digest));
}

// HashConfirm(r, K) = Hash_2(Hash_3(r) || Hash_4(K)), with Hash_4(K) cached in the secret key.
void HashConfirm(std::uint8_t out[kHashBytes], const std::uint8_t* rEncoded,
                 const std::uint8_t* cache) {
    std::uint8_t inner[kHashBytes];
    HashPrefix(inner, 3, rEncoded, kSmallBytes);
    HashPrefix(out, 2, inner, kHashBytes, cache, kHashBytes);
    SecureWipe(inner, sizeof(inner));
}

// HashSession(b, y, z) = Hash_b(Hash_3(y) || z).
void HashSession(std::uint8_t out[kHashBytes], std::uint8_t b, const std::uint8_t* y,
                 const std::uint8_t* ciphertext) {
    std::uint8_t inner[kHashBytes];
    HashPrefix(inner, 3, y, kSmallBytes);
    HashPrefix(out, b, inner, kHashBytes, ciphertext, kSntrup761CiphertextSize);
    SecureWipe(inner, sizeof(inner));
}

// ---------------------------------------------------------------- the scheme

// The secret key's layout: f, 1/g in R/3, the public key, rho, Hash_4(public key).
constexpr std::size_t kSkF = 0;
constexpr std::size_t kSkV = kSkF + kSmallBytes;
constexpr std::size_t kSkPublic = kSkV + kSmallBytes;
constexpr std::size_t kSkRho = kSkPublic + kRqBytes;
constexpr std::size_t kSkCache = kSkRho + kSmallBytes;
static_assert(kSkCache + kHashBytes == kSntrup761SecretKeySize);
static_assert(kRoundedBytes + kHashBytes == kSntrup761CiphertextSize);

// Everything secret a computation holds, wiped on the way out.
struct Scratch {
    Small f[p], g[p], v[p], r[p], e3[p];
    Fq h[p], c[p], t[p];
    ~Scratch() { SecureWipe(this, sizeof(*this)); }
};

// c = Round(h r) and the ciphertext: Rounded(c) || HashConfirm(r, cache).
void Encrypt(std::uint8_t* ciphertext, Scratch& s, const std::uint8_t* rEncoded,
             const std::uint8_t* cache) {
    RqMultiplySmall(s.c, s.h, s.r);
    Round(s.c);
    RoundedEncode(ciphertext, s.c);
    HashConfirm(ciphertext + kRoundedBytes, rEncoded, cache);
}

}  // namespace

bool Sntrup761KeyPair(const Sntrup761Random& random,
                      std::uint8_t publicKey[kSntrup761PublicKeySize], SecureBytes* secretKey) {
    Scratch s;
    // g must be invertible in R/3; the product check makes the answer certain whatever the
    // division steps report.
    for (;;) {
        SmallRandom(s.g, random);
        const std::uint32_t invertible = Reciprocal<Field3>(s.v, s.g);
        R3Multiply(s.e3, s.g, s.v);
        std::uint32_t notOne = static_cast<std::uint32_t>(s.e3[0] ^ 1);
        for (int i = 1; i < p; ++i)
            notOne |= static_cast<std::uint32_t>(s.e3[i] & 0xff);
        // Whether a candidate is refused leaks nothing about the key that is kept.
        if ((invertible & ~NonZeroMask(notOne)) != 0) break;
    }
    ShortRandom(s.f, random);
    // h = g / (3 f).
    for (int i = 0; i < p; ++i)
        s.t[i] = FqFreeze(3 * s.f[i]);
    Reciprocal<FieldQ>(s.c, s.t);
    RqMultiplySmall(s.h, s.c, s.g);
    RqEncode(publicKey, s.h);

    SecureBytes sk(kSntrup761SecretKeySize);
    SmallEncode(sk.data() + kSkF, s.f);
    SmallEncode(sk.data() + kSkV, s.v);
    std::memcpy(sk.data() + kSkPublic, publicKey, kRqBytes);
    random(sk.data() + kSkRho, kSmallBytes);
    HashPrefix(sk.data() + kSkCache, 4, publicKey, kRqBytes);
    *secretKey = std::move(sk);
    return true;
}

bool Sntrup761Encapsulate(const std::uint8_t* publicKey, std::size_t length,
                          const Sntrup761Random& random,
                          std::uint8_t ciphertext[kSntrup761CiphertextSize], SecureBytes* shared) {
    if (length != kSntrup761PublicKeySize) return false;
    Scratch s;
    ShortRandom(s.r, random);
    std::uint8_t rEncoded[kSmallBytes], cache[kHashBytes];
    SmallEncode(rEncoded, s.r);
    HashPrefix(cache, 4, publicKey, kRqBytes);
    RqDecode(s.h, publicKey);
    Encrypt(ciphertext, s, rEncoded, cache);
    SecureBytes key(kSntrup761SharedSize);
    HashSession(key.data(), 1, rEncoded, ciphertext);
    SecureWipe(rEncoded, sizeof(rEncoded));
    *shared = std::move(key);
    return true;
}

bool Sntrup761Decapsulate(const std::uint8_t* secretKey, std::size_t secretLength,
                          const std::uint8_t* ciphertext, std::size_t length, SecureBytes* shared) {
    if (secretLength != kSntrup761SecretKeySize || length != kSntrup761CiphertextSize) return false;
    Scratch s;
    SmallDecode(s.f, secretKey + kSkF);
    SmallDecode(s.v, secretKey + kSkV);
    RqDecode(s.h, secretKey + kSkPublic);
    RoundedDecode(s.c, ciphertext);

    // e = 3 f c in R/q, lifted; then e / g in R/3.
    RqMultiplySmall(s.t, s.c, s.f);
    for (int i = 0; i < p; ++i)
        s.e3[i] = F3Freeze(FqFreeze(3 * s.t[i]));
    R3Multiply(s.r, s.e3, s.v);
    // Weight w, or else the fixed Short element 1, ..., 1 (w of them), 0, ..., 0.
    std::int32_t weight = 0;
    for (int i = 0; i < p; ++i)
        weight += s.r[i] & 1;
    const std::uint32_t wrongWeight = NonZeroMask(static_cast<std::uint32_t>(weight - w));
    for (int i = 0; i < p; ++i) {
        const Small fallback = i < w ? 1 : 0;
        s.r[i] =
            static_cast<Small>(s.r[i] ^ ((s.r[i] ^ fallback) & static_cast<Small>(wrongWeight)));
    }

    // Re-encrypt and compare the whole ciphertext.
    std::uint8_t rEncoded[kSmallBytes], again[kSntrup761CiphertextSize];
    SmallEncode(rEncoded, s.r);
    Encrypt(again, s, rEncoded, secretKey + kSkCache);
    std::uint32_t differ = 0;
    for (std::size_t i = 0; i < kSntrup761CiphertextSize; ++i)
        differ |= static_cast<std::uint32_t>(again[i] ^ ciphertext[i]);
    const std::uint32_t mismatch = NonZeroMask(differ);

    // On a mismatch, rho takes the place of r and the prefix byte is 0 instead of 1.
    const std::uint8_t* rho = secretKey + kSkRho;
    for (std::size_t i = 0; i < kSmallBytes; ++i) {
        rEncoded[i] = static_cast<std::uint8_t>(
            rEncoded[i] ^ ((rEncoded[i] ^ rho[i]) & static_cast<std::uint8_t>(mismatch)));
    }
    SecureBytes key(kSntrup761SharedSize);
    HashSession(key.data(), static_cast<std::uint8_t>(1 & ~mismatch), rEncoded, ciphertext);
    SecureWipe(rEncoded, sizeof(rEncoded));
    SecureWipe(again, sizeof(again));
    *shared = std::move(key);
    return true;
}

bool Sntrup761KeyPair(RandomGenerator& random, std::uint8_t publicKey[kSntrup761PublicKeySize],
                      SecureBytes* secretKey) {
    return Sntrup761KeyPair(
        [&random](std::uint8_t* out, std::size_t length) { random.Fill(out, length); }, publicKey,
        secretKey);
}

bool Sntrup761Encapsulate(const std::uint8_t* publicKey, std::size_t length,
                          RandomGenerator& random,
                          std::uint8_t ciphertext[kSntrup761CiphertextSize], SecureBytes* shared) {
    return Sntrup761Encapsulate(
        publicKey, length, [&random](std::uint8_t* out, std::size_t n) { random.Fill(out, n); },
        ciphertext, shared);
}

}  // namespace tarnwick
