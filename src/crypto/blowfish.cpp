#include "crypto/blowfish.h"

#include <cstring>

#include "crypto/blowfish_tables.h"
#include "crypto/byte_order.h"
#include "crypto/secure.h"

namespace tarnwick {
namespace {

#define BF_F(s, x)                                                                    \
    ((((s)[0][(x) >> 24] + (s)[1][((x) >> 16) & 0xff]) ^ (s)[2][((x) >> 8) & 0xff]) + \
     (s)[3][(x)&0xff])
#define BF_ROUND(a, b, n) (a) ^= BF_F(s, (b)) ^ p[(n)]

}  // namespace

Blowfish::Blowfish(int wordOrder) : wordOrder_(wordOrder) {
    std::memcpy(p_, kBlowfishInitialP, sizeof(p_));
    std::memcpy(s_, kBlowfishInitialS, sizeof(s_));
}

// Only the data members: the vtable pointer must stay intact for the base destructor.
Blowfish::~Blowfish() {
    SecureWipe(p_, sizeof(p_));
    SecureWipe(s_, sizeof(s_));
    SecureWipe(iv_, sizeof(iv_));
}

void Blowfish::EncryptWords(std::uint32_t& left, std::uint32_t& right) const {
    const std::uint32_t* p = p_;
    const std::uint32_t(*s)[256] = s_;
    std::uint32_t l = left ^ p[0], r = right;
    BF_ROUND(r, l, 1);
    BF_ROUND(l, r, 2);
    BF_ROUND(r, l, 3);
    BF_ROUND(l, r, 4);
    BF_ROUND(r, l, 5);
    BF_ROUND(l, r, 6);
    BF_ROUND(r, l, 7);
    BF_ROUND(l, r, 8);
    BF_ROUND(r, l, 9);
    BF_ROUND(l, r, 10);
    BF_ROUND(r, l, 11);
    BF_ROUND(l, r, 12);
    BF_ROUND(r, l, 13);
    BF_ROUND(l, r, 14);
    BF_ROUND(r, l, 15);
    BF_ROUND(l, r, 16);
    left = r ^ p[17];
    right = l;
}

void Blowfish::DecryptWords(std::uint32_t& left, std::uint32_t& right) const {
    const std::uint32_t* p = p_;
    const std::uint32_t(*s)[256] = s_;
    std::uint32_t l = left ^ p[17], r = right;
    BF_ROUND(r, l, 16);
    BF_ROUND(l, r, 15);
    BF_ROUND(r, l, 14);
    BF_ROUND(l, r, 13);
    BF_ROUND(r, l, 12);
    BF_ROUND(l, r, 11);
    BF_ROUND(r, l, 10);
    BF_ROUND(l, r, 9);
    BF_ROUND(r, l, 8);
    BF_ROUND(l, r, 7);
    BF_ROUND(r, l, 6);
    BF_ROUND(l, r, 5);
    BF_ROUND(r, l, 4);
    BF_ROUND(l, r, 3);
    BF_ROUND(r, l, 2);
    BF_ROUND(l, r, 1);
    left = r ^ p[0];
    right = l;
}

namespace {

// The next big-endian word of bytes taken cyclically.
std::uint32_t CyclicWord(const std::uint8_t* bytes, std::size_t length, std::size_t* at) {
    std::uint32_t word = 0;
    for (int j = 0; j < 4; ++j) {
        word = (word << 8) | bytes[*at];
        *at = *at + 1 == length ? 0 : *at + 1;
    }
    return word;
}

}  // namespace

void Blowfish::Schedule(const std::uint8_t* salt, std::size_t saltLength, const std::uint8_t* key,
                        std::size_t keyLength) {
    std::size_t at = 0;
    for (int i = 0; i < 18; ++i)
        p_[i] ^= CyclicWord(key, keyLength, &at);
    std::size_t salt_at = 0;
    std::uint32_t l = 0, r = 0;
    auto next = [&](std::uint32_t* out) {
        if (saltLength != 0) {
            l ^= CyclicWord(salt, saltLength, &salt_at);
            r ^= CyclicWord(salt, saltLength, &salt_at);
        }
        EncryptWords(l, r);
        out[0] = l;
        out[1] = r;
    };
    for (int i = 0; i < 18; i += 2)
        next(&p_[i]);
    for (int box = 0; box < 4; ++box) {
        for (int i = 0; i < 256; i += 2)
            next(&s_[box][i]);
    }
}

bool Blowfish::SetKey(const std::uint8_t* key, std::size_t length) {
    if (length == 0) return false;
    Schedule(nullptr, 0, key, length > 72 ? 72 : length);
    return true;
}

void Blowfish::SetSaltedKey(const std::uint8_t* salt, std::size_t saltLength,
                            const std::uint8_t* key, std::size_t keyLength) {
    if (saltLength == 0 || keyLength == 0) return;
    Schedule(salt, saltLength, key, keyLength);
}

bool Blowfish::SetIV(const std::uint8_t* iv, std::size_t length) {
    if (length < 8) return false;
    iv_[0] = bytes::LoadBE32(iv);
    iv_[1] = bytes::LoadBE32(iv + 4);
    return true;
}

void Blowfish::Encrypt(std::uint8_t* data, std::size_t length) {
    std::uint32_t v0 = iv_[0], v1 = iv_[1];
    const bool little = wordOrder_ == 1;
    for (std::size_t i = 0; i + 8 <= length; i += 8, data += 8) {
        std::uint32_t l = little ? bytes::LoadLE32(data) : bytes::LoadBE32(data);
        std::uint32_t r = little ? bytes::LoadLE32(data + 4) : bytes::LoadBE32(data + 4);
        l ^= v0;
        r ^= v1;
        EncryptWords(l, r);
        v0 = l;
        v1 = r;
        if (little) {
            bytes::StoreLE32(data, l);
            bytes::StoreLE32(data + 4, r);
        } else {
            bytes::StoreBE32(data, l);
            bytes::StoreBE32(data + 4, r);
        }
    }
    iv_[0] = v0;
    iv_[1] = v1;
}

void Blowfish::Decrypt(std::uint8_t* data, std::size_t length) {
    std::uint32_t v0 = iv_[0], v1 = iv_[1];
    const bool little = wordOrder_ == 1;
    for (std::size_t i = 0; i + 8 <= length; i += 8, data += 8) {
        const std::uint32_t c0 = little ? bytes::LoadLE32(data) : bytes::LoadBE32(data);
        const std::uint32_t c1 = little ? bytes::LoadLE32(data + 4) : bytes::LoadBE32(data + 4);
        std::uint32_t l = c0, r = c1;
        DecryptWords(l, r);
        l ^= v0;
        r ^= v1;
        v0 = c0;
        v1 = c1;
        if (little) {
            bytes::StoreLE32(data, l);
            bytes::StoreLE32(data + 4, r);
        } else {
            bytes::StoreBE32(data, l);
            bytes::StoreBE32(data + 4, r);
        }
    }
    iv_[0] = v0;
    iv_[1] = v1;
}

}  // namespace tarnwick
