// Pieces the wrappers around libcrypto share (used inside src/crypto only).
#pragma once

#include <cstddef>

typedef struct evp_cipher_st EVP_CIPHER;

namespace tarnwick::libcrypto {

enum class AesMode { kCtr, kGcm };

// AES in the mode for a 16-, 24- or 32-byte key, fetched once (an explicit fetch spares every
// initialisation the implicit look-up); null for other key lengths.
const EVP_CIPHER* Aes(AesMode mode, std::size_t keyLength);

// Refusals leave reasons on libcrypto's per-thread error queue. Ours are reported by result, so
// the queue is emptied on the way out and other users of libcrypto see none of them.
struct ErrorQueueGuard {
    ErrorQueueGuard() = default;
    ErrorQueueGuard(const ErrorQueueGuard&) = delete;
    ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
    ~ErrorQueueGuard();
};

}  // namespace tarnwick::libcrypto
