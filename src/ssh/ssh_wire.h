// A bounds-checked reader of SSH wire encodings over bytes that are not a packet: key blobs,
// signature blobs, agent messages. Like SSHPacket's readers, a read that does not fit returns the
// empty or zero value and sets failed(); check once after the last field (done() also insists
// that nothing is left over).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/bignum.h"

namespace tarnwick {

class WireReader {
  public:
    WireReader(const void* data, std::size_t length)
        : data_(static_cast<const std::uint8_t*>(data)), length_(length) {}
    explicit WireReader(std::string_view bytes) : WireReader(bytes.data(), bytes.size()) {}

    std::uint8_t Byte() {
        if (length_ - at_ < 1) return Fail(), 0;
        return data_[at_++];
    }
    bool Boolean() { return Byte() != 0; }
    std::uint32_t Uint32() {
        if (length_ - at_ < 4) return Fail(), 0;
        const std::uint8_t* p = data_ + at_;
        at_ += 4;
        return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
               (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
    }
    std::string_view String() {
        std::uint32_t n = Uint32();
        if (failed_ || n > length_ - at_) return Fail(), std::string_view();
        std::string_view s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }
    BigNum Mpint() {
        BigNum number;
        std::size_t used = 0;
        if (failed_ || !number.SetMpint(data_ + at_, length_ - at_, &used)) {
            Fail();
            number.SetZero();
            return number;
        }
        at_ += used;
        return number;
    }
    std::size_t left() const { return length_ - at_; }
    bool failed() const { return failed_; }
    // Every field fitted and every byte was read.
    bool done() const { return !failed_ && at_ == length_; }

  private:
    void Fail() {
        failed_ = true;
        at_ = length_;
    }

    const std::uint8_t* data_;
    std::size_t length_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

}  // namespace tarnwick
