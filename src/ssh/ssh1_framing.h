// The SSH protocol 1 binary packet format of one connection, without any I/O:
//
//   uint32 length L    type + payload + CRC (the padding is not counted); never encrypted
//   padding            8 - (L mod 8) octets: 1 to 8, so that what follows the length is whole
//   blocks byte type payload            L - 5 octets uint32 CRC         CRC-32 (crypto/crc32.h) of
//   padding, type and payload
//
// Everything after the length field is encrypted once the session key is in force. The framing
// turns a finished outgoing message into wire bytes and cuts the byte stream from the server back
// into checked, decrypted packets. IO_SSH1 owns one and serialises each direction with its lock.
//
//   packet.beginPayload(); packet.putByte(type); ...; packet.finish();
//   framing.Seal(packet, random);          // packet.data()[0, packet.size()) goes on the wire
//   framing.Feed(bytes, n, [&](SSHPacket& p) { return Dispatch(p); });
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "crypto/encryptor.h"
#include "ssh/ssh_packet.h"

namespace tarnwick {

class RandomGenerator;

namespace ssh1 {

// Cipher numbers of the session-key message (the ssh_cipher setting takes these three).
enum Cipher : int { kCipherDes = 2, kCipher3Des = 3, kCipherBlowfish = 6 };

// The cipher object for a cipher number, keyed from the 32-octet session key with zero chaining
// values and set to one direction; nullptr for any other number.
std::unique_ptr<Encryptor> MakeCipher(int number, bool encrypt, const std::uint8_t* session_key);
// "DES", "3DES", "Blowfish", or nullptr.
const char* CipherName(int number);

}  // namespace ssh1

// The CRC-32 of SSH-1 is linear, so someone on the path who knows some plain text can splice
// chosen blocks into a CBC stream and fix the CRC up with further blocks (the CRC compensation
// attack). Such a splice must repeat cipher blocks; a repeated 8-octet block in honest cipher text
// has a chance of about 2^-64 per pair. The detector therefore refuses any packet in which a cipher
// block equals an earlier one of the same packet or the last block of the packet before it (the
// chaining value the first block depends on).
//
// Sorting the blocks finds every repeat in O(n log n) for any input: no table whose size or
// probing a hostile sender could steer, and no size arithmetic beyond the bounded packet length.
class CompensationAttackDetector {
  public:
    // length is a multiple of 8 and at most SSH1Framing::kMaxWire octets; previous is the block
    // that preceded the packet in the stream.
    bool Detect(const std::uint8_t* cipher_text, std::size_t length,
                const std::uint8_t previous[8]);

  private:
    std::vector<std::uint64_t> blocks_;  // kept between packets to avoid reallocating
};

class SSH1Framing {
  public:
    // The length field of an incoming packet is refused outside these bounds before anything is
    // allocated for it: 5 is the type and the CRC alone, and 256 KB is far above the 35000-octet
    // packets a server is asked to keep to.
    static constexpr std::uint32_t kMinLength = 5;
    static constexpr std::uint32_t kMaxLength = 262144;
    // The most octets after the length field: the longest packet with 8 octets of padding.
    static constexpr std::uint32_t kMaxWire = kMaxLength + 8;

    // Why Feed refused the stream.
    enum class Fault { kNone, kLength, kCrc, kAttack };

    SSH1Framing();
    ~SSH1Framing();
    SSH1Framing(const SSH1Framing&) = delete;
    SSH1Framing& operator=(const SSH1Framing&) = delete;

    // ---- Outgoing ----
    void SetOutgoing(std::unique_ptr<Encryptor> cipher);
    bool OutgoingEncrypted() const { return out_cipher_ != nullptr; }
    // Frames a finished message (beginPayload, the type byte, its fields, finish): padding
    // (random once a cipher is in force, zeros before), CRC, length field, encryption. Returns 0,
    // kBadPacket for an empty or oversized message, or kOutOfMemory.
    [[nodiscard]] int Seal(SSHPacket& packet, RandomGenerator& random);

    // ---- Incoming ----
    void SetIncoming(std::unique_ptr<Encryptor> cipher);
    bool IncomingEncrypted() const { return in_cipher_ != nullptr; }
    void SetCheckCrc(bool on) { check_crc_ = on; }

    // The handler gets each packet with its position (and payload start) at the type byte and
    // its length ending before the CRC. It may change the incoming cipher; the next packet uses
    // the new one.
    using Handler = std::function<int(SSHPacket& packet)>;
    // Adds bytes and hands every complete packet to handler, in order. Returns 0 once every byte
    // is used or kept for the next call; the handler's first non-zero status (which ends the
    // feed); kBadPacket for a length out of bounds or a detected attack, kMacFailed for a CRC
    // mismatch (fault() tells which), kOutOfMemory. After a failure the stream is not resumed.
    [[nodiscard]] int Feed(const std::uint8_t* data, std::size_t length, const Handler& handler);
    Fault fault() const { return fault_; }
    // The refused length field, for the message.
    std::uint32_t fault_length() const { return length_; }
    bool Assembling() const { return assembled_ > 0; }

  private:
    int Fail(Fault fault, int status);

    std::unique_ptr<Encryptor> out_cipher_;
    std::unique_ptr<Encryptor> in_cipher_;
    bool check_crc_ = true;

    // Grown only for a packet longer than the usual buffer, after wiping what it held, so no
    // copy of decrypted data is left behind.
    SSHPacket in_;
    std::uint32_t high_water_ = 0;  // the most octets of in_ ever used: what the wipe covers
    std::uint32_t assembled_ = 0;
    std::uint32_t length_ = 0;  // L of the packet being assembled
    std::uint32_t total_ = 0;   // 4 + padding + L, once the length field is in
    std::uint8_t previous_block_[8] = {};
    CompensationAttackDetector detector_;
    Fault fault_ = Fault::kNone;
};

}  // namespace tarnwick
