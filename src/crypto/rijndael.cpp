#include "crypto/rijndael.h"

#include <immintrin.h>

#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/cpu_features.h"
#include "crypto/secure.h"

namespace tarnwick {
namespace {

// ---- Tables, derived at compile time from the field arithmetic of FIPS 197 ----

constexpr std::uint8_t Mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t p = 0;
    while (b != 0) {
        if (b & 1) p ^= a;
        a = static_cast<std::uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
        b >>= 1;
    }
    return p;
}

struct AesTables {
    std::uint8_t sbox[256];
    std::uint8_t inverse[256];
    std::uint32_t te[4][256];
    std::uint32_t td[4][256];
};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
    return n == 0 ? x : (x >> n) | (x << (32 - n));
}

constexpr AesTables MakeTables() {
    AesTables t{};
    // Powers of the generator 3 give logarithms, and the inverse of g^i is g^(255 - i).
    std::uint8_t power[255] = {}, log[256] = {};
    std::uint8_t p = 1;
    for (int i = 0; i < 255; ++i) {
        power[i] = p;
        log[p] = static_cast<std::uint8_t>(i);
        p = Mul(p, 3);
    }
    for (int x = 0; x < 256; ++x) {
        // The multiplicative inverse (0 for 0), then the affine transformation.
        const std::uint8_t inv = x == 0 ? 0 : power[(255 - log[x]) % 255];
        std::uint8_t s = inv;
        for (int r = 1; r <= 4; ++r) {
            s ^= static_cast<std::uint8_t>((inv << r) | (inv >> (8 - r)));
        }
        s ^= 0x63;
        t.sbox[x] = s;
        t.inverse[s] = static_cast<std::uint8_t>(x);
    }
    for (int x = 0; x < 256; ++x) {
        const std::uint8_t s = t.sbox[x];
        const std::uint32_t e = (static_cast<std::uint32_t>(Mul(s, 2)) << 24) |
                                (static_cast<std::uint32_t>(s) << 16) |
                                (static_cast<std::uint32_t>(s) << 8) | Mul(s, 3);
        const std::uint8_t i = t.inverse[x];
        const std::uint32_t d = (static_cast<std::uint32_t>(Mul(i, 14)) << 24) |
                                (static_cast<std::uint32_t>(Mul(i, 9)) << 16) |
                                (static_cast<std::uint32_t>(Mul(i, 13)) << 8) | Mul(i, 11);
        for (int k = 0; k < 4; ++k) {
            t.te[k][x] = Rotr(e, 8 * k);
            t.td[k][x] = Rotr(d, 8 * k);
        }
    }
    return t;
}

constexpr AesTables kT = MakeTables();

inline std::uint32_t B0(std::uint32_t w) {
    return w >> 24;
}
inline std::uint32_t B1(std::uint32_t w) {
    return (w >> 16) & 0xff;
}
inline std::uint32_t B2(std::uint32_t w) {
    return (w >> 8) & 0xff;
}
inline std::uint32_t B3(std::uint32_t w) {
    return w & 0xff;
}

void EncryptPortable(const std::uint8_t* keys, int rounds, const std::uint8_t in[16],
                     std::uint8_t out[16]) {
    std::uint32_t s0 = bytes::LoadBE32(in) ^ bytes::LoadBE32(keys);
    std::uint32_t s1 = bytes::LoadBE32(in + 4) ^ bytes::LoadBE32(keys + 4);
    std::uint32_t s2 = bytes::LoadBE32(in + 8) ^ bytes::LoadBE32(keys + 8);
    std::uint32_t s3 = bytes::LoadBE32(in + 12) ^ bytes::LoadBE32(keys + 12);
    for (int r = 1; r < rounds; ++r) {
        const std::uint8_t* k = keys + 16 * r;
        const std::uint32_t t0 = kT.te[0][B0(s0)] ^ kT.te[1][B1(s1)] ^ kT.te[2][B2(s2)] ^
                                 kT.te[3][B3(s3)] ^ bytes::LoadBE32(k);
        const std::uint32_t t1 = kT.te[0][B0(s1)] ^ kT.te[1][B1(s2)] ^ kT.te[2][B2(s3)] ^
                                 kT.te[3][B3(s0)] ^ bytes::LoadBE32(k + 4);
        const std::uint32_t t2 = kT.te[0][B0(s2)] ^ kT.te[1][B1(s3)] ^ kT.te[2][B2(s0)] ^
                                 kT.te[3][B3(s1)] ^ bytes::LoadBE32(k + 8);
        const std::uint32_t t3 = kT.te[0][B0(s3)] ^ kT.te[1][B1(s0)] ^ kT.te[2][B2(s1)] ^
                                 kT.te[3][B3(s2)] ^ bytes::LoadBE32(k + 12);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    const std::uint8_t* k = keys + 16 * rounds;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return (static_cast<std::uint32_t>(kT.sbox[B0(a)]) << 24) |
               (static_cast<std::uint32_t>(kT.sbox[B1(b)]) << 16) |
               (static_cast<std::uint32_t>(kT.sbox[B2(c)]) << 8) | kT.sbox[B3(d)];
    };
    bytes::StoreBE32(out, last(s0, s1, s2, s3) ^ bytes::LoadBE32(k));
    bytes::StoreBE32(out + 4, last(s1, s2, s3, s0) ^ bytes::LoadBE32(k + 4));
    bytes::StoreBE32(out + 8, last(s2, s3, s0, s1) ^ bytes::LoadBE32(k + 8));
    bytes::StoreBE32(out + 12, last(s3, s0, s1, s2) ^ bytes::LoadBE32(k + 12));
}

// The equivalent inverse cipher: the decryption round keys already carry InvMixColumns.
void DecryptPortable(const std::uint8_t* keys, int rounds, const std::uint8_t in[16],
                     std::uint8_t out[16]) {
    std::uint32_t s0 = bytes::LoadBE32(in) ^ bytes::LoadBE32(keys);
    std::uint32_t s1 = bytes::LoadBE32(in + 4) ^ bytes::LoadBE32(keys + 4);
    std::uint32_t s2 = bytes::LoadBE32(in + 8) ^ bytes::LoadBE32(keys + 8);
    std::uint32_t s3 = bytes::LoadBE32(in + 12) ^ bytes::LoadBE32(keys + 12);
    for (int r = 1; r < rounds; ++r) {
        const std::uint8_t* k = keys + 16 * r;
        const std::uint32_t t0 = kT.td[0][B0(s0)] ^ kT.td[1][B1(s3)] ^ kT.td[2][B2(s2)] ^
                                 kT.td[3][B3(s1)] ^ bytes::LoadBE32(k);
        const std::uint32_t t1 = kT.td[0][B0(s1)] ^ kT.td[1][B1(s0)] ^ kT.td[2][B2(s3)] ^
                                 kT.td[3][B3(s2)] ^ bytes::LoadBE32(k + 4);
        const std::uint32_t t2 = kT.td[0][B0(s2)] ^ kT.td[1][B1(s1)] ^ kT.td[2][B2(s0)] ^
                                 kT.td[3][B3(s3)] ^ bytes::LoadBE32(k + 8);
        const std::uint32_t t3 = kT.td[0][B0(s3)] ^ kT.td[1][B1(s2)] ^ kT.td[2][B2(s1)] ^
                                 kT.td[3][B3(s0)] ^ bytes::LoadBE32(k + 12);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    const std::uint8_t* k = keys + 16 * rounds;
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
        return (static_cast<std::uint32_t>(kT.inverse[B0(a)]) << 24) |
               (static_cast<std::uint32_t>(kT.inverse[B1(b)]) << 16) |
               (static_cast<std::uint32_t>(kT.inverse[B2(c)]) << 8) | kT.inverse[B3(d)];
    };
    bytes::StoreBE32(out, last(s0, s3, s2, s1) ^ bytes::LoadBE32(k));
    bytes::StoreBE32(out + 4, last(s1, s0, s3, s2) ^ bytes::LoadBE32(k + 4));
    bytes::StoreBE32(out + 8, last(s2, s1, s0, s3) ^ bytes::LoadBE32(k + 8));
    bytes::StoreBE32(out + 12, last(s3, s2, s1, s0) ^ bytes::LoadBE32(k + 12));
}

inline void Xor16(std::uint8_t* a, const std::uint8_t* b) {
    for (int i = 0; i < 16; ++i)
        a[i] ^= b[i];
}

#if defined(__x86_64__)
#define AESNI __attribute__((target("aes,sse4.1")))

template <int R>
AESNI void CbcEncryptNi(const std::uint8_t* keys, std::uint8_t* iv, std::uint8_t* data,
                        std::size_t blocks) {
    __m128i k[R + 1];
    for (int i = 0; i <= R; ++i)
        k[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(keys) + i);
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
    __m128i* p = reinterpret_cast<__m128i*>(data);
    for (std::size_t b = 0; b < blocks; ++b, ++p) {
        // Plaintext, chaining value and the first round key in one go.
        __m128i x = _mm_xor_si128(_mm_loadu_si128(p), _mm_xor_si128(v, k[0]));
        for (int r = 1; r < R; ++r)
            x = _mm_aesenc_si128(x, k[r]);
        v = _mm_aesenclast_si128(x, k[R]);
        _mm_storeu_si128(p, v);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), v);
}

// CBC decryption has no chain between the block decryptions, so eight run interleaved to keep
// the AES units busy.
template <int R>
AESNI void CbcDecryptNi(const std::uint8_t* keys, std::uint8_t* iv, std::uint8_t* data,
                        std::size_t blocks) {
    __m128i k[R + 1];
    for (int i = 0; i <= R; ++i)
        k[i] = _mm_load_si128(reinterpret_cast<const __m128i*>(keys) + i);
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
    __m128i* p = reinterpret_cast<__m128i*>(data);
    constexpr int kLanes = 8;
    for (; blocks >= kLanes; blocks -= kLanes, p += kLanes) {
        __m128i c[kLanes], x[kLanes];
        for (int i = 0; i < kLanes; ++i) {
            c[i] = _mm_loadu_si128(p + i);
            x[i] = _mm_xor_si128(c[i], k[0]);
        }
        for (int r = 1; r < R; ++r) {
            for (int i = 0; i < kLanes; ++i)
                x[i] = _mm_aesdec_si128(x[i], k[r]);
        }
        for (int i = 0; i < kLanes; ++i)
            x[i] = _mm_aesdeclast_si128(x[i], k[R]);
        _mm_storeu_si128(p, _mm_xor_si128(x[0], v));
        for (int i = 1; i < kLanes; ++i)
            _mm_storeu_si128(p + i, _mm_xor_si128(x[i], c[i - 1]));
        v = c[kLanes - 1];
    }
    for (; blocks > 0; --blocks, ++p) {
        const __m128i c = _mm_loadu_si128(p);
        __m128i x = _mm_xor_si128(c, k[0]);
        for (int r = 1; r < R; ++r)
            x = _mm_aesdec_si128(x, k[r]);
        x = _mm_aesdeclast_si128(x, k[R]);
        _mm_storeu_si128(p, _mm_xor_si128(x, v));
        v = c;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), v);
}

AESNI void InverseMixKeysNi(const std::uint8_t* enc, std::uint8_t* dec, int rounds) {
    const __m128i* e = reinterpret_cast<const __m128i*>(enc);
    __m128i* d = reinterpret_cast<__m128i*>(dec);
    _mm_store_si128(d, _mm_load_si128(e + rounds));
    for (int i = 1; i < rounds; ++i) {
        _mm_store_si128(d + i, _mm_aesimc_si128(_mm_load_si128(e + rounds - i)));
    }
    _mm_store_si128(d + rounds, _mm_load_si128(e));
}
#endif

}  // namespace

// Only the data members: the vtable pointer must stay intact for the base destructor.
Rijndael::~Rijndael() {
    SecureWipe(encKeys_, sizeof(encKeys_));
    SecureWipe(decKeys_, sizeof(decKeys_));
    SecureWipe(iv_, sizeof(iv_));
}

bool Rijndael::SetKey(const std::uint8_t* key, std::size_t length) {
    if (length != 16 && length != 24 && length != 32) return false;
    const int nk = static_cast<int>(length / 4);
    rounds_ = nk + 6;
    const int total = 4 * (rounds_ + 1);
    std::uint32_t w[60];
    for (int i = 0; i < nk; ++i)
        w[i] = bytes::LoadBE32(key + 4 * i);
    std::uint32_t rcon = 0x01000000u;
    auto subWord = [](std::uint32_t x) {
        return (static_cast<std::uint32_t>(kT.sbox[B0(x)]) << 24) |
               (static_cast<std::uint32_t>(kT.sbox[B1(x)]) << 16) |
               (static_cast<std::uint32_t>(kT.sbox[B2(x)]) << 8) | kT.sbox[B3(x)];
    };
    for (int i = nk; i < total; ++i) {
        std::uint32_t t = w[i - 1];
        if (i % nk == 0) {
            t = subWord((t << 8) | (t >> 24)) ^ rcon;
            rcon = static_cast<std::uint32_t>(Mul(static_cast<std::uint8_t>(rcon >> 24), 2)) << 24;
        } else if (nk > 6 && i % nk == 4) {
            t = subWord(t);
        }
        w[i] = w[i - nk] ^ t;
    }
    for (int i = 0; i < total; ++i)
        bytes::StoreBE32(encKeys_ + 4 * i, w[i]);
    SecureWipe(w, sizeof(w));
    SecureWipe(decKeys_, sizeof(decKeys_));
    decryptReady_ = false;
    fast_ = Cpu().aesni;
    if (!encrypt_) PrepareDecryption();
    return true;
}

void Rijndael::PrepareDecryption() {
#if defined(__x86_64__)
    if (fast_) {
        InverseMixKeysNi(encKeys_, decKeys_, rounds_);
        decryptReady_ = true;
        return;
    }
#endif
    // Round keys in reverse order, InvMixColumns on all but the first and last. InvMixColumns of
    // a word w is td applied to S(w), since td folds the inverse S-box into its entries.
    for (int r = 0; r <= rounds_; ++r) {
        const std::uint8_t* from = encKeys_ + 16 * (rounds_ - r);
        std::uint8_t* to = decKeys_ + 16 * r;
        for (int j = 0; j < 4; ++j) {
            std::uint32_t word = bytes::LoadBE32(from + 4 * j);
            if (r > 0 && r < rounds_) {
                word = kT.td[0][kT.sbox[B0(word)]] ^ kT.td[1][kT.sbox[B1(word)]] ^
                       kT.td[2][kT.sbox[B2(word)]] ^ kT.td[3][kT.sbox[B3(word)]];
            }
            bytes::StoreBE32(to + 4 * j, word);
        }
    }
    decryptReady_ = true;
}

bool Rijndael::SetIV(const std::uint8_t* iv, std::size_t length) {
    if (length != 16) return false;
    std::memcpy(iv_, iv, 16);
    return true;
}

void Rijndael::EncryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) {
    EncryptPortable(encKeys_, rounds_, in, out);
}

void Rijndael::DecryptBlock(const std::uint8_t in[16], std::uint8_t out[16]) {
    if (!decryptReady_) PrepareDecryption();
    DecryptPortable(decKeys_, rounds_, in, out);
}

void Rijndael::Encrypt(std::uint8_t* data, std::size_t length) {
    const std::size_t blocks = length / 16;
    if (blocks == 0 || rounds_ == 0) return;
#if defined(__x86_64__)
    if (fast_) {
        if (rounds_ == 10)
            CbcEncryptNi<10>(encKeys_, iv_, data, blocks);
        else if (rounds_ == 12)
            CbcEncryptNi<12>(encKeys_, iv_, data, blocks);
        else
            CbcEncryptNi<14>(encKeys_, iv_, data, blocks);
        return;
    }
#endif
    for (std::size_t b = 0; b < blocks; ++b, data += 16) {
        Xor16(data, iv_);
        EncryptPortable(encKeys_, rounds_, data, data);
        std::memcpy(iv_, data, 16);
    }
}

void Rijndael::Decrypt(std::uint8_t* data, std::size_t length) {
    const std::size_t blocks = length / 16;
    if (blocks == 0 || rounds_ == 0) return;
    if (!decryptReady_) PrepareDecryption();
#if defined(__x86_64__)
    if (fast_) {
        if (rounds_ == 10)
            CbcDecryptNi<10>(decKeys_, iv_, data, blocks);
        else if (rounds_ == 12)
            CbcDecryptNi<12>(decKeys_, iv_, data, blocks);
        else
            CbcDecryptNi<14>(decKeys_, iv_, data, blocks);
        return;
    }
#endif
    std::uint8_t previous[16], cipher[16];
    std::memcpy(previous, iv_, 16);
    for (std::size_t b = 0; b < blocks; ++b, data += 16) {
        std::memcpy(cipher, data, 16);
        DecryptPortable(decKeys_, rounds_, data, data);
        Xor16(data, previous);
        std::memcpy(previous, cipher, 16);
    }
    std::memcpy(iv_, previous, 16);
}

}  // namespace tarnwick
