// Helpers for secret data: wiping memory so that the compiler cannot drop the writes, comparing
// MACs and digests in constant time, and a byte container that wipes its storage when it lets go.
//
//   SecureWipe(key, sizeof key);                       // before the key's storage is reused
//   if (!ConstantTimeEqual(mac, expected, 20)) ...     // never memcmp for MACs or digests
//   SecureBytes secret(48);                            // wiped when freed or reallocated
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace tarnwick {

// Overwrites n bytes with zeros; the writes are kept even when the memory is freed next.
void SecureWipe(void* data, std::size_t n);

// 1 when the n bytes at a and b are equal, else 0. The time taken depends only on n, so an
// attacker who can measure it learns nothing about where the first difference lies.
int ConstantTimeEqual(const void* a, const void* b, std::size_t n);

// An allocator that wipes every block before giving it back.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) {}  // NOLINT: allocators convert implicitly
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) {
        SecureWipe(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const {
        return true;
    }
};

// Bytes of key material, pass phrases and other secrets.
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
// Text that holds plain data of a connection. A short text lives inside the object itself, which
// is not wiped; the long ones, where most data is, are.
using SecureString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

}  // namespace tarnwick
