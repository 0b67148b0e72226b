#include "crypto/d3des.h"

#include "crypto/byte_order.h"
#include "crypto/secure.h"

namespace tarnwick {
namespace {

// The tables of FIPS 46-3; bit numbers count from 1 at the most significant end.
constexpr int kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr int kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr int kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr int kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr std::uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

constexpr std::uint32_t Rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

// The rounds keep both halves rotated right by 3 bits. In that frame the eight 6-bit groups of the
// expansion E sit byte-aligned: groups 0, 2, 4, 6 in r and groups 7, 1, 3, 5 in r rotated right by
// 4 more bits, so each round is eight table look-ups. sp[j][v] is S-box j applied to the 6-bit
// group v, passed through the permutation P and rotated into the same frame.
struct SpTables {
    std::uint32_t sp[8][64];
};

constexpr SpTables MakeSpTables() {
    SpTables t{};
    for (int j = 0; j < 8; ++j) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int column = (v >> 1) & 15;
            const std::uint32_t x = static_cast<std::uint32_t>(kS[j][row * 16 + column])
                                    << (28 - 4 * j);
            std::uint32_t out = 0;
            for (int i = 0; i < 32; ++i) {
                if ((x >> (32 - kP[i])) & 1) out |= 1u << (31 - i);
            }
            t.sp[j][v] = Rotr(out, 3);
        }
    }
    return t;
}

constexpr SpTables kSp = MakeSpTables();

inline std::uint32_t F(std::uint32_t r, const std::uint32_t* k) {
    std::uint32_t w = r ^ k[0];
    std::uint32_t f = kSp.sp[0][(w >> 24) & 63] ^ kSp.sp[2][(w >> 16) & 63] ^
                      kSp.sp[4][(w >> 8) & 63] ^ kSp.sp[6][w & 63];
    w = Rotr(r, 4) ^ k[1];
    f ^= kSp.sp[7][(w >> 24) & 63] ^ kSp.sp[1][(w >> 16) & 63] ^ kSp.sp[3][(w >> 8) & 63] ^
         kSp.sp[5][w & 63];
    return f;
}

// Sixteen rounds; afterwards (l, r) hold (L16, R16).
inline void EncryptRounds(std::uint32_t& l, std::uint32_t& r, const std::uint32_t* ks) {
    for (int i = 0; i < 32; i += 4) {
        l ^= F(r, ks + i);
        r ^= F(l, ks + i + 2);
    }
}
inline void DecryptRounds(std::uint32_t& l, std::uint32_t& r, const std::uint32_t* ks) {
    for (int i = 30; i > 0; i -= 4) {
        l ^= F(r, ks + i);
        r ^= F(l, ks + i - 2);
    }
}

// The initial permutation as five exchanges of bit groups between the halves; the final
// permutation runs them backwards. The frame rotation is folded in.
inline void InitialPermutation(std::uint32_t& l, std::uint32_t& r) {
    std::uint32_t w;
    w = ((l >> 4) ^ r) & 0x0f0f0f0fu;
    r ^= w;
    l ^= w << 4;
    w = ((l >> 16) ^ r) & 0x0000ffffu;
    r ^= w;
    l ^= w << 16;
    w = ((r >> 2) ^ l) & 0x33333333u;
    l ^= w;
    r ^= w << 2;
    w = ((r >> 8) ^ l) & 0x00ff00ffu;
    l ^= w;
    r ^= w << 8;
    w = ((l >> 1) ^ r) & 0x55555555u;
    r ^= w;
    l ^= w << 1;
    l = Rotr(l, 3);
    r = Rotr(r, 3);
}
inline void FinalPermutation(std::uint32_t& l, std::uint32_t& r) {
    l = Rotr(l, 29);
    r = Rotr(r, 29);
    std::uint32_t w;
    w = ((l >> 1) ^ r) & 0x55555555u;
    r ^= w;
    l ^= w << 1;
    w = ((r >> 8) ^ l) & 0x00ff00ffu;
    l ^= w;
    r ^= w << 8;
    w = ((r >> 2) ^ l) & 0x33333333u;
    l ^= w;
    r ^= w << 2;
    w = ((l >> 16) ^ r) & 0x0000ffffu;
    r ^= w;
    l ^= w << 16;
    w = ((l >> 4) ^ r) & 0x0f0f0f0fu;
    r ^= w;
    l ^= w << 4;
}

// One DES block (encrypt or decrypt with one schedule); the words are the block as read
// big-endian and come back the same way.
inline void DesBlock(std::uint32_t& a, std::uint32_t& b, const std::uint32_t* ks, bool encrypt) {
    std::uint32_t l = a, r = b;
    InitialPermutation(l, r);
    if (encrypt)
        EncryptRounds(l, r, ks);
    else
        DecryptRounds(l, r, ks);
    FinalPermutation(r, l);  // the halves are exchanged before the final permutation
    a = r;
    b = l;
}

// E(k1) D(k2) E(k3), or its inverse, with the inner permutations cancelled out.
inline void TripleBlock(std::uint32_t& a, std::uint32_t& b, const std::uint32_t (*ks)[32],
                        bool encrypt) {
    std::uint32_t l = a, r = b;
    InitialPermutation(l, r);
    if (encrypt) {
        EncryptRounds(l, r, ks[0]);
        DecryptRounds(r, l, ks[1]);
        EncryptRounds(l, r, ks[2]);
    } else {
        DecryptRounds(l, r, ks[2]);
        EncryptRounds(r, l, ks[1]);
        DecryptRounds(l, r, ks[0]);
    }
    FinalPermutation(r, l);
    a = r;
    b = l;
}

void MakeSchedule(const std::uint8_t* key, std::uint32_t ks[32]) {
    const std::uint64_t k = bytes::LoadBE64(key);
    std::uint32_t c = 0, d = 0;
    for (int i = 0; i < 28; ++i) {
        c = (c << 1) | static_cast<std::uint32_t>((k >> (64 - kPC1[i])) & 1);
        d = (d << 1) | static_cast<std::uint32_t>((k >> (64 - kPC1[i + 28])) & 1);
    }
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0fffffffu;
            d = ((d << 1) | (d >> 27)) & 0x0fffffffu;
        }
        const std::uint64_t cd = (static_cast<std::uint64_t>(c) << 28) | d;
        std::uint32_t group[8] = {};
        for (int i = 0; i < 48; ++i) {
            const std::uint32_t bit = static_cast<std::uint32_t>((cd >> (56 - kPC2[i])) & 1);
            group[i / 6] |= bit << (5 - i % 6);
        }
        ks[2 * round] = (group[0] << 24) | (group[2] << 16) | (group[4] << 8) | group[6];
        ks[2 * round + 1] = (group[7] << 24) | (group[1] << 16) | (group[3] << 8) | group[5];
    }
}

}  // namespace

D3Des::D3Des(int innerChaining, int triple) : inner_(innerChaining != 0), triple_(triple != 0) {}

// Only the data members: the vtable pointer must stay intact for the base destructor.
D3Des::~D3Des() {
    SecureWipe(schedule_, sizeof(schedule_));
    SecureWipe(iv_, sizeof(iv_));
}

void D3Des::SetDirection(int encrypt) {
    direction_ = encrypt != 0 ? 0 : 1;
}

bool D3Des::SetKey(const std::uint8_t* key, std::size_t length) {
    if (length < (triple_ ? 24u : 8u)) return false;
    for (int i = 0; i < (triple_ ? 3 : 1); ++i)
        MakeSchedule(key + 8 * i, schedule_[i]);
    SecureWipe(iv_, sizeof(iv_));
    keyed_ = true;
    return true;
}

bool D3Des::SetIV(const std::uint8_t* iv, std::size_t length) {
    if (length == 24) {
        for (int i = 0; i < 3; ++i) {
            iv_[i][0] = bytes::LoadBE32(iv + 8 * i);
            iv_[i][1] = bytes::LoadBE32(iv + 8 * i + 4);
        }
        return true;
    }
    if (length == 8) {
        iv_[0][0] = bytes::LoadBE32(iv);
        iv_[0][1] = bytes::LoadBE32(iv + 4);
        return true;
    }
    return false;
}

void D3Des::Encrypt(std::uint8_t* data, std::size_t length) {
    Run(data, length, direction_ == 3 ? true : direction_ == 0);
}

void D3Des::Decrypt(std::uint8_t* data, std::size_t length) {
    Run(data, length, direction_ == 3 ? false : direction_ == 0);
}

void D3Des::Run(std::uint8_t* data, std::size_t length, bool encrypt) {
    std::uint32_t v0 = iv_[0][0], v1 = iv_[0][1];
    const std::size_t blocks = length / 8;
    if (!triple_ || !inner_) {
        for (std::size_t i = 0; i < blocks; ++i, data += 8) {
            std::uint32_t a = bytes::LoadBE32(data), b = bytes::LoadBE32(data + 4);
            if (encrypt) {
                a ^= v0;
                b ^= v1;
                if (triple_)
                    TripleBlock(a, b, schedule_, true);
                else
                    DesBlock(a, b, schedule_[0], true);
                v0 = a;
                v1 = b;
            } else {
                const std::uint32_t c0 = a, c1 = b;
                if (triple_)
                    TripleBlock(a, b, schedule_, false);
                else
                    DesBlock(a, b, schedule_[0], false);
                a ^= v0;
                b ^= v1;
                v0 = c0;
                v1 = c1;
            }
            bytes::StoreBE32(data, a);
            bytes::StoreBE32(data + 4, b);
        }
        iv_[0][0] = v0;
        iv_[0][1] = v1;
        return;
    }
    // Three CBC layers: encrypt with key 1, decrypt with key 2, encrypt with key 3, each layer
    // chaining on its own values. Block by block gives the same result as layer by layer.
    std::uint32_t w0 = iv_[1][0], w1 = iv_[1][1], x0 = iv_[2][0], x1 = iv_[2][1];
    for (std::size_t i = 0; i < blocks; ++i, data += 8) {
        std::uint32_t a = bytes::LoadBE32(data), b = bytes::LoadBE32(data + 4);
        if (encrypt) {
            a ^= v0;
            b ^= v1;
            DesBlock(a, b, schedule_[0], true);
            v0 = a;
            v1 = b;
            DesBlock(a, b, schedule_[1], false);
            a ^= w0;
            b ^= w1;
            w0 = v0;
            w1 = v1;
            a ^= x0;
            b ^= x1;
            DesBlock(a, b, schedule_[2], true);
            x0 = a;
            x1 = b;
        } else {
            const std::uint32_t c0 = a, c1 = b;
            DesBlock(a, b, schedule_[2], false);
            a ^= x0;
            b ^= x1;
            x0 = c0;
            x1 = c1;
            a ^= w0;
            b ^= w1;
            DesBlock(a, b, schedule_[1], true);
            w0 = a;
            w1 = b;
            DesBlock(a, b, schedule_[0], false);
            a ^= v0;
            b ^= v1;
            v0 = w0;
            v1 = w1;
        }
        bytes::StoreBE32(data, a);
        bytes::StoreBE32(data + 4, b);
    }
    iv_[0][0] = v0;
    iv_[0][1] = v1;
    iv_[1][0] = w0;
    iv_[1][1] = w1;
    iv_[2][0] = x0;
    iv_[2][1] = x1;
}

}  // namespace tarnwick
