#include "crypto/bcrypt_pbkdf.h"

#include <cstring>

#include "crypto/blowfish.h"
#include "crypto/byte_order.h"
#include "crypto/secure.h"
#include "crypto/sha2.h"

namespace tarnwick {
namespace {

constexpr std::size_t kWords = 8;
constexpr std::size_t kHashBytes = kWords * 4;

// One inner hash: Blowfish keyed by the passphrase digest and salted with the salt digest, then
// the 64-fold encryption of a fixed text, written out as little-endian words.
void BcryptHash(const std::uint8_t passDigest[64], const std::uint8_t saltDigest[64],
                std::uint8_t out[kHashBytes]) {
    static const char kText[] = "OxychromaticBlowfishSwatDynamite";
    Blowfish cipher(0);
    cipher.SetSaltedKey(saltDigest, 64, passDigest, 64);
    for (int i = 0; i < 64; ++i) {
        cipher.SetKey(saltDigest, 64);
        cipher.SetKey(passDigest, 64);
    }
    std::uint32_t words[kWords];
    for (std::size_t i = 0; i < kWords; ++i)
        words[i] = bytes::LoadBE32(reinterpret_cast<const std::uint8_t*>(kText) + 4 * i);
    for (int i = 0; i < 64; ++i) {
        for (std::size_t j = 0; j < kWords; j += 2)
            cipher.EncryptWords(words[j], words[j + 1]);
    }
    for (std::size_t i = 0; i < kWords; ++i)
        bytes::StoreLE32(out + 4 * i, words[i]);
    SecureWipe(words, sizeof(words));
}

}  // namespace

bool BcryptPbkdf(const std::uint8_t* passphrase, std::size_t passphraseLength,
                 const std::uint8_t* salt, std::size_t saltLength, std::uint32_t rounds,
                 std::uint8_t* out, std::size_t outLength) {
    if (passphraseLength == 0 || saltLength == 0 || rounds == 0 || rounds > kBcryptMaxRounds ||
        outLength == 0 || outLength > kBcryptMaxKey) {
        return false;
    }
    const std::size_t stride = (outLength + kHashBytes - 1) / kHashBytes;
    const std::size_t perBlock = (outLength + stride - 1) / stride;

    std::uint8_t passDigest[64], saltDigest[64];
    std::uint8_t block[kHashBytes], step[kHashBytes];
    CSHA512::Digest(passphrase, passphraseLength, passDigest);
    std::size_t left = outLength;
    for (std::uint32_t count = 1; left > 0; ++count) {
        std::uint8_t counter[4];
        bytes::StoreBE32(counter, count);
        CSHA512 sha;
        sha.Update(salt, saltLength);
        sha.Update(counter, 4);
        sha.Final(saltDigest);
        BcryptHash(passDigest, saltDigest, step);
        std::memcpy(block, step, sizeof(block));
        for (std::uint32_t round = 1; round < rounds; ++round) {
            CSHA512::Digest(step, sizeof(step), saltDigest);
            BcryptHash(passDigest, saltDigest, step);
            for (std::size_t j = 0; j < kHashBytes; ++j)
                block[j] ^= step[j];
        }
        // Byte i of block count goes to position i * stride + count - 1.
        std::size_t i = 0;
        for (; i < perBlock && i < left; ++i) {
            const std::size_t at = i * stride + (count - 1);
            if (at >= outLength) break;
            out[at] = block[i];
        }
        left -= i;
    }
    SecureWipe(passDigest, sizeof(passDigest));
    SecureWipe(saltDigest, sizeof(saltDigest));
    SecureWipe(block, sizeof(block));
    SecureWipe(step, sizeof(step));
    return true;
}

}  // namespace tarnwick
