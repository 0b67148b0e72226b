// A relay between the client and sshd that flips one bit of what the server sends once the session
// runs, for each AEAD cipher and each encrypt-then-MAC choice: the length field, the encrypted
// body and the tag. Every flip must end the session with a message within 30 seconds (a MAC that
// does not match, an impossible length, or the time limit for bytes that never come when a length
// grew), and nothing of the tampered packet may reach the layer above.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "interop/ssh_client.h"
#include "interop/ssh_sshd.h"
#include "ssh/ssh2_algorithms.h"
#include "support/loopback_peer.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;
using testing::SshdConfig;
using testing::SshdServer;

// Passes one connection through, both ways; once armed, flips the lowest bit of the byte that
// lies the given number of bytes into what the server sends from then on.
class FlippingRelay {
  public:
    explicit FlippingRelay(int server_port)
        : relay_(server_port, [this](bool from_client, std::string& piece) {
              if (!from_client) Tamper(piece);
          }) {}

    int port() const { return relay_.port(); }
    void FlipAt(std::size_t offset) {
        std::lock_guard<std::mutex> guard(mutex_);
        flip_at_ = from_server_ + offset;
        armed_ = true;
    }
    bool flipped() const { return flipped_.load(); }

  private:
    void Tamper(std::string& data) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (armed_ && flip_at_ >= from_server_ && flip_at_ < from_server_ + data.size()) {
            data[flip_at_ - from_server_] ^= 0x01;
            armed_ = false;
            flipped_ = true;
        }
        from_server_ += data.size();
    }

    std::atomic<bool> flipped_{false};
    std::mutex mutex_;
    std::size_t from_server_ = 0;
    std::size_t flip_at_ = 0;
    bool armed_ = false;
    testing::LoopbackRelay relay_;  // last: its thread uses the members above
};

struct FlipCase {
    std::int32_t cipher;
    std::int32_t mac;  // not used by the AEAD ciphers
};

class SshRelayFlip : public ::testing::TestWithParam<FlipCase> {};

TEST_P(SshRelayFlip, EveryFlipEndsTheSessionWithAMessage) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    const FlipCase c = GetParam();
    // The packet after arming carries "tw-42-ok\r\n" (at least 48 bytes with any of these
    // choices): byte 0 is the top of the length, 2 adds or takes 256 (a packet that would need
    // bytes that never come), 3 makes it impossible, 12 lies in the body, 40 in the tag or MAC.
    for (std::size_t offset : {0u, 2u, 3u, 12u, 40u}) {
        SCOPED_TRACE("offset " + std::to_string(offset));
        FlippingRelay relay(server.port());
        SshClient client(false);
        client.config.SetList(setting::ssh2_EnabledCiphers, &c.cipher, 1);
        client.config.SetList(setting::ssh2_EnabledMACs, &c.mac, 1);
        ASSERT_TRUE(client.LogIn(relay.port())) << client.Displayed() << server.Log();
        client.Type("stty -echo; PS1='> '; echo ready-$((1+1))\n");
        ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("ready-2\r\n> "); }, 10s))
            << client.Output();
        const std::size_t before = client.Output().size();

        relay.FlipAt(offset);
        client.Type("echo tw-$((6*7))-ok\n");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(client.RunUntil([&] { return client.ended.load(); }, 30s))
            << client.Displayed();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
        EXPECT_TRUE(relay.flipped());
        EXPECT_EQ(client.Output().substr(before), "");
        const std::string shown = client.Displayed();
        const bool told =
            shown.find("Corrupted MAC; disconnecting\r\n") != std::string::npos ||
            shown.find(
                "The server sent a packet whose length or padding is impossible; "
                "disconnecting\r\n") != std::string::npos ||
            shown.find(
                "The server sent part of a packet and then nothing more for 20 seconds; "
                "disconnecting\r\n") != std::string::npos;
        EXPECT_TRUE(told) << shown;
    }
}

std::string CaseName(const FlipCase& c) {
    std::string name = FindCipher(c.cipher)->name;
    if (FindCipher(c.cipher)->mode == CipherMode::kBlock)
        name += "_" + std::string(FindMac(c.mac)->name);
    return testing::TestNameOf(name);
}

INSTANTIATE_TEST_SUITE_P(AeadAndEtm, SshRelayFlip,
                         ::testing::Values(FlipCase{5, 7}, FlipCase{9, 7}, FlipCase{10, 7},
                                           FlipCase{6, 7}, FlipCase{8, 8}, FlipCase{6, 9}),
                         [](const auto& info) { return CaseName(info.param); });

}  // namespace
}  // namespace tarnwick
