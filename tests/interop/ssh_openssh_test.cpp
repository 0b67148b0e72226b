// The SSH2 layer against a real OpenSSH server on 127.0.0.1 with its legacy algorithms turned on:
// every old key exchange, host key, cipher and MAC, re-keying started by the client, and local
// port forwards carrying 10 MB both ways. (Every login through sshd's PAM goes by
// keyboard-interactive, which the client tries before "password".)
#include <gtest/gtest.h>

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
            ASSERT_TRUE(client.LogIn(server.port())) << client.AllRows() << server.Log();
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

TEST(SshOpenSsh, ClientRekeysAfterItsLimitAndAsksForNoAgent) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    SshClient client(false);
    client.config.SetInt(setting::debug, 1);  // it counts the key exchanges
    ASSERT_TRUE(client.LogIn(server.port())) << client.Displayed() << server.Log();
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

// With the legacy algorithms turned on, and with sshd as Debian installs it (chacha20-poly1305).
class SshOpenSshForward : public ::testing::TestWithParam<bool> {};

TEST_P(SshOpenSshForward, ForwardOnlySessionCarriesTenMegabytesBothWays) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(GetParam() ? testing::SshdConfig::Default() : testing::SshdConfig{});
    ASSERT_TRUE(server.ok()) << server.error();
    testing::EchoServer echo;
    SshClient client;
    client.config.SetInt(setting::ssh2_want_interactive, 0);
    // Port 0: the system chooses the forward's port, and the layer tells which.
    client.config.AddForward({0, static_cast<std::uint32_t>(echo.port()), "127.0.0.1", 0});
    ASSERT_TRUE(client.LogIn(server.port())) << client.AllRows() << server.Log();
    ASSERT_EQ(client.ssh->ListenerPorts().size(), 1u);
    const int local_port = static_cast<int>(client.ssh->ListenerPorts()[0]);
    ASSERT_GT(local_port, 0);

    std::string data(10 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7919 + (i >> 11)) & 0xff);
    testing::EchoClient program(local_port, data);
    ASSERT_TRUE(program.connected());
    EXPECT_TRUE(client.RunUntil([&] { return program.done(); }, 90s));
    ASSERT_EQ(program.echoed(), data.size());
    EXPECT_TRUE(program.intact());
    // The local end closes; the channel goes once the server has closed it too.
    program.Close();
    EXPECT_TRUE(client.RunUntil([&] { return client.ssh->ChannelCount() == 0; }, 10s));
    EXPECT_EQ(client.ssh->IsConnected(), 1);
}

INSTANTIATE_TEST_SUITE_P(Sshd, SshOpenSshForward, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Default" : "Legacy"; });

}  // namespace
}  // namespace tarnwick
