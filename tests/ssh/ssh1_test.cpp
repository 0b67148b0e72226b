// IO_SSH1 as a layer, with the test playing the server through the packet format: version lines,
// server keys that cannot carry a session key, and steps of the login and the session from a
// chosen state on (the interoperability tests run the whole conversation against an independent
// server).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/session_config.h"
#include "crypto/bignum.h"
#include "crypto/random_generator.h"
#include "crypto/wire.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "ssh/ssh1.h"
#include "ssh/ssh1_test_access.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using namespace ssh1;

const std::uint8_t kSessionKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                      12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
                                      23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::uint32_t kAllCiphers =
    (1u << kCipherDes) | (1u << kCipher3Des) | (1u << kCipherBlowfish);

// An odd number of the given size: enough to stand for a modulus the client only checks.
BigNum Modulus(int bits) {
    BigNum n(1u);
    n.ShiftLeft(bits - 1);
    n.AddSmall(0x10001);
    return n;
}

std::string Key(int bits) {
    std::string out;
    WireWriter w(out);
    w.Uint32(static_cast<std::uint32_t>(bits));
    for (const BigNum& value : {BigNum(0x10001u), Modulus(bits)}) {
        const SecureBytes magnitude = value.ToBytes();
        w.Uint16(static_cast<std::uint16_t>(value.BitLength()));
        w.Bytes(magnitude.data(), magnitude.size());
    }
    return out;
}

std::string PublicKey(int server_bits, int host_bits, std::uint32_t ciphers) {
    std::string out = "cookie!!" + Key(server_bits) + Key(host_bits);
    WireWriter(out).Uint32(0).Uint32(ciphers).Uint32(1u << 3);
    return out;
}

struct Message {
    std::uint8_t type;
    std::string payload;
};

class Ssh1LayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegistryStore::Instance().Close();  // reopened in this test's configuration folder
        config_.SetNarrow(setting::hostname, "host.example");
        config_.SetNarrow(setting::username, "alice");
        config_.SetInt(setting::debug, 1);
        config_.SetInt(setting::ssh_cipher, kCipherBlowfish);
        top_ = std::make_unique<TerminalStandIn>();
        ssh_ = new IO_SSH1();
        below_ = new testing::RecordingLayer(kLayerTCPIP, "TCP/IP");
        ASSERT_EQ(ssh_->InsertBelow(below_), 0);
        ASSERT_EQ(top_->InsertBelow(ssh_), 0);
        ASSERT_EQ(top_->Open(&config_), 0);
    }
    void TearDown() override {
        top_.reset();
        RegistryStore::Instance().Close();
    }

    int Deliver(const std::string& bytes) {
        return ssh_->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                             static_cast<int>(bytes.size()));
    }
    std::string Packet(std::uint8_t type, const std::string& payload) {
        SSHPacket packet;
        packet.beginPayload();
        packet.putByte(type);
        packet.putBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
        packet.finish();
        EXPECT_EQ(to_client_.Seal(packet, random_), 0);
        return std::string(reinterpret_cast<const char*>(packet.data()), packet.size());
    }
    int ServerSends(std::uint8_t type, const std::string& payload = "") {
        return Deliver(Packet(type, payload));
    }
    // The layer as a completed key exchange leaves it; the test holds the same session key.
    void StartAt(int state) {
        SSH1TestAccess::AfterKeyExchange(*ssh_, kCipherBlowfish, kSessionKey, state);
        to_client_.SetOutgoing(MakeCipher(kCipherBlowfish, true, kSessionKey));
        from_client_.SetIncoming(MakeCipher(kCipherBlowfish, false, kSessionKey));
        below_->ClearRecords();
        read_ = 0;
    }
    // Everything the client has sent since the last call, cut into messages.
    std::vector<Message> ClientSent() {
        const std::string all = below_->Sent();
        std::vector<Message> out;
        const int result = from_client_.Feed(
            reinterpret_cast<const std::uint8_t*>(all.data()) + read_, all.size() - read_,
            [&out](SSHPacket& packet) {
                const std::uint8_t type = packet.getByte();
                out.push_back(
                    {type, std::string(reinterpret_cast<const char*>(packet.readPointer()),
                                       packet.remaining())});
                return 0;
            });
        EXPECT_EQ(result, 0);
        read_ = all.size();
        return out;
    }
    std::string Shown() { return top_->Displayed(); }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
    SessionConfig config_;
    std::unique_ptr<TerminalStandIn> top_;
    IO_SSH1* ssh_ = nullptr;
    testing::RecordingLayer* below_ = nullptr;
    SSH1Framing to_client_;
    SSH1Framing from_client_;
    RandomGenerator random_;
    std::size_t read_ = 0;
};

TEST_F(Ssh1LayerTest, VersionLines) {
    struct Case {
        const char* line;
        int status;
        const char* shown;
    };
    const Case cases[] = {
        {"SSH-1.5-Server_1.2\n", 0, ""},
        {"SSH-1.99-Both\r\n", 0, ""},
        {"SSH-1.0-Old\n", status::kSsh1VersionTooOld, "Server uses an incompatible version\r\n"},
        {"SSH-2.0-OnlyTwo\n", status::kSsh1VersionTooOld, "Server uses an incompatible version"},
        {"SSH-1.x-Garbled\n", status::kProtocolError, "no valid version line"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        SetUp();
        EXPECT_EQ(Deliver(c.line), c.status);
        if (c.status == 0) {
            EXPECT_EQ(below_->Sent(), "SSH-1.5-Tarnwick2.06\n");
            EXPECT_EQ(ssh_->state(), IO_SSH1::kWaitPublicKey);
        } else {
            EXPECT_EQ(below_->Sent(), "");
            EXPECT_NE(Shown().find(c.shown), std::string::npos) << Shown();
            EXPECT_TRUE(ssh_->closed());
        }
        TearDown();
    }
}

TEST_F(Ssh1LayerTest, ServerKeysThatCannotCarryTheSessionKeyAreRefusedWithTheReason) {
    struct Case {
        int server_bits;
        int host_bits;
        std::uint32_t ciphers;
        const char* shown;
    };
    const Case cases[] = {
        {512, 1024, kAllCiphers, "The server's server key has 512 bits"},
        {1024, 767, kAllCiphers, "The server's host key has 767 bits"},
        {1024, 9000, kAllCiphers, "The server's host key has 9000 bits"},
        {1024, 1088, kAllCiphers, "differ by 64 bits; at least 128 are needed"},
        {1024, 1024, kAllCiphers, "differ by 0 bits"},
        {1024, 1536, kAllCiphers & ~(1u << kCipherBlowfish),
         "The server does not support the Blowfish cipher chosen for this session"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        SetUp();
        // The key in the same read as the version line.
        Deliver("SSH-1.5-Server\n" +
                Packet(kSmsgPublicKey, PublicKey(c.server_bits, c.host_bits, c.ciphers)));
        EXPECT_NE(Shown().find(c.shown), std::string::npos) << Shown();
        EXPECT_TRUE(ssh_->closed());
        EXPECT_EQ(below_->Sent(), "SSH-1.5-Tarnwick2.06\n");  // no session key
        EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 0);  // nor a question about the key
        TearDown();
        ui_.Clear();
    }
}

TEST_F(Ssh1LayerTest, TerminalDataIsSentInPiecesOfAtMost32764Octets) {
    StartAt(IO_SSH1::kInteractive);
    std::string typed(70000, '\0');
    for (std::size_t i = 0; i < typed.size(); ++i)
        typed[i] = static_cast<char>(i % 251);
    ASSERT_EQ(ssh_->Send(reinterpret_cast<const std::uint8_t*>(typed.data()),
                         static_cast<int>(typed.size())),
              0);
    std::string carried;
    std::vector<std::size_t> sizes;
    for (const Message& m : ClientSent()) {
        ASSERT_EQ(m.type, kCmsgStdinData);
        WireReader reader(m.payload);
        std::string_view piece = reader.String();
        ASSERT_TRUE(reader.done());
        sizes.push_back(piece.size());
        carried += piece;
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{32764, 32764, 4472}));
    EXPECT_EQ(carried, typed);
}

TEST_F(Ssh1LayerTest, ACancelledPasswordPromptEndsTheLogin) {
    StartAt(IO_SSH1::kUserSent);
    ServerSends(kSmsgFailure);
    ASSERT_EQ(ui_.CountOf(ScriptedUi::Kind::kPrompt), 1);
    EXPECT_EQ(ui_.shown()[0].text, "Password for alice on host host.example:");
    EXPECT_TRUE(ssh_->closed());
    EXPECT_TRUE(ClientSent().empty());
}

TEST_F(Ssh1LayerTest, ServerOutputReachesTheTerminalOnlyOnceTheShellRuns) {
    StartAt(IO_SSH1::kUserSent);
    std::string data;
    WireWriter(data).String("too early");
    EXPECT_EQ(ServerSends(kSmsgStdoutData, data), 0);
    EXPECT_EQ(top_->Received(), "");
    EXPECT_NE(Shown().find("Ignoring unhandled response 17\r\n"), std::string::npos);

    StartAt(IO_SSH1::kInteractive);
    std::string out, err;
    WireWriter(out).String("out ");
    WireWriter(err).String("err");
    EXPECT_EQ(ServerSends(kSmsgStdoutData, out), 0);
    EXPECT_EQ(ServerSends(kSmsgStderrData, err), 0);
    EXPECT_EQ(top_->Received(), "out err");
}

TEST_F(Ssh1LayerTest, AnImpossibleLengthFieldEndsTheSessionWithAMessage) {
    StartAt(IO_SSH1::kInteractive);
    EXPECT_EQ(Deliver(std::string("\x80\0\0\0", 4)), status::kBadPacket);
    EXPECT_NE(Shown().find("Received corrupted packet (length field 2147483648)"),
              std::string::npos);
    EXPECT_TRUE(ssh_->closed());
    EXPECT_EQ(ssh_->IsConnected(), 0);
    // The first error stays.
    EXPECT_EQ(Deliver("more"), status::kBadPacket);
}

TEST_F(Ssh1LayerTest, ADisconnectShowsTheServersWordsAndEndsTheSession) {
    StartAt(IO_SSH1::kInteractive);
    std::string reason;
    WireWriter(reason).String("going down\x1b[2J");
    EXPECT_NE(ServerSends(kDisconnect, reason), 0);
    EXPECT_NE(Shown().find("going down?[2J\r\n"), std::string::npos) << Shown();
    EXPECT_TRUE(ssh_->closed());
}

}  // namespace
}  // namespace tarnwick
