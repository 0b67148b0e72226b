#include "ssh/ssh1_framing.h"

#include <algorithm>
#include <cstring>

#include "core/status.h"
#include "crypto/blowfish.h"
#include "crypto/byte_order.h"
#include "crypto/crc32.h"
#include "crypto/d3des.h"
#include "crypto/random_generator.h"
#include "crypto/secure.h"

namespace tarnwick {

namespace ssh1 {

std::unique_ptr<Encryptor> MakeCipher(int number, bool encrypt, const std::uint8_t* session_key) {
    std::unique_ptr<Encryptor> cipher;
    std::size_t chaining = 8;
    switch (number) {
        case kCipherDes:
            cipher = std::make_unique<D3Des>(1, 0);
            break;
        case kCipher3Des:
            // Three DES passes, each a CBC layer with a chaining value of its own.
            cipher = std::make_unique<D3Des>(1, 1);
            chaining = 24;
            break;
        case kCipherBlowfish:
            // SSH-1's Blowfish reads each block as two little-endian words.
            cipher = std::make_unique<Blowfish>(1);
            break;
        default:
            return nullptr;
    }
    // Each cipher takes the octets of the 32-octet key it needs; every chain starts at zero.
    static constexpr std::uint8_t kZeros[24] = {};
    cipher->SetDirection(encrypt ? 1 : 0);
    if (!cipher->SetKey(session_key, 32) || !cipher->SetIV(kZeros, chaining)) return nullptr;
    return cipher;
}

const char* CipherName(int number) {
    switch (number) {
        case kCipherDes:
            return "DES";
        case kCipher3Des:
            return "3DES";
        case kCipherBlowfish:
            return "Blowfish";
        default:
            return nullptr;
    }
}

}  // namespace ssh1

// ---- CompensationAttackDetector ----

bool CompensationAttackDetector::Detect(const std::uint8_t* cipher_text, std::size_t length,
                                        const std::uint8_t previous[8]) {
    const std::size_t count = std::min<std::size_t>(length, SSH1Framing::kMaxWire) / 8;
    blocks_.clear();
    blocks_.reserve(count + 1);
    blocks_.push_back(bytes::LoadBE64(previous));
    for (std::size_t i = 0; i < count; ++i)
        blocks_.push_back(bytes::LoadBE64(cipher_text + 8 * i));
    std::sort(blocks_.begin(), blocks_.end());
    return std::adjacent_find(blocks_.begin(), blocks_.end()) != blocks_.end();
}

// ---- SSH1Framing ----

SSH1Framing::SSH1Framing() = default;

SSH1Framing::~SSH1Framing() {
    // The packet being assembled may hold decrypted data.
    SecureWipe(in_.data(), std::min(high_water_, in_.capacity()));
}

void SSH1Framing::SetOutgoing(std::unique_ptr<Encryptor> cipher) {
    out_cipher_ = std::move(cipher);
}

void SSH1Framing::SetIncoming(std::unique_ptr<Encryptor> cipher) {
    in_cipher_ = std::move(cipher);
}

int SSH1Framing::Seal(SSHPacket& packet, RandomGenerator& random) {
    // The message as built: four octets for the length, one spare, then type and payload.
    if (packet.size() < 6) return status::kBadPacket;
    const std::uint32_t body = packet.size() - 5;  // type and payload
    if (body > kMaxLength - 4) return status::kBadPacket;
    const std::uint32_t length = body + 4;
    const std::uint32_t padding = 8 - length % 8;
    packet.setPosition(packet.size());
    if (!packet.reserve(padding + 3)) return status::kOutOfMemory;
    std::uint8_t* bytes = packet.data();
    // Type and payload move up to make room for the padding.
    std::memmove(bytes + 4 + padding, bytes + 5, body);
    if (out_cipher_) {
        random.Fill(bytes + 4, padding);
    } else {
        std::memset(bytes + 4, 0, padding);
    }
    bytes::StoreBE32(bytes + 4 + padding + body, Crc32(bytes + 4, padding + body));
    bytes::StoreBE32(bytes, length);
    const std::uint32_t total = 4 + padding + length;
    if (out_cipher_) out_cipher_->Encrypt(bytes + 4, total - 4);
    packet.paddingLength = padding;
    packet.setLength(total);
    packet.setPosition(total);
    return status::kOk;
}

int SSH1Framing::Fail(Fault fault, int status) {
    fault_ = fault;
    assembled_ = 0;
    total_ = 0;
    in_.reset();
    return status;
}

int SSH1Framing::Feed(const std::uint8_t* data, std::size_t length, const Handler& handler) {
    if (fault_ != Fault::kNone)
        return fault_ == Fault::kCrc ? status::kMacFailed : status::kBadPacket;
    std::size_t offset = 0;
    while (offset < length) {
        if (assembled_ < 4) {
            const std::size_t take = std::min<std::size_t>(4 - assembled_, length - offset);
            std::memcpy(in_.data() + assembled_, data + offset, take);
            assembled_ += static_cast<std::uint32_t>(take);
            offset += take;
            if (assembled_ < 4) break;
            length_ = bytes::LoadBE32(in_.data());
            // Checked before anything is added to it or allocated for it.
            if (length_ < kMinLength || length_ > kMaxLength) {
                return Fail(Fault::kLength, status::kBadPacket);
            }
            total_ = 4 + (8 - length_ % 8) + length_;
            if (total_ > in_.capacity()) {
                // Only the length field is kept: earlier packets are wiped before the old
                // buffer goes.
                SecureWipe(in_.data() + 4, in_.capacity() - 4);
                in_.setLength(4);
                in_.setPosition(4);
                if (!in_.reserve(total_ - 4)) return Fail(Fault::kLength, status::kOutOfMemory);
            }
            high_water_ = std::max(high_water_, total_);
        }
        const std::size_t take = std::min<std::size_t>(total_ - assembled_, length - offset);
        std::memcpy(in_.data() + assembled_, data + offset, take);
        assembled_ += static_cast<std::uint32_t>(take);
        offset += take;
        if (assembled_ < total_) break;

        std::uint8_t* bytes = in_.data();
        const std::uint32_t encrypted = total_ - 4;
        if (in_cipher_) {
            // The detector runs whether or not the CRC is checked: with the check off, a splice
            // would otherwise go through unnoticed.
            if (detector_.Detect(bytes + 4, encrypted, previous_block_)) {
                return Fail(Fault::kAttack, status::kBadPacket);
            }
            std::memcpy(previous_block_, bytes + total_ - 8, 8);
            in_cipher_->Decrypt(bytes + 4, encrypted);
        }
        const std::uint32_t padding = 8 - length_ % 8;
        const std::uint32_t crc_at = total_ - 4;
        if (check_crc_ && Crc32(bytes + 4, crc_at - 4) != bytes::LoadBE32(bytes + crc_at)) {
            return Fail(Fault::kCrc, status::kMacFailed);
        }
        in_.clearReadFailed();
        in_.paddingLength = padding;
        in_.headerLength = 4 + padding;
        in_.messageType = bytes[4 + padding];
        in_.setPayloadOffset(4 + padding);
        in_.setLength(crc_at);
        in_.setPosition(4 + padding);
        assembled_ = 0;
        total_ = 0;
        int result = handler(in_);
        if (result != status::kOk) return result;
    }
    return status::kOk;
}

}  // namespace tarnwick
