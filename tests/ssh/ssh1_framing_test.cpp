// The SSH-1 packet format: the CRC-32 against zlib's, padding and length rules, every cipher at
// every split of the stream, lengths out of bounds, corrupted CRCs with the check on and off, and
// the detector of the CRC compensation attack.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "core/status.h"
#include "crypto/byte_order.h"
#include "crypto/crc32.h"
#include "crypto/random_generator.h"
#include "ssh/ssh1_framing.h"

namespace tarnwick {
namespace {

const std::uint8_t kSessionKey[32] = {
    0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
    0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87, 0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f};
constexpr int kNoCipher = 0;

std::string Bytes(std::size_t n, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(generator());
    return out;
}

struct Message {
    std::uint8_t type;
    std::string payload;
    bool operator==(const Message& other) const {
        return type == other.type && payload == other.payload;
    }
};

// Both ends of one direction of a connection.
struct Pipe {
    explicit Pipe(int cipher) {
        if (cipher != kNoCipher) {
            sender.SetOutgoing(ssh1::MakeCipher(cipher, true, kSessionKey));
            receiver.SetIncoming(ssh1::MakeCipher(cipher, false, kSessionKey));
        }
    }
    std::string Seal(const Message& message) {
        SSHPacket packet;
        packet.beginPayload();
        packet.putByte(message.type);
        packet.putBytes(message.payload.data(), static_cast<std::uint32_t>(message.payload.size()));
        packet.finish();
        EXPECT_EQ(sender.Seal(packet, random), status::kOk);
        return std::string(reinterpret_cast<const char*>(packet.data()), packet.size());
    }
    int Feed(const std::string& bytes) {
        return receiver.Feed(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
            [this](SSHPacket& packet) {
                const std::uint8_t type = packet.getByte();
                received.push_back(
                    {type, std::string(reinterpret_cast<const char*>(packet.readPointer()),
                                       packet.remaining())});
                return status::kOk;
            });
    }
    SSH1Framing sender;
    SSH1Framing receiver;
    RandomGenerator random;
    std::vector<Message> received;
};

std::uint32_t LengthField(const std::string& wire) {
    return bytes::LoadBE32(reinterpret_cast<const std::uint8_t*>(wire.data()));
}

TEST(Ssh1Crc, IsZlibsCrc32WithoutTheInitialAndFinalComplement) {
    for (std::size_t n : {0u, 1u, 3u, 8u, 63u, 64u, 1000u, 35000u}) {
        const std::string data = Bytes(n, static_cast<unsigned>(n));
        const auto* p = reinterpret_cast<const Bytef*>(data.data());
        const std::uint32_t zlib_value =
            ~static_cast<std::uint32_t>(crc32(0xFFFFFFFFul, p, static_cast<uInt>(n)));
        EXPECT_EQ(Crc32(p, n), zlib_value) << n << " octets";
        // Continuing over a second piece gives the value of the whole.
        const std::size_t half = n / 2;
        EXPECT_EQ(Crc32(p + half, n - half, Crc32(p, half)), zlib_value);
    }
}

TEST(Ssh1Framing, PaddingFillsThePacketToWholeBlocksWithoutCountingItInTheLength) {
    struct Case {
        std::size_t payload;
        std::uint32_t length;
        std::uint32_t padding;
    };
    for (const Case c : {Case{1, 6, 2}, Case{3, 8, 8}, Case{0, 5, 3}, Case{4, 9, 7},
                         Case{11, 16, 8}, Case{12, 17, 7}}) {
        Pipe pipe(kNoCipher);
        const std::string wire = pipe.Seal({23, Bytes(c.payload, 1)});
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(LengthField(wire), c.length);
        ASSERT_EQ(wire.size(), 4 + c.padding + c.length);
        EXPECT_EQ(wire.substr(4, c.padding), std::string(c.padding, '\0'));  // zeros in the clear
        EXPECT_EQ(static_cast<std::uint8_t>(wire[4 + c.padding]), 23);
        const auto* body = reinterpret_cast<const Bytef*>(wire.data() + 4);
        const uInt covered = static_cast<uInt>(wire.size() - 8);
        EXPECT_EQ(bytes::LoadBE32(reinterpret_cast<const std::uint8_t*>(wire.data()) + 4 + covered),
                  ~static_cast<std::uint32_t>(crc32(0xFFFFFFFFul, body, covered)));
    }
}

TEST(Ssh1Framing, EveryCipherDeliversEveryPacketWhereverTheStreamIsCut) {
    const std::vector<Message> messages = {
        {14, ""}, {17, Bytes(1, 2)}, {23, Bytes(7, 3)}, {32, Bytes(100, 4)}};
    for (int cipher :
         {kNoCipher, int{ssh1::kCipherDes}, int{ssh1::kCipher3Des}, int{ssh1::kCipherBlowfish}}) {
        SCOPED_TRACE(cipher);
        Pipe sealing(cipher);
        std::string wire;
        for (const Message& m : messages)
            wire += sealing.Seal(m);
        if (cipher != kNoCipher) {
            // Encrypted: random padding, and nothing of the payload visible.
            EXPECT_EQ(wire.find(messages[3].payload.substr(0, 16)), std::string::npos);
        }
        for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
            Pipe pipe(cipher);
            ASSERT_EQ(pipe.Feed(wire.substr(0, cut)), status::kOk);
            ASSERT_EQ(pipe.Feed(wire.substr(cut)), status::kOk);
            ASSERT_EQ(pipe.received, messages) << "cut at " << cut;
        }
        Pipe bytewise(cipher);
        for (char c : wire)
            ASSERT_EQ(bytewise.Feed(std::string(1, c)), status::kOk);
        EXPECT_EQ(bytewise.received, messages);
    }
}

TEST(Ssh1Framing, TheLongestPacketAllowedArrivesWhole) {
    Pipe pipe(ssh1::kCipherBlowfish);
    const Message longest{17, Bytes(SSH1Framing::kMaxLength - 5, 9)};
    const std::string wire = pipe.Seal(longest);
    EXPECT_EQ(LengthField(wire), SSH1Framing::kMaxLength);
    for (std::size_t at = 0; at < wire.size(); at += 4093)
        ASSERT_EQ(pipe.Feed(wire.substr(at, 4093)), status::kOk);
    ASSERT_EQ(pipe.received.size(), 1u);
    EXPECT_TRUE(pipe.received[0] == longest);
    // One more octet of payload cannot be sent either.
    SSHPacket packet;
    packet.beginPayload();
    packet.putByte(17);
    const std::string more(SSH1Framing::kMaxLength - 4, 'x');
    packet.putBytes(more.data(), static_cast<std::uint32_t>(more.size()));
    packet.finish();
    EXPECT_EQ(pipe.sender.Seal(packet, pipe.random), status::kBadPacket);
}

TEST(Ssh1Framing, LengthFieldsOutOfBoundsAreRefusedBeforeAnythingElseIsRead) {
    for (std::uint32_t length : {0u, 4u, SSH1Framing::kMaxLength + 1, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        Pipe pipe(ssh1::kCipher3Des);
        std::string wire(4, '\0');
        bytes::StoreBE32(reinterpret_cast<std::uint8_t*>(wire.data()), length);
        EXPECT_EQ(pipe.Feed(wire), status::kBadPacket);
        EXPECT_EQ(pipe.receiver.fault(), SSH1Framing::Fault::kLength);
        EXPECT_EQ(pipe.receiver.fault_length(), length);
        // The stream is not resumed, whatever follows.
        EXPECT_EQ(pipe.Feed(pipe.Seal({14, ""})), status::kBadPacket);
        EXPECT_TRUE(pipe.received.empty());
    }
}

TEST(Ssh1Framing, ACorruptedCrcEndsTheStreamOnlyWhileTheCheckIsOn) {
    for (int cipher : {kNoCipher, int{ssh1::kCipherBlowfish}}) {
        for (bool check : {true, false}) {
            SCOPED_TRACE(std::to_string(cipher) + (check ? " checked" : " unchecked"));
            Pipe pipe(cipher);
            pipe.receiver.SetCheckCrc(check);
            const Message message{17, "the payload"};
            std::string wire = pipe.Seal(message);
            wire.back() = static_cast<char>(wire.back() ^ 0x40);  // in the CRC's last block
            if (check) {
                EXPECT_EQ(pipe.Feed(wire), status::kMacFailed);
                EXPECT_EQ(pipe.receiver.fault(), SSH1Framing::Fault::kCrc);
                EXPECT_TRUE(pipe.received.empty());
            } else {
                EXPECT_EQ(pipe.Feed(wire), status::kOk);
                ASSERT_EQ(pipe.received.size(), 1u);
                // Under CBC the whole last block decrypts to garbage, not only the CRC.
                if (cipher == kNoCipher) {
                    EXPECT_TRUE(pipe.received[0] == message);
                }
            }
        }
    }
}

TEST(Ssh1Framing, RepeatedCipherBlocksAreRefusedWhateverTheCrcSetting) {
    for (bool check : {true, false}) {
        SCOPED_TRACE(check ? "checked" : "unchecked");
        // A block of the packet copied over a later one.
        {
            Pipe pipe(ssh1::kCipherBlowfish);
            pipe.receiver.SetCheckCrc(check);
            std::string wire = pipe.Seal({17, Bytes(64, 5)});
            wire.replace(4 + 24, 8, wire.substr(4 + 8, 8));
            EXPECT_EQ(pipe.Feed(wire), status::kBadPacket);
            EXPECT_EQ(pipe.receiver.fault(), SSH1Framing::Fault::kAttack);
        }
        // The first block equal to the last block of the packet before: the block it chains on.
        {
            Pipe pipe(ssh1::kCipher3Des);
            pipe.receiver.SetCheckCrc(check);
            const std::string first = pipe.Seal({17, Bytes(20, 6)});
            std::string second = pipe.Seal({17, Bytes(20, 7)});
            second.replace(4, 8, first.substr(first.size() - 8));
            EXPECT_EQ(pipe.Feed(first), status::kOk);
            EXPECT_EQ(pipe.Feed(second), status::kBadPacket);
            EXPECT_EQ(pipe.receiver.fault(), SSH1Framing::Fault::kAttack);
            EXPECT_EQ(pipe.received.size(), 1u);
        }
    }
    // The longest packet, with the repeat as far apart as it can be, is checked in bounded time.
    Pipe pipe(ssh1::kCipherDes);
    std::string wire = pipe.Seal({17, Bytes(SSH1Framing::kMaxLength - 5, 8)});
    wire.replace(wire.size() - 8, 8, wire.substr(4, 8));
    EXPECT_EQ(pipe.Feed(wire), status::kBadPacket);
    EXPECT_EQ(pipe.receiver.fault(), SSH1Framing::Fault::kAttack);
}

TEST(Ssh1Framing, HonestTrafficIsNeverTakenForAnAttack) {
    // Plain text full of repeats, encrypted: the chaining makes every cipher block differ.
    Pipe pipe(ssh1::kCipherBlowfish);
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(pipe.Feed(pipe.Seal({17, std::string(static_cast<std::size_t>(i * 7), 'a')})),
                  status::kOk)
            << i;
    }
    EXPECT_EQ(pipe.received.size(), 500u);
}

}  // namespace
}  // namespace tarnwick
