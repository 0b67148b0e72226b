#include "crypto/sha1.h"

#include <immintrin.h>

#include <cstring>

#include "crypto/block_buffer.h"
#include "crypto/byte_order.h"
#include "crypto/cpu_features.h"
#include "crypto/secure.h"

namespace tarnwick {
namespace {

inline std::uint32_t Rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

#define SHA1_F1(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
#define SHA1_K1 0x5a827999u
#define SHA1_K2 0x6ed9eba1u
#define SHA1_K3 0x8f1bbcdcu
#define SHA1_K4 0xca62c1d6u
// The message schedule kept as a 16-word ring: word i replaces word i - 16.
#define W(i) (w[(i)&15] = Rotl(w[((i)-3) & 15] ^ w[((i)-8) & 15] ^ w[((i)-14) & 15] ^ w[(i)&15], 1))
#define SHA1_STEP(f, k, a, b, c, d, e, wi)                               \
    do {                                                                 \
        (e) += Rotl((a), 5) + SHA1_##f((b), (c), (d)) + (wi) + SHA1_##k; \
        (b) = Rotl((b), 30);                                             \
    } while (0)

void BlocksPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = bytes::LoadBE32(data + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d, e0 = e;
        SHA1_STEP(F1, K1, a, b, c, d, e, w[0]);
        SHA1_STEP(F1, K1, e, a, b, c, d, w[1]);
        SHA1_STEP(F1, K1, d, e, a, b, c, w[2]);
        SHA1_STEP(F1, K1, c, d, e, a, b, w[3]);
        SHA1_STEP(F1, K1, b, c, d, e, a, w[4]);
        SHA1_STEP(F1, K1, a, b, c, d, e, w[5]);
        SHA1_STEP(F1, K1, e, a, b, c, d, w[6]);
        SHA1_STEP(F1, K1, d, e, a, b, c, w[7]);
        SHA1_STEP(F1, K1, c, d, e, a, b, w[8]);
        SHA1_STEP(F1, K1, b, c, d, e, a, w[9]);
        SHA1_STEP(F1, K1, a, b, c, d, e, w[10]);
        SHA1_STEP(F1, K1, e, a, b, c, d, w[11]);
        SHA1_STEP(F1, K1, d, e, a, b, c, w[12]);
        SHA1_STEP(F1, K1, c, d, e, a, b, w[13]);
        SHA1_STEP(F1, K1, b, c, d, e, a, w[14]);
        SHA1_STEP(F1, K1, a, b, c, d, e, w[15]);
        SHA1_STEP(F1, K1, e, a, b, c, d, W(16));
        SHA1_STEP(F1, K1, d, e, a, b, c, W(17));
        SHA1_STEP(F1, K1, c, d, e, a, b, W(18));
        SHA1_STEP(F1, K1, b, c, d, e, a, W(19));
        SHA1_STEP(F2, K2, a, b, c, d, e, W(20));
        SHA1_STEP(F2, K2, e, a, b, c, d, W(21));
        SHA1_STEP(F2, K2, d, e, a, b, c, W(22));
        SHA1_STEP(F2, K2, c, d, e, a, b, W(23));
        SHA1_STEP(F2, K2, b, c, d, e, a, W(24));
        SHA1_STEP(F2, K2, a, b, c, d, e, W(25));
        SHA1_STEP(F2, K2, e, a, b, c, d, W(26));
        SHA1_STEP(F2, K2, d, e, a, b, c, W(27));
        SHA1_STEP(F2, K2, c, d, e, a, b, W(28));
        SHA1_STEP(F2, K2, b, c, d, e, a, W(29));
        SHA1_STEP(F2, K2, a, b, c, d, e, W(30));
        SHA1_STEP(F2, K2, e, a, b, c, d, W(31));
        SHA1_STEP(F2, K2, d, e, a, b, c, W(32));
        SHA1_STEP(F2, K2, c, d, e, a, b, W(33));
        SHA1_STEP(F2, K2, b, c, d, e, a, W(34));
        SHA1_STEP(F2, K2, a, b, c, d, e, W(35));
        SHA1_STEP(F2, K2, e, a, b, c, d, W(36));
        SHA1_STEP(F2, K2, d, e, a, b, c, W(37));
        SHA1_STEP(F2, K2, c, d, e, a, b, W(38));
        SHA1_STEP(F2, K2, b, c, d, e, a, W(39));
        SHA1_STEP(F3, K3, a, b, c, d, e, W(40));
        SHA1_STEP(F3, K3, e, a, b, c, d, W(41));
        SHA1_STEP(F3, K3, d, e, a, b, c, W(42));
        SHA1_STEP(F3, K3, c, d, e, a, b, W(43));
        SHA1_STEP(F3, K3, b, c, d, e, a, W(44));
        SHA1_STEP(F3, K3, a, b, c, d, e, W(45));
        SHA1_STEP(F3, K3, e, a, b, c, d, W(46));
        SHA1_STEP(F3, K3, d, e, a, b, c, W(47));
        SHA1_STEP(F3, K3, c, d, e, a, b, W(48));
        SHA1_STEP(F3, K3, b, c, d, e, a, W(49));
        SHA1_STEP(F3, K3, a, b, c, d, e, W(50));
        SHA1_STEP(F3, K3, e, a, b, c, d, W(51));
        SHA1_STEP(F3, K3, d, e, a, b, c, W(52));
        SHA1_STEP(F3, K3, c, d, e, a, b, W(53));
        SHA1_STEP(F3, K3, b, c, d, e, a, W(54));
        SHA1_STEP(F3, K3, a, b, c, d, e, W(55));
        SHA1_STEP(F3, K3, e, a, b, c, d, W(56));
        SHA1_STEP(F3, K3, d, e, a, b, c, W(57));
        SHA1_STEP(F3, K3, c, d, e, a, b, W(58));
        SHA1_STEP(F3, K3, b, c, d, e, a, W(59));
        SHA1_STEP(F2, K4, a, b, c, d, e, W(60));
        SHA1_STEP(F2, K4, e, a, b, c, d, W(61));
        SHA1_STEP(F2, K4, d, e, a, b, c, W(62));
        SHA1_STEP(F2, K4, c, d, e, a, b, W(63));
        SHA1_STEP(F2, K4, b, c, d, e, a, W(64));
        SHA1_STEP(F2, K4, a, b, c, d, e, W(65));
        SHA1_STEP(F2, K4, e, a, b, c, d, W(66));
        SHA1_STEP(F2, K4, d, e, a, b, c, W(67));
        SHA1_STEP(F2, K4, c, d, e, a, b, W(68));
        SHA1_STEP(F2, K4, b, c, d, e, a, W(69));
        SHA1_STEP(F2, K4, a, b, c, d, e, W(70));
        SHA1_STEP(F2, K4, e, a, b, c, d, W(71));
        SHA1_STEP(F2, K4, d, e, a, b, c, W(72));
        SHA1_STEP(F2, K4, c, d, e, a, b, W(73));
        SHA1_STEP(F2, K4, b, c, d, e, a, W(74));
        SHA1_STEP(F2, K4, a, b, c, d, e, W(75));
        SHA1_STEP(F2, K4, e, a, b, c, d, W(76));
        SHA1_STEP(F2, K4, d, e, a, b, c, W(77));
        SHA1_STEP(F2, K4, c, d, e, a, b, W(78));
        SHA1_STEP(F2, K4, b, c, d, e, a, W(79));
        a += a0;
        b += b0;
        c += c0;
        d += d0;
        e += e0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
    state[4] = e;
}

#if defined(__x86_64__)
// Four rounds per instruction. ABCD holds A in its highest lane; E travels in the highest lane of
// e0/e1, which sha1nexte turns into the next four rounds' E plus message words. The message
// words of group g + 1 .. g + 3 are prepared while group g runs.
#define SHANI_GROUP(ea, eb, m0, m1, m2, m3, func, msg2, msg1, mix) \
    do {                                                           \
        ea = _mm_sha1nexte_epu32(ea, m0);                          \
        eb = abcd;                                                 \
        if (msg2) m1 = _mm_sha1msg2_epu32(m1, m0);                 \
        abcd = _mm_sha1rnds4_epu32(abcd, ea, func);                \
        if (msg1) m3 = _mm_sha1msg1_epu32(m3, m0);                 \
        if (mix) m2 = _mm_xor_si128(m2, m0);                       \
    } while (0)

__attribute__((target("sha,sse4.1,ssse3"))) void BlocksShaNi(std::uint32_t state[5],
                                                             const std::uint8_t* data,
                                                             std::size_t blocks) {
    const __m128i kSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1b);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    __m128i e1;
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcd_saved = abcd;
        const __m128i e_saved = e0;
        const __m128i* in = reinterpret_cast<const __m128i*>(data);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(in), kSwap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), kSwap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), kSwap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), kSwap);

        e0 = _mm_add_epi32(e0, m0);  // group 0: no previous rounds to take E from
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        SHANI_GROUP(e1, e0, m1, m2, m3, m0, 0, false, true, false);
        SHANI_GROUP(e0, e1, m2, m3, m0, m1, 0, false, true, true);
        SHANI_GROUP(e1, e0, m3, m0, m1, m2, 0, true, true, true);
        SHANI_GROUP(e0, e1, m0, m1, m2, m3, 0, true, true, true);
        SHANI_GROUP(e1, e0, m1, m2, m3, m0, 1, true, true, true);
        SHANI_GROUP(e0, e1, m2, m3, m0, m1, 1, true, true, true);
        SHANI_GROUP(e1, e0, m3, m0, m1, m2, 1, true, true, true);
        SHANI_GROUP(e0, e1, m0, m1, m2, m3, 1, true, true, true);
        SHANI_GROUP(e1, e0, m1, m2, m3, m0, 1, true, true, true);
        SHANI_GROUP(e0, e1, m2, m3, m0, m1, 2, true, true, true);
        SHANI_GROUP(e1, e0, m3, m0, m1, m2, 2, true, true, true);
        SHANI_GROUP(e0, e1, m0, m1, m2, m3, 2, true, true, true);
        SHANI_GROUP(e1, e0, m1, m2, m3, m0, 2, true, true, true);
        SHANI_GROUP(e0, e1, m2, m3, m0, m1, 2, true, true, true);
        SHANI_GROUP(e1, e0, m3, m0, m1, m2, 3, true, true, true);
        SHANI_GROUP(e0, e1, m0, m1, m2, m3, 3, true, true, true);
        SHANI_GROUP(e1, e0, m1, m2, m3, m0, 3, true, false, true);
        SHANI_GROUP(e0, e1, m2, m3, m0, m1, 3, true, false, false);
        SHANI_GROUP(e1, e0, m3, m0, m1, m2, 3, false, false, false);

        e0 = _mm_sha1nexte_epu32(e0, e_saved);
        abcd = _mm_add_epi32(abcd, abcd_saved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1b));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}
#endif

}  // namespace

// Only the data members: the vtable pointer must stay intact for the base destructor.
CSHA1::~CSHA1() {
    SecureWipe(state_, sizeof(state_));
    SecureWipe(buffer_, sizeof(buffer_));
    length_ = 0;
}

void CSHA1::Init() {
    state_[0] = 0x67452301u;
    state_[1] = 0xefcdab89u;
    state_[2] = 0x98badcfeu;
    state_[3] = 0x10325476u;
    state_[4] = 0xc3d2e1f0u;
    length_ = 0;
    fill_ = 0;
    fast_ = Cpu().sha;
}

void CSHA1::Blocks(const std::uint8_t* data, std::size_t blocks) {
#if defined(__x86_64__)
    if (fast_) {
        BlocksShaNi(state_, data, blocks);
        return;
    }
#endif
    BlocksPortable(state_, data, blocks);
}

void CSHA1::Update(const void* data, std::size_t length) {
    hash_blocks::Absorb(
        buffer_, fill_, length_, static_cast<const std::uint8_t*>(data), length,
        [this](const std::uint8_t* blocks, std::size_t count) { Blocks(blocks, count); });
}

void CSHA1::Final(std::uint8_t* out) {
    const std::uint64_t bits = length_ << 3;
    hash_blocks::Pad(buffer_, fill_, [this](const std::uint8_t* blocks, std::size_t count) {
        Blocks(blocks, count);
    });
    bytes::StoreBE64(buffer_ + 56, bits);
    Blocks(buffer_, 1);
    for (int i = 0; i < 5; ++i)
        bytes::StoreBE32(out + 4 * i, state_[i]);
    // The state after Final is spent; wipe it so that no trace of the message stays behind.
    const bool fast = fast_;
    SecureWipe(this->state_, sizeof(state_));
    SecureWipe(buffer_, sizeof(buffer_));
    fill_ = 0;
    length_ = 0;
    fast_ = fast;
}

std::unique_ptr<Hash> CSHA1::Clone() const {
    return std::make_unique<CSHA1>(*this);
}

bool CSHA1::CopyStateFrom(const Hash& other) {
    const CSHA1* same = dynamic_cast<const CSHA1*>(&other);
    if (same == nullptr) return false;
    if (same != this) *this = *same;
    return true;
}

void CSHA1::Digest(const void* data, std::size_t length, std::uint8_t out[kDigestSize]) {
    CSHA1 sha;
    sha.Update(data, length);
    sha.Final(out);
}

}  // namespace tarnwick
