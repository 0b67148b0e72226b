// The SSH2 binary packet protocol of one connection, without any I/O: it turns a finished
// outgoing packet into the bytes for the wire (compression, padding, MAC, encryption, sequence
// number) and cuts the byte stream from the server back into checked, decrypted and decompressed
// packets. IO_SSH2 owns one and serialises each direction with its own lock.
//
//   framing.Seal(packet, random);           // packet.data()[0, packet.size()) goes on the wire
//   framing.Feed(bytes, n, &used, [&](SSHPacket& p) { return Dispatch(p); });
#pragma once

#include <zlib.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "crypto/aead.h"
#include "crypto/encryptor.h"
#include "crypto/hmac.h"
#include "ssh/ssh_packet.h"

namespace tarnwick {

class RandomGenerator;

// The keys of one direction as a key exchange installs them: a block cipher with a MAC (computed
// over the plain packet, or with etm over the encrypted one, the length then travelling in
// clear), or one of the two AEAD constructions. Nothing at all: no cipher, no MAC.
struct SSH2DirectionKeys {
    std::unique_ptr<Encryptor> cipher;
    std::unique_ptr<HMAC> mac;
    bool etm = false;
    std::unique_ptr<SshAesGcm> gcm;
    std::unique_ptr<SshChaChaPoly> chacha;
};

class SSH2Framing {
  public:
    // The largest packet accepted: what follows the first block, MAC included.
    static constexpr std::uint32_t kMaxRest = 34996;
    // A handler result that stops Feed after the packet just handled; the bytes after it are
    // reported as not used.
    static constexpr int kStopAfterThis = -1;

    SSH2Framing();
    ~SSH2Framing();
    SSH2Framing(const SSH2Framing&) = delete;
    SSH2Framing& operator=(const SSH2Framing&) = delete;

    // ---- Outgoing ----
    // New keys for what is sent from now on (nullptr cipher or MAC: none).
    void SetOutgoing(SSH2DirectionKeys keys);
    void SetOutgoing(std::unique_ptr<Encryptor> cipher, std::unique_ptr<HMAC> mac);
    // Turns the finished packet (header and payload, length = end of payload) into wire bytes:
    // compressed when outgoing compression is on, padded, MACed, encrypted, the MAC appended.
    // Returns 0 or 23 (compression failed) or 13 (no memory).
    [[nodiscard]] int Seal(SSHPacket& packet, RandomGenerator& random);
    bool StartCompression();  // deflateInit at the default level; false on failure
    // RFC 4253, 6.2: "The compression context is initialized after each key exchange". A
    // running stream starts again (nothing when compression is off); false on failure.
    bool RestartCompression();
    bool CompressionActive() const { return deflating_; }
    std::uint32_t OutgoingSequence() const { return out_sequence_; }
    // Strict key exchange: numbering starts again after every NEWKEYS.
    void ResetOutgoingSequence() { out_sequence_ = 0; }
    bool OutgoingEncrypted() const { return out_keys_.Encrypts(); }
    // Wire bytes sealed since the outgoing keys were last set.
    std::uint64_t OutgoingBytes() const { return out_bytes_.load(); }

    // ---- Incoming ----
    void SetIncoming(SSH2DirectionKeys keys);
    void SetIncoming(std::unique_ptr<Encryptor> cipher, std::unique_ptr<HMAC> mac);
    bool StartDecompression();
    bool RestartDecompression();
    bool DecompressionActive() const { return inflating_; }
    std::uint32_t IncomingSequence() const { return in_sequence_; }
    void ResetIncomingSequence() { in_sequence_ = 0; }
    // Wire bytes taken since the incoming keys were last set (readable from any thread).
    std::uint64_t IncomingBytes() const { return in_bytes_.load(); }

    using Handler = std::function<int(SSHPacket& packet)>;
    // Adds bytes to the packet being assembled and hands every complete packet to handler, in
    // order. The handler may change the incoming keys; the next packet uses them. Returns 0 once
    // every byte is used or kept for the next call; the handler's non-zero status (which ends
    // the feed); 19 for a MAC or tag mismatch, 20 for an impossible packet length or padding, 24
    // when decompression fails, 13 without memory. *used receives how many bytes were taken (all of
    // them unless the handler stopped early).
    [[nodiscard]] int Feed(const std::uint8_t* data, std::size_t length, std::size_t* used,
                           const Handler& handler);
    // True while part of a packet is held.
    bool Assembling() const { return assembled_ > 0; }

  private:
    // One direction's keys and what follows from them for the packet layout.
    struct Keys : SSH2DirectionKeys {
        Keys& operator=(SSH2DirectionKeys&& keys) {
            static_cast<SSH2DirectionKeys&>(*this) = std::move(keys);
            return *this;
        }
        bool Encrypts() const { return cipher || gcm || chacha; }
        // The 4-byte length stays out of the padding's block arithmetic (and, but for
        // chacha20-poly1305, out of the encryption).
        bool LengthApart() const { return etm || gcm || chacha; }
        std::uint32_t Block() const;
        std::uint32_t TagLength() const;
    };

    int Reject();
    // Checks and decrypts a whole packet in the buffer (MAC or tag, then the cipher).
    int OpenPacket();

    Keys out_keys_;
    Keys in_keys_;
    std::uint32_t out_sequence_ = 0;
    std::uint32_t in_sequence_ = 0;
    std::atomic<std::uint64_t> out_bytes_{0};
    std::atomic<std::uint64_t> in_bytes_{0};

    z_stream deflate_{};
    z_stream inflate_{};
    bool deflating_ = false;
    bool inflating_ = false;

    // The packet being assembled: the first block once it is complete and decrypted tells how
    // many bytes make the whole packet.
    // Room for the largest packet allowed, whatever the first block size.
    SSHPacket in_{SSHPacket::kCapacity + 32};
    std::uint32_t assembled_ = 0;
    std::uint32_t first_block_ = 0;  // 0 until the first block has been decrypted
    std::uint32_t packet_length_ = 0;
};

}  // namespace tarnwick
