#include "crypto/secure.h"

#include <cstring>

namespace tarnwick {

void SecureWipe(void* data, std::size_t n) {
    if (data == nullptr || n == 0) return;
    std::memset(data, 0, n);
    // The empty asm that claims to read the memory keeps the compiler from treating the memset as
    // a dead store before a free.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

int ConstantTimeEqual(const void* a, const void* b, std::size_t n) {
    const volatile std::uint8_t* x = static_cast<const volatile std::uint8_t*>(a);
    const volatile std::uint8_t* y = static_cast<const volatile std::uint8_t*>(b);
    std::uint32_t diff = 0;
    for (std::size_t i = 0; i < n; ++i)
        diff |= static_cast<std::uint32_t>(x[i] ^ y[i]);
    // diff is 0..255: (diff - 1) has its top bit set exactly when diff was 0.
    return static_cast<int>(((diff - 1) >> 31) & 1);
}

}  // namespace tarnwick
