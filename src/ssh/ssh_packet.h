// SSHPacket: the buffer every SSH message is built in and parsed from. It writes and reads the SSH
// wire encodings (byte, boolean, uint32, string, mpint) at its position, and compresses or
// decompresses its payload for the SSH2 "zlib" method.
//
//   SSHPacket p;
//   p.beginPayload();                    // room for the 5-byte SSH2 header
//   p.appendByte(kMsgServiceRequest);
//   p.putCString("ssh-userauth");
//   p.finish();                          // then hand it to the send path
//
// Every read is bounds-checked: a read that does not fit in what is left returns the empty or
// zero value, does not move past the data, and sets readFailed(), so that a parser can read all
// its fields and check once at the end.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/io_buffer.h"

namespace tarnwick {

class BigNum;

class SSHPacket : public IO_Buffer {
  public:
    static constexpr std::uint32_t kCapacity = 35000;
    // The room the compression hooks give one payload. Larger results grow the buffer up to
    // kMaxInflated; the peer announced packet sizes keep real traffic well below that.
    static constexpr std::uint32_t kWorkArea = 34990;
    static constexpr std::uint32_t kMaxInflated = 256 * 1024;

    explicit SSHPacket(std::uint32_t capacity = kCapacity);
    // Packets hold decrypted data and passwords: nothing of them outlives the packet.
    ~SSHPacket() override;

    // SSH protocol 1 only: the packet type byte.
    std::uint32_t messageType = 0;
    // Padding length byte of the packet.
    std::uint32_t paddingLength = 0;
    // 5 for a framed SSH2 packet, 0 after a reset.
    std::uint32_t headerLength = 0;
    // For an incoming SSH2 packet: bytes from data start that make the whole packet with its MAC.
    std::uint32_t expectedEnd = 0;
    // Compress this packet with Z_FULL_FLUSH: nothing compressed after it may refer back to its
    // bytes (a password, say), so the length of later packets tells nothing about them.
    bool fullFlush = false;

    // payload = data; length, position and the header fields = 0. Clears readFailed().
    void reset();
    // payload = data + 5; position = 5; length raised to 5.
    void beginPayload();
    // position = payload start; length raised to it.
    void seekPayload();
    void skip(std::uint32_t n);

    // Writers: at position, length raised to position. They fail (false) only when memory runs
    // out; a packet that failed to grow keeps its old content.
    bool putBytes(const void* bytes, std::uint32_t n);
    bool putByte(std::uint8_t b) { return putBytes(&b, 1); }
    bool putBoolean(bool b) { return putByte(b ? 1 : 0); }
    bool putUint32(std::uint32_t v);
    bool putString(const void* bytes, std::uint32_t n);
    bool putString(std::string_view text) {
        return putString(text.data(), static_cast<std::uint32_t>(text.size()));
    }
    bool putCString(const char* text);
    bool putMpint(const BigNum& number);

    // Readers, bounded by the data's length.
    std::uint8_t getByte();
    bool getBoolean() { return getByte() != 0; }
    std::uint32_t getUint32();
    std::uint32_t peekUint32() const;
    std::uint32_t peekUint32At(std::uint32_t offset) const;
    // A copy of the next string; empty (and position left before its body) when the declared
    // length does not fit.
    std::string getString();
    // The next string in place, without a copy; false (and an empty view) when it does not fit.
    bool getStringView(std::string_view* out);
    // Moves past the next string when it fits; returns its declared length.
    std::uint32_t skipString();
    // The next mpint; zero when the declared length does not fit.
    BigNum getMpint();
    // Reads a string from other and appends its body to the end of this packet's data; this
    // packet's position stays where it was.
    bool appendStringFrom(SSHPacket& other);

    // Bytes left to read from position.
    std::uint32_t readable() const { return remaining(); }
    bool readFailed() const { return read_failed_; }
    void clearReadFailed() { read_failed_ = false; }

    void setLengthField(std::uint32_t v);
    // payload = data + 5; length = position; headerLength = 5.
    void finish();
    // Makes this packet a copy of other.
    bool copyFrom(const SSHPacket& other);

    // Deflates the payload (length - headerLength bytes after the payload start) with
    // Z_SYNC_FLUSH (Z_FULL_FLUSH with fullFlush) and puts the result in its place; length =
    // position = end of the result. Returns status::kOk or kCompressionFailed.
    [[nodiscard]] int compressPayload(z_stream* stream);
    // Inflates the payload (length - headerLength bytes) with Z_SYNC_FLUSH and puts the result in
    // its place; position returns to the payload start. Returns status::kOk or
    // kDecompressionFailed.
    [[nodiscard]] int decompressPayload(z_stream* stream);

  private:
    int Rewrite(z_stream* stream, bool compress);

    bool read_failed_ = false;
};

// Makes zlib allocate the stream's memory (its window holds what was sent or received) in blocks
// that are wiped when zlib frees them. Call before deflateInit or inflateInit.
void UseWipingZlibAllocator(z_stream* stream);

}  // namespace tarnwick
