// The growable byte buffer in which data crosses the layers of a chain. SSH and SSL packets derive
// from it. Not synchronised: a buffer changes hands whole.
//
// Decrypted data passes through these buffers, so storage that growing leaves behind is wiped
// before it is freed, and Wipe clears every byte the buffer has held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnwick {

class IO_Buffer {
  public:
    explicit IO_Buffer(std::uint32_t capacity = 256);
    virtual ~IO_Buffer();
    IO_Buffer(const IO_Buffer&) = delete;
    IO_Buffer& operator=(const IO_Buffer&) = delete;

    // Guarantees room for n more bytes at position. False when n is negative or memory runs out.
    bool reserve(long long n);
    // Copies n bytes to position (no copy when they already are the buffer's own bytes there);
    // position += n; length = position. Returns n, or 0 on failure.
    std::uint32_t append(const std::uint8_t* bytes, long long n);
    std::uint32_t append(const char* bytes, long long n) {
        return append(reinterpret_cast<const std::uint8_t*>(bytes), n);
    }
    bool appendByte(std::uint8_t b);
    // position += n; once position reaches or passes length, both drop to 0.
    void consume(std::uint32_t n);
    std::uint8_t* readPointer() { return data_.get() + position_; }
    const std::uint8_t* readPointer() const { return data_.get() + position_; }
    std::uint32_t remaining() const { return length_ > position_ ? length_ - position_ : 0; }
    std::uint32_t size() const { return length_; }
    // position = 5, or length when length is below 5.
    void rewindAfterHeader();
    // The bytes from position up to and including the first carriage return, or up to length;
    // position moves past them.
    std::string readLine();

    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::uint8_t* payload() { return data_.get() + payload_offset_; }
    std::uint32_t payloadOffset() const { return payload_offset_; }
    void setPayloadOffset(std::uint32_t offset) { payload_offset_ = offset; }
    std::uint32_t capacity() const { return capacity_; }
    std::uint32_t position() const { return position_; }
    void setPosition(std::uint32_t position) { position_ = position; }
    // Sets the count of valid bytes; callers that fill data() directly (a socket read) use it.
    // Clamped to the capacity.
    void setLength(std::uint32_t length) {
        length_ = length <= capacity_ ? length : capacity_;
        if (length_ > used_) used_ = length_;
    }
    void clear() { length_ = position_ = 0; }
    // Overwrites every byte the buffer has held with zeros (length and position stay).
    void Wipe();

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::uint32_t payload_offset_ = 0;
    std::uint32_t length_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t position_ = 0;
    // How far the data has ever reached: what Wipe and a regrowth must clear.
    std::uint32_t used_ = 0;
};

}  // namespace tarnwick
