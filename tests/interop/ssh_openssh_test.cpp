// The SSH2 layer against a real OpenSSH server on 127.0.0.1: every key exchange, host key,
// cipher and MAC it offers, keyboard-interactive through PAM, re-keying forced by the server,
// and local port forwards carrying 10 MB both ways.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "interop/ssh_client.h"
#include "interop/ssh_sshd.h"
#include "ssh/ssh_test_access.h"
#include "support/loopback_peer.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;
using testing::SshdServer;

struct Exchange {
    const char* name;
    std::int32_t hostkey;
};

class SshOpenSshMatrix : public ::testing::TestWithParam<std::tuple<const char*, int>> {};

// Password login, a command and its output in the screen model, for each of the four ciphers
// and two MACs, under one key exchange and host key.
TEST_P(SshOpenSshMatrix, EveryCipherAndMac) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    const char* kex = std::get<0>(GetParam());
    const std::int32_t hostkey = std::get<1>(GetParam());
    SshdServer server(std::string("KexAlgorithms ") + kex);
    ASSERT_TRUE(server.ok()) << server.error();
    struct Suite {
        std::int32_t cipher;
        const char* cipher_name;
    } suites[] = {{3, "aes128-cbc"}, {2, "aes192-cbc"}, {0, "aes256-cbc"}, {4, "3des-cbc"}};
    for (const Suite& suite : suites) {
        for (std::int32_t mac : {0, 1}) {
            SCOPED_TRACE(std::string(kex) + " " + suite.cipher_name + " mac " +
                         std::to_string(mac) + " hostkey " + std::to_string(hostkey));
            SshClient client;
            client.config.SetInt(setting::debug, 1);
            client.config.SetList(setting::ssh2_EnabledCiphers, &suite.cipher, 1);
            client.config.SetList(setting::ssh2_EnabledMACs, &mac, 1);
            client.config.SetList(setting::ssh2_hostkey_algorithms, &hostkey, 1);
            client.ui.QueueYesNo(true);
            client.ui.QueuePrompt(std::string(testing::kTestPassword));
            ASSERT_EQ(client.Open(server.port()), 0);
            ASSERT_TRUE(client.WaitConnected()) << client.AllRows() << server.Log();
            const std::string all = client.AllRows();
            EXPECT_NE(all.find(std::string("Using cipher: ") + suite.cipher_name),
                      std::string::npos);
            EXPECT_NE(all.find(std::string("Using MAC: ") + (mac == 0 ? "hmac-sha1" : "hmac-md5")),
                      std::string::npos);
            EXPECT_NE(all.find(std::string("Using key algorithm: ") +
                               (hostkey == 0 ? "ssh-rsa" : "ssh-dss")),
                      std::string::npos);
            client.Type("echo tw-$((6*7))-ok\n");
            EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("tw-42-ok"); }))
                << client.Screen();
            client.Type("exit\n");
            EXPECT_TRUE(client.RunUntil([&] { return client.ended.load(); }, 5s))
                << client.Screen() << "\nTCP connected " << client.tcp->IsConnected() << " ended "
                << client.ended << " status " << client.end_status << " pumps " << client.pumps;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KexAndHostKey, SshOpenSshMatrix,
                         ::testing::Combine(::testing::Values("diffie-hellman-group1-sha1",
                                                              "diffie-hellman-group-exchange-sha1"),
                                            ::testing::Values(0, 1)),
                         [](const ::testing::TestParamInfo<std::tuple<const char*, int>>& info) {
                             const std::string kex = std::get<0>(info.param);
                             return std::string(kex.find("exchange") != std::string::npos
                                                    ? "group_exchange"
                                                    : "group1") +
                                    (std::get<1>(info.param) == 0 ? "_rsa" : "_dss");
                         });

TEST(SshOpenSsh, HostKeyFingerprintIsTheOneSshKeygenShows) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    SshClient client;
    const std::int32_t rsa = 0;
    client.config.SetList(setting::ssh2_hostkey_algorithms, &rsa, 1);
    client.ui.QueueYesNo(false);
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.RunUntil([&] { return client.ui.CountOf(ScriptedUi::Kind::kYesNo) > 0; }));
    // "2048 MD5:aa:bb:... comment (RSA)"
    std::string line =
        testing::RunCommand("ssh-keygen -l -E md5 -f " + server.dir() + "/host_rsa.pub");
    std::size_t at = line.find("MD5:");
    ASSERT_NE(at, std::string::npos) << line;
    std::string fingerprint = line.substr(at + 4, 47);
    std::string shown = client.ui.shown().back().text;
    EXPECT_EQ(shown.substr(0, 13 + 24 + 1 + 23),
              "Fingerprint: " + fingerprint.substr(0, 24) + " " + fingerprint.substr(24));
    // Refused: the connection ends.
    EXPECT_TRUE(client.RunUntil([&] { return !client.tcp->IsConnected(); }, 5s));
}

TEST(SshOpenSsh, KeyboardInteractiveThroughPam) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server("PasswordAuthentication no");
    ASSERT_TRUE(server.ok()) << server.error();
    SshClient client;
    client.ui.QueueYesNo(true);
    client.ui.QueuePrompt(std::string(testing::kTestPassword));
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.AllRows() << server.Log();
    bool asked = false;
    for (const auto& shown : client.ui.shown()) {
        if (shown.kind == ScriptedUi::Kind::kPrompt) {
            asked = shown.text.find("assword") != std::string::npos && shown.secret;
        }
    }
    EXPECT_TRUE(asked);
    EXPECT_NE(server.Log().find("keyboard-interactive"), std::string::npos);
    client.Type("echo kbd-$((2+3))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("kbd-5"); }));
}

// A recording client with debug messages, logged in with the password.
void LogIn(SshdServer& server, SshClient& client) {
    ASSERT_TRUE(server.ok()) << server.error();
    client.config.SetInt(setting::debug, 1);
    client.ui.QueueYesNo(true);
    client.ui.QueuePrompt(std::string(testing::kTestPassword));
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Displayed() << server.Log();
}

TEST(SshOpenSsh, ServerRekeysMidSessionAndTheSessionCarriesOn) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server("RekeyLimit 256K");
    SshClient client(false);
    ASSERT_NO_FATAL_FAILURE(LogIn(server, client));
    // About 2 MB of output (eight re-keys at least), with input typed in the middle of it.
    client.Type("stty -echo; seq 1 300000; echo rekey-$((20+3))\n");
    ASSERT_TRUE(client.RunUntil(
        [&] { return client.Output().find("299999\r\n300000\r\n") != std::string::npos; }, 30s))
        << server.Log();
    client.Type("echo after-$((40+2))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("after-42"); }, 10s));
    const std::string out = client.Output();
    EXPECT_NE(out.find("\r\n150000\r\n150001\r\n"), std::string::npos);
    EXPECT_NE(out.find("rekey-23"), std::string::npos);
    EXPECT_GE(client.KeyExchanges(), 4u);
    EXPECT_EQ(client.end_status, 0);
}

TEST(SshOpenSsh, ClientRekeysAfterItsLimitAndAsksForNoAgent) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server;
    SshClient client(false);
    ASSERT_NO_FATAL_FAILURE(LogIn(server, client));
    // The session did not ask for agent forwarding: the server offers none.
    client.Type("stty -echo; echo agent=[$SSH_AUTH_SOCK]\n");
    ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("agent=[]"); }, 10s))
        << client.Output();
    // Our own limit, far below sshd's: the client starts the exchanges, sshd follows. About
    // 7 MB of output; up to a window's worth (2 MiB) may already be on its way under the old
    // keys each time, so at least three exchanges of ours.
    SSH2TestAccess::SetRekeyLimits(*client.ssh, 256 * 1024, std::chrono::hours(1));
    client.Type("seq 1 1000000; echo rekey-$((20+3))\n");
    ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("rekey-23"); }, 60s)) << server.Log();
    EXPECT_NE(client.Output().find("\r\n999999\r\n1000000\r\n"), std::string::npos);
    EXPECT_GE(client.KeyExchanges(), 4u);
    client.Type("echo after-$((40+2))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("after-42"); }, 10s));
    EXPECT_EQ(client.end_status, 0);
}

// An echo server for the forwards: each connection gets back what it sends.
class EchoServer {
  public:
    EchoServer() {
        thread_ = std::thread([this] {
            int fd = listener_.Accept(20000);
            if (fd < 0) return;
            char buffer[65536];
            for (;;) {
                ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got <= 0) break;
                if (!testing::WriteAll(fd, std::string(buffer, static_cast<std::size_t>(got)))) {
                    break;
                }
            }
            close(fd);
        });
    }
    ~EchoServer() { thread_.join(); }
    int port() const { return listener_.port(); }

  private:
    testing::LoopbackListener listener_;
    std::thread thread_;
};

// With the legacy algorithms turned on, and with sshd as Debian installs it (chacha20-poly1305).
class SshOpenSshForward : public ::testing::TestWithParam<bool> {};

TEST_P(SshOpenSshForward, ForwardOnlySessionCarriesTenMegabytesBothWays) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(GetParam() ? testing::SshdConfig::Default() : testing::SshdConfig{});
    ASSERT_TRUE(server.ok()) << server.error();
    EchoServer echo;
    SshClient client;
    client.config.SetInt(setting::ssh2_want_interactive, 0);
    // Port 0: the system chooses the forward's port, and the layer tells which.
    client.config.AddForward({0, static_cast<std::uint32_t>(echo.port()), "127.0.0.1", 0});
    client.ui.QueueYesNo(true);
    client.ui.QueuePrompt(std::string(testing::kTestPassword));
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.AllRows() << server.Log();
    ASSERT_EQ(client.ssh->ListenerPorts().size(), 1u);
    const int local_port = static_cast<int>(client.ssh->ListenerPorts()[0]);
    ASSERT_GT(local_port, 0);

    std::string data(10 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7919 + (i >> 11)) & 0xff);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(local_port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    std::thread writer([&] { testing::WriteAll(fd, data); });
    std::string back;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        back = testing::ReadSome(fd, data.size(), 60000);
        done = true;
    });
    EXPECT_TRUE(client.RunUntil([&] { return done.load(); }, 90s));
    writer.join();
    reader.join();
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data);
    // The local end closes; the channel goes once the server has closed it too.
    close(fd);
    EXPECT_TRUE(client.RunUntil([&] { return client.ssh->ChannelCount() == 0; }, 10s));
    EXPECT_EQ(client.ssh->IsConnected(), 1);
}

INSTANTIATE_TEST_SUITE_P(Sshd, SshOpenSshForward, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Default" : "Legacy"; });

}  // namespace
}  // namespace tarnwick
