#include "ssh/ssh2_framing.h"

#include <algorithm>
#include <cstring>

#include "core/status.h"
#include "crypto/byte_order.h"
#include "crypto/random_generator.h"
#include "crypto/secure.h"

namespace tarnwick {

namespace {

// Smallest packet length: padding length byte, message number, four octets of padding, and the
// whole rounded up to eight octets with the length field.
constexpr std::uint32_t kMinPacketLength = 12;

}  // namespace

SSH2Framing::SSH2Framing() = default;

SSH2Framing::~SSH2Framing() {
    if (deflating_) deflateEnd(&deflate_);
    if (inflating_) inflateEnd(&inflate_);
    // The packet being assembled may hold decrypted data.
    SecureWipe(in_.data(), in_.capacity());
}

void SSH2Framing::SetOutgoing(std::unique_ptr<Encryptor> cipher, std::unique_ptr<HMAC> mac) {
    out_cipher_ = std::move(cipher);
    out_mac_ = std::move(mac);
    out_bytes_.store(0);
}

void SSH2Framing::SetIncoming(std::unique_ptr<Encryptor> cipher, std::unique_ptr<HMAC> mac) {
    in_cipher_ = std::move(cipher);
    in_mac_ = std::move(mac);
    in_bytes_.store(0);
}

bool SSH2Framing::StartCompression() {
    if (deflating_) return true;
    std::memset(&deflate_, 0, sizeof deflate_);
    UseWipingZlibAllocator(&deflate_);
    if (deflateInit(&deflate_, Z_DEFAULT_COMPRESSION) != Z_OK) return false;
    deflating_ = true;
    return true;
}

bool SSH2Framing::StartDecompression() {
    if (inflating_) return true;
    std::memset(&inflate_, 0, sizeof inflate_);
    UseWipingZlibAllocator(&inflate_);
    if (inflateInit(&inflate_) != Z_OK) return false;
    inflating_ = true;
    return true;
}

int SSH2Framing::Seal(SSHPacket& packet, RandomGenerator& random) {
    if (packet.size() < 6) return status::kBadPacket;
    packet.headerLength = 5;
    if (deflating_) {
        if (packet.compressPayload(&deflate_) != 0) return status::kCompressionFailed;
    }
    const std::uint32_t block =
        out_cipher_ ? static_cast<std::uint32_t>(out_cipher_->BlockSize()) : 8;
    const std::uint32_t framed = packet.size();
    std::uint32_t padding = block - framed % block;
    if (padding < 4) padding += block;
    const std::uint32_t mac_length =
        out_mac_ ? static_cast<std::uint32_t>(out_mac_->DigestSize()) : 0;
    packet.setPosition(framed);
    if (!packet.reserve(padding + mac_length)) return status::kOutOfMemory;
    std::uint8_t* bytes = packet.data();
    bytes::StoreBE32(bytes, framed + padding - 4);
    bytes[4] = static_cast<std::uint8_t>(padding);
    if (out_cipher_) {
        random.Fill(bytes + framed, padding);
    } else {
        std::memset(bytes + framed, 0, padding);
    }
    const std::uint32_t total = framed + padding;
    packet.paddingLength = padding;
    if (out_mac_) {
        std::uint8_t sequence[4];
        bytes::StoreBE32(sequence, out_sequence_);
        out_mac_->Init();
        out_mac_->Update(sequence, 4);
        out_mac_->Update(bytes, total);
        out_mac_->Final(bytes + total);
    }
    if (out_cipher_) out_cipher_->Encrypt(bytes, total);
    packet.setLength(total + mac_length);
    packet.setPosition(total + mac_length);
    ++out_sequence_;
    out_bytes_.fetch_add(total + mac_length, std::memory_order_relaxed);
    return status::kOk;
}

int SSH2Framing::Reject() {
    in_.reset();
    assembled_ = 0;
    first_block_ = 0;
    return status::kBadPacket;
}

int SSH2Framing::Feed(const std::uint8_t* data, std::size_t length, std::size_t* used,
                      const Handler& handler) {
    std::size_t offset = 0;
    *used = 0;
    while (offset < length) {
        if (assembled_ == 0) {
            in_.reset();
            first_block_ = 0;
        }
        // The first block: enough to learn the packet length.
        const std::uint32_t first =
            in_cipher_ ? static_cast<std::uint32_t>(in_cipher_->BlockSize()) : 5;
        if (first_block_ == 0) {
            std::size_t take = std::min<std::size_t>(first - assembled_, length - offset);
            std::memcpy(in_.data() + assembled_, data + offset, take);
            assembled_ += static_cast<std::uint32_t>(take);
            offset += take;
            *used = offset;
            if (assembled_ < first) break;
            std::uint8_t* bytes = in_.data();
            if (in_cipher_) in_cipher_->Decrypt(bytes, first);
            packet_length_ = (static_cast<std::uint32_t>(bytes[0]) << 24) |
                             (static_cast<std::uint32_t>(bytes[1]) << 16) |
                             (static_cast<std::uint32_t>(bytes[2]) << 8) | bytes[3];
            const std::uint32_t padding = bytes[4];
            const std::uint32_t block = std::max<std::uint32_t>(first == 5 ? 8 : first, 8);
            const std::uint32_t mac_length =
                in_mac_ ? static_cast<std::uint32_t>(in_mac_->DigestSize()) : 0;
            // Lengths are checked before anything is added to them, and before a byte of the
            // packet is handled: a hostile length must neither overflow nor make us wait for
            // data that will never fit.
            const std::uint64_t rest =
                static_cast<std::uint64_t>(packet_length_) + 4 - first + mac_length;
            if (packet_length_ < kMinPacketLength || rest > kMaxRest || padding < 4 ||
                padding + 1 >= packet_length_ || (packet_length_ + 4) % block != 0) {
                return Reject();
            }
            first_block_ = first;
            in_.paddingLength = padding;
            in_.headerLength = 5;
            in_.expectedEnd = first + static_cast<std::uint32_t>(rest);
            in_.setPayloadOffset(5);
        }
        // The rest of the packet and its MAC.
        if (assembled_ < in_.expectedEnd) {
            std::size_t take = std::min<std::size_t>(in_.expectedEnd - assembled_, length - offset);
            std::memcpy(in_.data() + assembled_, data + offset, take);
            assembled_ += static_cast<std::uint32_t>(take);
            offset += take;
            *used = offset;
            if (assembled_ < in_.expectedEnd) break;
        }
        std::uint8_t* bytes = in_.data();
        const std::uint32_t packet_end = packet_length_ + 4;
        if (in_cipher_ && packet_end > first_block_) {
            in_cipher_->Decrypt(bytes + first_block_, packet_end - first_block_);
        }
        if (in_mac_) {
            std::uint8_t sequence[4];
            std::uint8_t expected[Hash::kMaxDigestSize];
            bytes::StoreBE32(sequence, in_sequence_);
            in_mac_->Init();
            in_mac_->Update(sequence, 4);
            in_mac_->Update(bytes, packet_end);
            in_mac_->Final(expected);
            const std::size_t mac_length = static_cast<std::size_t>(in_mac_->DigestSize());
            if (!ConstantTimeEqual(expected, bytes + packet_end, mac_length)) {
                in_.reset();
                assembled_ = 0;
                first_block_ = 0;
                return status::kMacFailed;
            }
        }
        ++in_sequence_;
        in_bytes_.fetch_add(in_.expectedEnd, std::memory_order_relaxed);
        // From here on the packet ends with its payload: padding and MAC are gone.
        in_.setLength(packet_end - in_.paddingLength);
        in_.setPosition(5);
        assembled_ = 0;
        first_block_ = 0;
        if (inflating_) {
            if (in_.decompressPayload(&inflate_) != 0) return status::kDecompressionFailed;
            // Compressed data may inflate to nothing; a packet without a message number is not
            // a packet.
            if (in_.size() <= in_.headerLength) return status::kBadPacket;
        }
        in_.clearReadFailed();
        int result = handler(in_);
        if (result == kStopAfterThis) return status::kOk;
        if (result != status::kOk) return result;
    }
    return status::kOk;
}

}  // namespace tarnwick
