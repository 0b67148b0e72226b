// One bounds-checked reader and one writer for the binary encodings of the wire protocols: fixed
// big-endian integers, byte runs, strings with a length prefix of 1, 2, 3 or 4 bytes (TLS vectors,
// SSH strings), SSH booleans and mpints. Key blobs, signatures, agent messages, SCP and TLS
// handshake messages are all read and written with these.
//
//   WireReader r(blob);
//   std::string_view name = r.String();
//   BigNum e = r.Mpint(), n = r.Mpint();
//   if (!r.done()) return false;          // a field did not fit, or bytes were left over
//
//   WireWriter w(out);                    // appends to a std::string (or SecureBytes)
//   w.String("ssh-rsa");
//   w.Mpint(e);
//
// A read that does not fit returns the empty or zero value, sets failed() and reads nothing more,
// so a parser can read all its fields and check once at the end. A length prefix is checked
// against what is left before anything is taken; String() also takes an upper bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "crypto/bignum.h"
#include "crypto/secure.h"

namespace tarnwick {

class WireReader {
  public:
    WireReader(const void* data, std::size_t length)
        : data_(static_cast<const std::uint8_t*>(data)), length_(length) {}
    explicit WireReader(std::string_view bytes) : WireReader(bytes.data(), bytes.size()) {}

    std::uint8_t Byte() { return static_cast<std::uint8_t>(Number(1)); }
    bool Boolean() { return Byte() != 0; }
    std::uint16_t Uint16() { return static_cast<std::uint16_t>(Number(2)); }
    std::uint32_t Uint24() { return static_cast<std::uint32_t>(Number(3)); }
    std::uint32_t Uint32() { return static_cast<std::uint32_t>(Number(4)); }
    std::uint64_t Uint64() { return Number(8); }

    // The next n bytes.
    std::string_view Bytes(std::size_t n) {
        if (failed_ || n > length_ - at_) return Fail(), std::string_view();
        std::string_view s(reinterpret_cast<const char*>(data_ + at_), n);
        at_ += n;
        return s;
    }
    // An SSH string: a 4-byte length, then that many bytes (at most limit).
    std::string_view String(std::size_t limit = std::numeric_limits<std::size_t>::max()) {
        return Prefixed(4, limit);
    }
    // A TLS vector with a 1-, 2- or 3-byte length prefix.
    std::string_view String8() { return Prefixed(1, 0xFF); }
    std::string_view String16() { return Prefixed(2, 0xFFFF); }
    std::string_view String24() { return Prefixed(3, 0xFFFFFF); }

    // An SSH mpint (two's complement, big-endian, in a string).
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
    std::size_t position() const { return at_; }
    // What has not been read yet.
    std::string_view rest() const {
        return std::string_view(reinterpret_cast<const char*>(data_ + at_), length_ - at_);
    }
    bool failed() const { return failed_; }
    // Every field fitted and every byte was read.
    bool done() const { return !failed_ && at_ == length_; }

  private:
    std::uint64_t Number(std::size_t bytes) {
        if (failed_ || bytes > length_ - at_) return Fail(), 0;
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i)
            value = (value << 8) | data_[at_ + i];
        at_ += bytes;
        return value;
    }
    std::string_view Prefixed(std::size_t prefix, std::size_t limit) {
        const std::uint64_t n = Number(prefix);
        if (failed_ || n > limit || n > length_ - at_) return Fail(), std::string_view();
        return Bytes(static_cast<std::size_t>(n));
    }
    void Fail() {
        failed_ = true;
        at_ = length_;
    }

    const std::uint8_t* data_;
    std::size_t length_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

// Appends wire encodings to a byte container (std::string, or SecureBytes for secrets).
template <typename Out>
class BasicWireWriter {
  public:
    explicit BasicWireWriter(Out& out) : out_(out) {}

    BasicWireWriter& Byte(std::uint8_t v) {
        out_.push_back(static_cast<typename Out::value_type>(v));
        return *this;
    }
    BasicWireWriter& Boolean(bool v) { return Byte(v ? 1 : 0); }
    BasicWireWriter& Uint16(std::uint16_t v) { return Number(v, 2); }
    BasicWireWriter& Uint24(std::uint32_t v) { return Number(v, 3); }
    BasicWireWriter& Uint32(std::uint32_t v) { return Number(v, 4); }
    BasicWireWriter& Uint64(std::uint64_t v) { return Number(v, 8); }
    BasicWireWriter& Bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + n);
        return *this;
    }
    BasicWireWriter& Bytes(std::string_view bytes) { return Bytes(bytes.data(), bytes.size()); }
    // An SSH string.
    BasicWireWriter& String(const void* data, std::size_t n) {
        Uint32(static_cast<std::uint32_t>(n));
        return Bytes(data, n);
    }
    BasicWireWriter& String(std::string_view bytes) { return String(bytes.data(), bytes.size()); }
    // TLS vectors; the caller keeps each within its prefix's range.
    BasicWireWriter& String8(std::string_view bytes) {
        return Number(bytes.size(), 1).Bytes(bytes);
    }
    BasicWireWriter& String16(std::string_view bytes) {
        return Number(bytes.size(), 2).Bytes(bytes);
    }
    BasicWireWriter& String24(std::string_view bytes) {
        return Number(bytes.size(), 3).Bytes(bytes);
    }
    // An SSH mpint; false (and nothing written) when the number cannot be encoded.
    bool Mpint(const BigNum& number) {
        SecureBytes wire = number.ToMpint();
        if (wire.empty()) return false;
        Bytes(wire.data(), wire.size());
        return true;
    }

  private:
    BasicWireWriter& Number(std::uint64_t v, std::size_t bytes) {
        for (std::size_t i = bytes; i-- > 0;)
            Byte(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }

    Out& out_;
};

using WireWriter = BasicWireWriter<std::string>;
using SecureWireWriter = BasicWireWriter<SecureBytes>;

}  // namespace tarnwick
