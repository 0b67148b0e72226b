#include "crypto/md5.h"

#include <cstdio>
#include <cstring>

#include "crypto/block_buffer.h"
#include "crypto/byte_order.h"
#include "crypto/secure.h"

namespace tarnwick {
namespace {

inline std::uint32_t Rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

// The round functions of RFC 1321 in forms with fewer dependent operations: F as a select, G as
// the sum of two disjoint masks (an addition can start before both halves are known).
#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define MD5_STEP(f, a, b, c, d, xk, t, s)           \
    do {                                            \
        (a) += MD5_##f((b), (c), (d)) + (xk) + (t); \
        (a) = Rotl((a), (s)) + (b);                 \
    } while (0)

}  // namespace

// Only the data members: the vtable pointer must stay intact for the base destructor.
CMD5::~CMD5() {
    SecureWipe(state_, sizeof(state_));
    SecureWipe(buffer_, sizeof(buffer_));
    length_ = 0;
}

void CMD5::Init() {
    state_[0] = 0x67452301u;
    state_[1] = 0xefcdab89u;
    state_[2] = 0x98badcfeu;
    state_[3] = 0x10325476u;
    length_ = 0;
    fill_ = 0;
}

void CMD5::Blocks(const std::uint8_t* data, std::size_t blocks) {
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i)
            x[i] = bytes::LoadLE32(data + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478u, 7);
        MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756u, 12);
        MD5_STEP(F, c, d, a, b, x[2], 0x242070dbu, 17);
        MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceeeu, 22);
        MD5_STEP(F, a, b, c, d, x[4], 0xf57c0fafu, 7);
        MD5_STEP(F, d, a, b, c, x[5], 0x4787c62au, 12);
        MD5_STEP(F, c, d, a, b, x[6], 0xa8304613u, 17);
        MD5_STEP(F, b, c, d, a, x[7], 0xfd469501u, 22);
        MD5_STEP(F, a, b, c, d, x[8], 0x698098d8u, 7);
        MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7afu, 12);
        MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1u, 17);
        MD5_STEP(F, b, c, d, a, x[11], 0x895cd7beu, 22);
        MD5_STEP(F, a, b, c, d, x[12], 0x6b901122u, 7);
        MD5_STEP(F, d, a, b, c, x[13], 0xfd987193u, 12);
        MD5_STEP(F, c, d, a, b, x[14], 0xa679438eu, 17);
        MD5_STEP(F, b, c, d, a, x[15], 0x49b40821u, 22);
        MD5_STEP(G, a, b, c, d, x[1], 0xf61e2562u, 5);
        MD5_STEP(G, d, a, b, c, x[6], 0xc040b340u, 9);
        MD5_STEP(G, c, d, a, b, x[11], 0x265e5a51u, 14);
        MD5_STEP(G, b, c, d, a, x[0], 0xe9b6c7aau, 20);
        MD5_STEP(G, a, b, c, d, x[5], 0xd62f105du, 5);
        MD5_STEP(G, d, a, b, c, x[10], 0x02441453u, 9);
        MD5_STEP(G, c, d, a, b, x[15], 0xd8a1e681u, 14);
        MD5_STEP(G, b, c, d, a, x[4], 0xe7d3fbc8u, 20);
        MD5_STEP(G, a, b, c, d, x[9], 0x21e1cde6u, 5);
        MD5_STEP(G, d, a, b, c, x[14], 0xc33707d6u, 9);
        MD5_STEP(G, c, d, a, b, x[3], 0xf4d50d87u, 14);
        MD5_STEP(G, b, c, d, a, x[8], 0x455a14edu, 20);
        MD5_STEP(G, a, b, c, d, x[13], 0xa9e3e905u, 5);
        MD5_STEP(G, d, a, b, c, x[2], 0xfcefa3f8u, 9);
        MD5_STEP(G, c, d, a, b, x[7], 0x676f02d9u, 14);
        MD5_STEP(G, b, c, d, a, x[12], 0x8d2a4c8au, 20);
        MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942u, 4);
        MD5_STEP(H, d, a, b, c, x[8], 0x8771f681u, 11);
        MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122u, 16);
        MD5_STEP(H, b, c, d, a, x[14], 0xfde5380cu, 23);
        MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44u, 4);
        MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9u, 11);
        MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60u, 16);
        MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70u, 23);
        MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6u, 4);
        MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fau, 11);
        MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085u, 16);
        MD5_STEP(H, b, c, d, a, x[6], 0x04881d05u, 23);
        MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039u, 4);
        MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5u, 11);
        MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8u, 16);
        MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665u, 23);
        MD5_STEP(I, a, b, c, d, x[0], 0xf4292244u, 6);
        MD5_STEP(I, d, a, b, c, x[7], 0x432aff97u, 10);
        MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7u, 15);
        MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039u, 21);
        MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3u, 6);
        MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92u, 10);
        MD5_STEP(I, c, d, a, b, x[10], 0xffeff47du, 15);
        MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1u, 21);
        MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4fu, 6);
        MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0u, 10);
        MD5_STEP(I, c, d, a, b, x[6], 0xa3014314u, 15);
        MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1u, 21);
        MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82u, 6);
        MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235u, 10);
        MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bbu, 15);
        MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391u, 21);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state_[0] = a;
    state_[1] = b;
    state_[2] = c;
    state_[3] = d;
}

void CMD5::Update(const void* data, std::size_t length) {
    hash_blocks::Absorb(
        buffer_, fill_, length_, static_cast<const std::uint8_t*>(data), length,
        [this](const std::uint8_t* blocks, std::size_t count) { Blocks(blocks, count); });
}

void CMD5::Final(std::uint8_t* out) {
    const std::uint64_t bits = length_ << 3;
    hash_blocks::Pad(buffer_, fill_, [this](const std::uint8_t* blocks, std::size_t count) {
        Blocks(blocks, count);
    });
    bytes::StoreLE64(buffer_ + 56, bits);
    Blocks(buffer_, 1);
    for (int i = 0; i < 4; ++i)
        bytes::StoreLE32(out + 4 * i, state_[i]);
    SecureWipe(buffer_, sizeof(buffer_));
    fill_ = 0;
    length_ = 0;
}

std::unique_ptr<Hash> CMD5::Clone() const {
    return std::make_unique<CMD5>(*this);
}

bool CMD5::CopyStateFrom(const Hash& other) {
    const CMD5* same = dynamic_cast<const CMD5*>(&other);
    if (same == nullptr) return false;
    if (same != this) *this = *same;
    return true;
}

void CMD5::Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]) {
    CMD5 md5;
    md5.Update(data, length);
    md5.Final(out);
}

namespace {

// The one-time-password fold: the four little-endian state words d0..d3 become d0^d2, d1^d3.
void Fold(const std::uint32_t state[4], std::uint8_t out[8]) {
    bytes::StoreLE32(out, state[0] ^ state[2]);
    bytes::StoreLE32(out + 4, state[1] ^ state[3]);
}

}  // namespace

void CMD5::DigestToText(const std::uint8_t* digest, char* out, int format, int count) {
    if (format == 0) {
        static const char kHex[] = "0123456789abcdef";
        char* p = out;
        for (int i = 0; i < kDigestSize; ++i) {
            *p++ = kHex[digest[i] >> 4];
            *p++ = kHex[digest[i] & 15];
            if (i + 1 < kDigestSize) *p++ = ':';
        }
        *p = '\0';
    } else if (format == 2) {
        std::uint8_t value[8];
        Fold(state_, value);
        for (int i = 0; i < count; ++i) {
            Init();
            Update(value, 8);
            std::uint8_t scratch[kDigestSize];
            Final(scratch);
            SecureWipe(scratch, sizeof(scratch));
            Fold(state_, value);
        }
        std::memcpy(out, value, 8);
        SecureWipe(value, sizeof(value));
    }
}

}  // namespace tarnwick
