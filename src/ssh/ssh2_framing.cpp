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

std::uint32_t SSH2Framing::Keys::Block() const {
    if (cipher) return std::max<std::uint32_t>(static_cast<std::uint32_t>(cipher->BlockSize()), 8);
    if (gcm) return 16;
    return 8;
}

std::uint32_t SSH2Framing::Keys::TagLength() const {
    if (mac) return static_cast<std::uint32_t>(mac->DigestSize());
    if (gcm) return SshAesGcm::kTagSize;
    if (chacha) return SshChaChaPoly::kTagSize;
    return 0;
}

void SSH2Framing::SetOutgoing(SSH2DirectionKeys keys) {
    out_keys_ = std::move(keys);
    out_bytes_.store(0);
}

void SSH2Framing::SetOutgoing(std::unique_ptr<Encryptor> cipher, std::unique_ptr<HMAC> mac) {
    SSH2DirectionKeys keys;
    keys.cipher = std::move(cipher);
    keys.mac = std::move(mac);
    SetOutgoing(std::move(keys));
}

void SSH2Framing::SetIncoming(SSH2DirectionKeys keys) {
    in_keys_ = std::move(keys);
    in_bytes_.store(0);
}

void SSH2Framing::SetIncoming(std::unique_ptr<Encryptor> cipher, std::unique_ptr<HMAC> mac) {
    SSH2DirectionKeys keys;
    keys.cipher = std::move(cipher);
    keys.mac = std::move(mac);
    SetIncoming(std::move(keys));
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

bool SSH2Framing::RestartCompression() {
    if (!deflating_) return true;
    deflateEnd(&deflate_);
    deflating_ = false;
    return StartCompression();
}

bool SSH2Framing::RestartDecompression() {
    if (!inflating_) return true;
    inflateEnd(&inflate_);
    inflating_ = false;
    return StartDecompression();
}

int SSH2Framing::Seal(SSHPacket& packet, RandomGenerator& random) {
    if (packet.size() < 6) return status::kBadPacket;
    packet.headerLength = 5;
    if (deflating_) {
        if (packet.compressPayload(&deflate_) != 0) return status::kCompressionFailed;
    }
    const Keys& keys = out_keys_;
    const std::uint32_t block = keys.Block();
    const std::uint32_t framed = packet.size();
    const std::uint32_t aligned = keys.LengthApart() ? framed - 4 : framed;
    std::uint32_t padding = block - aligned % block;
    if (padding < 4) padding += block;
    const std::uint32_t tag_length = keys.TagLength();
    packet.setPosition(framed);
    if (!packet.reserve(padding + tag_length)) return status::kOutOfMemory;
    std::uint8_t* bytes = packet.data();
    bytes::StoreBE32(bytes, framed + padding - 4);
    bytes[4] = static_cast<std::uint8_t>(padding);
    if (keys.Encrypts()) {
        random.Fill(bytes + framed, padding);
    } else {
        std::memset(bytes + framed, 0, padding);
    }
    const std::uint32_t total = framed + padding;
    packet.paddingLength = padding;
    std::uint8_t* tag = bytes + total;
    bool sealed = true;
    if (keys.chacha) {
        sealed = keys.chacha->Seal(out_sequence_, bytes, total, tag);
    } else if (keys.gcm) {
        sealed = keys.gcm->Seal(bytes, total, tag);
    } else {
        auto mac = [&] {
            std::uint8_t sequence[4];
            bytes::StoreBE32(sequence, out_sequence_);
            keys.mac->Init();
            keys.mac->Update(sequence, 4);
            keys.mac->Update(bytes, total);
            keys.mac->Final(tag);
        };
        if (keys.etm) {
            if (keys.cipher) keys.cipher->Encrypt(bytes + 4, total - 4);
            if (keys.mac) mac();
        } else {
            if (keys.mac) mac();
            if (keys.cipher) keys.cipher->Encrypt(bytes, total);
        }
    }
    // A packet that could not be sealed must not leave in any form.
    if (!sealed) {
        SecureWipe(bytes, total + tag_length);
        return status::kOutOfMemory;
    }
    packet.setLength(total + tag_length);
    packet.setPosition(total + tag_length);
    ++out_sequence_;
    out_bytes_.fetch_add(total + tag_length, std::memory_order_relaxed);
    return status::kOk;
}

int SSH2Framing::Reject() {
    in_.reset();
    assembled_ = 0;
    first_block_ = 0;
    return status::kBadPacket;
}

int SSH2Framing::OpenPacket() {
    const Keys& keys = in_keys_;
    std::uint8_t* bytes = in_.data();
    const std::uint32_t packet_end = packet_length_ + 4;
    std::uint8_t* tag = bytes + packet_end;
    if (keys.chacha) {
        if (!keys.chacha->Open(in_sequence_, bytes, packet_end, tag)) return status::kMacFailed;
    } else if (keys.gcm) {
        if (!keys.gcm->Open(bytes, packet_end, tag)) return status::kMacFailed;
    } else {
        // Without etm the MAC covers the plain packet: decrypt first. With it, nothing is
        // decrypted before the MAC has matched.
        if (!keys.etm && keys.cipher && packet_end > first_block_) {
            keys.cipher->Decrypt(bytes + first_block_, packet_end - first_block_);
        }
        if (keys.mac) {
            std::uint8_t sequence[4];
            std::uint8_t expected[Hash::kMaxDigestSize];
            bytes::StoreBE32(sequence, in_sequence_);
            keys.mac->Init();
            keys.mac->Update(sequence, 4);
            keys.mac->Update(bytes, packet_end);
            keys.mac->Final(expected);
            if (!ConstantTimeEqual(expected, tag, static_cast<std::size_t>(keys.TagLength()))) {
                return status::kMacFailed;
            }
        }
        if (keys.etm && keys.cipher) keys.cipher->Decrypt(bytes + 4, packet_end - 4);
    }
    return status::kOk;
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
        const Keys& keys = in_keys_;
        // The first block: enough to learn the packet length (and, for the packets that are
        // decrypted whole from the start, the padding length).
        const std::uint32_t first = keys.LengthApart() ? 4
                                    : keys.cipher
                                        ? static_cast<std::uint32_t>(keys.cipher->BlockSize())
                                        : 5;
        if (first_block_ == 0) {
            std::size_t take = std::min<std::size_t>(first - assembled_, length - offset);
            std::memcpy(in_.data() + assembled_, data + offset, take);
            assembled_ += static_cast<std::uint32_t>(take);
            offset += take;
            *used = offset;
            if (assembled_ < first) break;
            std::uint8_t* bytes = in_.data();
            std::uint8_t plain_length[4];
            if (keys.chacha) {
                // The length is decrypted on its own; the packet stays as it came for the tag.
                if (!keys.chacha->DecryptLength(in_sequence_, bytes, plain_length)) {
                    return Reject();
                }
            } else {
                if (!keys.LengthApart() && keys.cipher) keys.cipher->Decrypt(bytes, first);
                std::memcpy(plain_length, bytes, 4);
            }
            packet_length_ = bytes::LoadBE32(plain_length);
            const std::uint32_t block = keys.LengthApart()
                                            ? keys.Block()
                                            : std::max<std::uint32_t>(first == 5 ? 8 : first, 8);
            // Lengths are checked before anything is added to them, and before a byte of the
            // packet is handled: a hostile length must neither overflow nor make us wait for
            // data that will never fit. Where the length is not authenticated before it is used
            // (etm, the AEADs) the padding length is checked once the packet is.
            const std::uint64_t rest =
                static_cast<std::uint64_t>(packet_length_) + 4 - first + keys.TagLength();
            if (rest > kMaxRest) return Reject();
            if (keys.LengthApart()) {
                if (packet_length_ < 8 || packet_length_ % block != 0) return Reject();
            } else {
                const std::uint32_t padding = bytes[4];
                if (packet_length_ < kMinPacketLength || padding < 4 ||
                    padding + 1 >= packet_length_ || (packet_length_ + 4) % block != 0) {
                    return Reject();
                }
            }
            first_block_ = first;
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
        const int opened = OpenPacket();
        if (opened != status::kOk) {
            in_.reset();
            assembled_ = 0;
            first_block_ = 0;
            return opened;
        }
        const std::uint32_t packet_end = packet_length_ + 4;
        in_.paddingLength = in_.data()[4];
        if (in_.paddingLength < 4 || in_.paddingLength + 1 >= packet_length_) return Reject();
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
