#include "crypto/sha2.h"

#include <openssl/evp.h>

#include <cstring>

namespace tarnwick {
namespace {

struct Sha2Info {
    const char* name;
    int digestSize;
    int blockSize;
};

constexpr Sha2Info kInfo[] = {{"SHA2-256", 32, 64}, {"SHA2-384", 48, 128}, {"SHA2-512", 64, 128}};

// Fetched once: an explicit fetch spares every Init the implicit look-up of the legacy getters.
const EVP_MD* Md(int index) {
    static const EVP_MD* const mds[3] = {EVP_MD_fetch(nullptr, kInfo[0].name, nullptr),
                                         EVP_MD_fetch(nullptr, kInfo[1].name, nullptr),
                                         EVP_MD_fetch(nullptr, kInfo[2].name, nullptr)};
    return mds[index];
}

}  // namespace

Sha2Hash::Sha2Hash(Kind kind) : kind_(kind) {
    ctx_ = EVP_MD_CTX_new();
    Init();
}

Sha2Hash::Sha2Hash(const Sha2Hash& other) : Hash(other), kind_(other.kind_) {
    ctx_ = EVP_MD_CTX_new();
    CopyFrom(other);
}

Sha2Hash& Sha2Hash::operator=(const Sha2Hash& other) {
    if (this != &other) {
        kind_ = other.kind_;
        CopyFrom(other);
    }
    return *this;
}

Sha2Hash::~Sha2Hash() {
    // Freeing the context wipes libcrypto's copy of the state.
    EVP_MD_CTX_free(ctx_);
}

void Sha2Hash::CopyFrom(const Sha2Hash& other) {
    failed_ = other.failed_ || ctx_ == nullptr || EVP_MD_CTX_copy_ex(ctx_, other.ctx_) != 1;
}

void Sha2Hash::Init() {
    const EVP_MD* md = Md(static_cast<int>(kind_));
    failed_ = ctx_ == nullptr || md == nullptr || EVP_DigestInit_ex2(ctx_, md, nullptr) != 1;
}

void Sha2Hash::Update(const void* data, std::size_t length) {
    if (failed_ || length == 0) return;
    if (EVP_DigestUpdate(ctx_, data, length) != 1) failed_ = true;
}

void Sha2Hash::Final(std::uint8_t* out) {
    const std::size_t size = static_cast<std::size_t>(DigestSize());
    unsigned int written = 0;
    if (failed_ || EVP_DigestFinal_ex(ctx_, out, &written) != 1 || written != size) {
        failed_ = true;
        std::memset(out, 0, size);
    }
}

int Sha2Hash::DigestSize() const {
    return kInfo[static_cast<int>(kind_)].digestSize;
}

int Sha2Hash::BlockSize() const {
    return kInfo[static_cast<int>(kind_)].blockSize;
}

bool Sha2Hash::CopyStateFrom(const Hash& other) {
    const Sha2Hash* same = dynamic_cast<const Sha2Hash*>(&other);
    if (same == nullptr || same->kind_ != kind_) return false;
    if (same != this) CopyFrom(*same);
    return true;
}

void Sha2Hash::OneShot(Kind kind, const void* data, std::size_t length, std::uint8_t* out) {
    const int index = static_cast<int>(kind);
    const EVP_MD* md = Md(index);
    if (md == nullptr || EVP_Digest(data, length, out, nullptr, md, nullptr) != 1) {
        std::memset(out, 0, static_cast<std::size_t>(kInfo[index].digestSize));
    }
}

}  // namespace tarnwick
