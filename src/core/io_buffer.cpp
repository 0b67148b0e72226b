#include "core/io_buffer.h"

#include <cstring>
#include <limits>
#include <new>

#include "crypto/secure.h"

namespace tarnwick {

IO_Buffer::IO_Buffer(std::uint32_t capacity)
    : data_(new (std::nothrow) std::uint8_t[capacity == 0 ? 1 : capacity]),
      capacity_(data_ ? capacity : 0) {}

IO_Buffer::~IO_Buffer() = default;

bool IO_Buffer::reserve(long long n) {
    if (n < 0) return false;
    const unsigned long long need =
        static_cast<unsigned long long>(position_) + static_cast<unsigned long long>(n);
    if (need < capacity_) return true;
    if (need >= std::numeric_limits<std::uint32_t>::max() / 2) return false;
    unsigned long long grown = capacity_ == 0 ? 1 : 2ULL * capacity_;
    while (grown <= need)
        grown *= 2;
    std::unique_ptr<std::uint8_t[]> bigger(new (std::nothrow) std::uint8_t[grown]);
    if (!bigger) return false;
    if (length_ > 0) std::memcpy(bigger.get(), data_.get(), length_);
    // The old storage goes back to the allocator, where anybody's next allocation could read it.
    SecureWipe(data_.get(), used_);
    data_ = std::move(bigger);
    capacity_ = static_cast<std::uint32_t>(grown);
    return true;
}

std::uint32_t IO_Buffer::append(const std::uint8_t* bytes, long long n) {
    if (n < 0) return 0;
    if (n == 0) {
        length_ = position_;
        return 0;
    }
    const std::uint8_t* old_data = data_.get();
    const bool own_bytes = bytes >= old_data && bytes < old_data + capacity_;
    const std::size_t own_offset = own_bytes ? static_cast<std::size_t>(bytes - old_data) : 0;
    if (!reserve(n)) return 0;
    // Growing moves the storage, so bytes that pointed into it are found again by offset.
    const std::uint8_t* source = own_bytes ? data_.get() + own_offset : bytes;
    std::uint8_t* target = data_.get() + position_;
    if (source != target) std::memmove(target, source, static_cast<std::size_t>(n));
    position_ += static_cast<std::uint32_t>(n);
    length_ = position_;
    if (length_ > used_) used_ = length_;
    return static_cast<std::uint32_t>(n);
}

void IO_Buffer::Wipe() {
    SecureWipe(data_.get(), used_);
    used_ = length_;
}

bool IO_Buffer::appendByte(std::uint8_t b) {
    return append(&b, 1) == 1;
}

void IO_Buffer::consume(std::uint32_t n) {
    const unsigned long long moved = static_cast<unsigned long long>(position_) + n;
    if (moved >= length_) {
        length_ = 0;
        position_ = 0;
    } else {
        position_ = static_cast<std::uint32_t>(moved);
    }
}

void IO_Buffer::rewindAfterHeader() {
    position_ = length_ < 5 ? length_ : 5;
}

std::string IO_Buffer::readLine() {
    std::string line;
    while (position_ < length_) {
        std::uint8_t c = data_[position_++];
        line.push_back(static_cast<char>(c));
        if (c == 13) break;
    }
    return line;
}

}  // namespace tarnwick
