#include "crypto/hmac.h"

#include <cstring>

#include "crypto/md5.h"
#include "crypto/secure.h"
#include "crypto/sha1.h"

namespace tarnwick {
namespace {

// Absorbs the key XORed with the pad byte, zero-extended to the hash's block, into a fresh state.
void AbsorbPad(Hash& hash, const std::uint8_t* key, std::size_t keyLength, std::uint8_t pad) {
    std::uint8_t block[Hash::kMaxBlockSize];
    const std::size_t size = static_cast<std::size_t>(hash.BlockSize());
    for (std::size_t i = 0; i < size; ++i) {
        block[i] = static_cast<std::uint8_t>((i < keyLength ? key[i] : 0) ^ pad);
    }
    hash.Init();
    hash.Update(block, size);
    SecureWipe(block, size);
}

template <typename Digest>
void OneShot(const std::uint8_t* data, std::size_t dataLength, const std::uint8_t* key,
             std::size_t keyLength, std::uint8_t* out) {
    std::uint8_t shortKey[Digest::kDigestSize];
    if (keyLength > static_cast<std::size_t>(Digest::kBlockSize)) {
        Digest::Digest(key, keyLength, shortKey);
        key = shortKey;
        keyLength = sizeof(shortKey);
    }
    Digest hash;
    AbsorbPad(hash, key, keyLength, 0x36);
    hash.Update(data, dataLength);
    std::uint8_t inner[Digest::kDigestSize];
    hash.Final(inner);
    AbsorbPad(hash, key, keyLength, 0x5c);
    hash.Update(inner, sizeof(inner));
    hash.Final(out);
    SecureWipe(inner, sizeof(inner));
    SecureWipe(shortKey, sizeof(shortKey));
}

}  // namespace

HMAC::HMAC(std::unique_ptr<Hash> inner, const std::uint8_t* key, std::size_t keyLength)
    : inner_(std::move(inner)) {
    std::uint8_t shortKey[kMaxDigestSize];
    if (keyLength > static_cast<std::size_t>(inner_->BlockSize())) {
        inner_->Init();
        inner_->Update(key, keyLength);
        inner_->Final(shortKey);
        key = shortKey;
        keyLength = static_cast<std::size_t>(inner_->DigestSize());
    }
    innerStart_ = inner_->Clone();
    outerStart_ = inner_->Clone();
    AbsorbPad(*innerStart_, key, keyLength, 0x36);
    AbsorbPad(*outerStart_, key, keyLength, 0x5c);
    SecureWipe(shortKey, sizeof(shortKey));
    Init();
}

HMAC::HMAC(const HMAC& other)
    : inner_(other.inner_->Clone()),
      innerStart_(other.innerStart_->Clone()),
      outerStart_(other.outerStart_->Clone()) {}

void HMAC::Init() {
    inner_->CopyStateFrom(*innerStart_);
}

void HMAC::Update(const void* data, std::size_t length) {
    inner_->Update(data, length);
}

void HMAC::Final(std::uint8_t* out) {
    std::uint8_t innerDigest[kMaxDigestSize];
    const std::size_t size = static_cast<std::size_t>(inner_->DigestSize());
    inner_->Final(innerDigest);
    inner_->CopyStateFrom(*outerStart_);
    inner_->Update(innerDigest, size);
    inner_->Final(out);
    SecureWipe(innerDigest, sizeof(innerDigest));
}

std::unique_ptr<Hash> HMAC::Clone() const {
    return std::make_unique<HMAC>(*this);
}

bool HMAC::CopyStateFrom(const Hash& other) {
    const HMAC* same = dynamic_cast<const HMAC*>(&other);
    if (same == nullptr) return false;
    if (same == this) return true;
    // Only the same inner kind can take over the states without allocating.
    if (!inner_->CopyStateFrom(*same->inner_)) return false;
    innerStart_->CopyStateFrom(*same->innerStart_);
    outerStart_->CopyStateFrom(*same->outerStart_);
    return true;
}

void HmacSha1(const std::uint8_t* data, std::size_t dataLength, const std::uint8_t* key,
              std::size_t keyLength, std::uint8_t out[20]) {
    OneShot<CSHA1>(data, dataLength, key, keyLength, out);
}

void HmacMd5(const std::uint8_t* data, std::size_t dataLength, const std::uint8_t* key,
             std::size_t keyLength, std::uint8_t out[16]) {
    OneShot<CMD5>(data, dataLength, key, keyLength, out);
}

}  // namespace tarnwick
