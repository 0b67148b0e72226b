// IO_SSH1 against the independent Python server: every cipher with both orders of the RSA
// double encryption, passwords right and wrong, refused and changed host keys, a local forward
// carrying a megabyte each way, and the shell's end ending the session.
#include <gtest/gtest.h>
#include "interop/ssh1_peer.h"
#include "ssh/ssh1_test_access.h"
#include "support/loopback_peer.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::Ssh1Client;
using testing::Ssh1Server;

struct CipherCase {
    int cipher;
    const char* server_key;
    const char* host_key;
};

void PrintTo(const CipherCase& c, std::ostream* out) {
    *out << ssh1::CipherName(c.cipher) << " with a " << c.server_key << "-bit server key and a "
         << c.host_key << "-bit host key";
}

// Each test's host keys in a registry of its own.
class Ssh1Interop : public ::testing::Test {
  protected:
    testing::IsolatedConfig isolated_;
};

class Ssh1CipherTest : public Ssh1Interop, public ::testing::WithParamInterface<CipherCase> {};

TEST_P(Ssh1CipherTest, LogsInWithAPasswordAndRunsACommand) {
    const CipherCase& c = GetParam();
    Ssh1Server server({"--password", "s3cret"}, c.server_key, c.host_key);
    ASSERT_TRUE(server.ok()) << server.Log();
    Ssh1Client client;
    client.config.SetInt(setting::ssh_cipher, c.cipher);
    client.ui.QueueYesNo(true);  // save the unknown host key
    client.ui.QueuePrompt(std::string("s3cret"));
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Screen() << server.Log();
    ASSERT_TRUE(client.WaitShows("$ ")) << client.Screen() << server.Log();
    client.Type("echo ssh1-$((6*7))\r");
    EXPECT_TRUE(client.WaitShows("ssh1-42")) << client.Screen() << server.Log();

    const std::string log = server.Log();
    EXPECT_NE(log.find("SESSION_KEY cipher=" + std::to_string(c.cipher)), std::string::npos);
    EXPECT_NE(log.find("PASSWORD ok"), std::string::npos) << log;
    EXPECT_NE(log.find("PTY vt100 24 80"), std::string::npos) << log;
    EXPECT_EQ(log.find("CRC_MISMATCH"), std::string::npos) << log;
    ASSERT_EQ(client.ui.CountOf(ScriptedUi::Kind::kPrompt), 1);
    EXPECT_EQ(client.Screen().find("s3cret"), std::string::npos);
}

// DES and Blowfish encrypt with the server key first (it is the shorter), 3DES with the host key.
INSTANTIATE_TEST_SUITE_P(Ciphers, Ssh1CipherTest,
                         ::testing::Values(CipherCase{2, "1024", "1536"},
                                           CipherCase{3, "1536", "1024"},
                                           CipherCase{6, "1024", "1536"}),
                         [](const auto& info) {
                             return std::string(ssh1::CipherName(info.param.cipher));
                         });

TEST_F(Ssh1Interop, TheSecondWrongPasswordEndsTheSession) {
    Ssh1Server server({"--password", "right"});
    ASSERT_TRUE(server.ok()) << server.Log();
    Ssh1Client client;
    client.ui.QueueYesNo(true);
    client.ui.QueuePrompt(std::string("wrong-1"));
    client.ui.QueuePrompt(std::string("wrong-2"));
    client.ui.QueuePrompt(std::string("right"));  // never asked for
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitEnded()) << client.Screen() << server.Log();

    std::vector<std::string> prompts;
    for (const auto& shown : client.ui.shown()) {
        if (shown.kind == ScriptedUi::Kind::kPrompt) {
            EXPECT_TRUE(shown.secret);
            prompts.push_back(shown.text);
        }
    }
    EXPECT_EQ(prompts,
              (std::vector<std::string>{"Password for tarnwick on host 127.0.0.1:",
                                        "Password (invalid) for tarnwick on host 127.0.0.1:"}));
    EXPECT_NE(client.Screen().find("Username and/or password invalid"), std::string::npos);
    EXPECT_TRUE(server.WaitForLog("PASSWORD bad 2", 5s)) << server.Log();
    EXPECT_EQ(server.Log().find("PASSWORD ok"), std::string::npos);
    EXPECT_EQ(client.ssh->IsConnected(), 0);
}

TEST_F(Ssh1Interop, ARefusedHostKeyEndsTheSessionBeforeTheSessionKey) {
    Ssh1Server server;
    ASSERT_TRUE(server.ok()) << server.Log();
    Ssh1Client client;
    client.ui.QueueYesNo(false);
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitEnded()) << client.Screen();
    EXPECT_EQ(client.end_status, status::kSsh1HostKeyRefused);
    ASSERT_EQ(client.ui.CountOf(ScriptedUi::Kind::kYesNo), 1);
    EXPECT_NE(client.ui.shown()[0].text.find("The host key cannot be verified."),
              std::string::npos);
    EXPECT_TRUE(server.WaitForLog("CONNECTION_CLOSED", 5s));
    EXPECT_EQ(server.Log().find("SESSION_KEY"), std::string::npos) << server.Log();
}

TEST_F(Ssh1Interop, AChangedHostKeyIsQuestionedAndCanBeRejected) {
    // Both connections use the test's one registry.
    {
        Ssh1Server first({}, "1024", "1536");
        ASSERT_TRUE(first.ok()) << first.Log();
        Ssh1Client client;
        client.ui.QueueYesNo(true);
        ASSERT_EQ(client.Open(first.port()), 0);
        ASSERT_TRUE(client.WaitConnected()) << client.Screen() << first.Log();
    }
    Ssh1Server second({}, "1536", "1024");  // another host key on the same host name
    ASSERT_TRUE(second.ok()) << second.Log();
    Ssh1Client client;
    client.ui.QueueHostKey(HostKeyChoice::kReject);
    ASSERT_EQ(client.Open(second.port()), 0);
    ASSERT_TRUE(client.WaitEnded()) << client.Screen();
    EXPECT_EQ(client.end_status, status::kSsh1HostKeyRefused);
    ASSERT_EQ(client.ui.CountOf(ScriptedUi::Kind::kHostKey), 1);
    const auto shown = client.ui.shown();
    EXPECT_NE(shown[0].text.find("The host key from the server doesn't match the host key that "
                                 "you previously accepted!"),
              std::string::npos)
        << shown[0].text;
    EXPECT_TRUE(shown[0].allow_overwrite);
    EXPECT_EQ(second.Log().find("SESSION_KEY"), std::string::npos);
}

TEST_F(Ssh1Interop, ALocalForwardCarriesAMegabyteIntactBothWays) {
    // The far end: an echo server that the Python server reaches on 127.0.0.1.
    testing::EchoServer echo;

    Ssh1Server server({"--host-in-fwd-open"});  // no password: straight to the terminal
    ASSERT_TRUE(server.ok()) << server.Log();
    Ssh1Client client;
    testing::ReservedPort reserved;
    const int local_port = reserved.port();
    PortForward forward;
    forward.local_port = static_cast<std::uint32_t>(local_port);
    forward.remote_host = "127.0.0.1";
    forward.remote_port = static_cast<std::uint32_t>(echo.port());
    client.config.AddForward(forward);
    client.ui.QueueYesNo(true);
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Screen() << server.Log();
    EXPECT_EQ(client.ui.CountOf(ScriptedUi::Kind::kPrompt), 0);
    ASSERT_EQ(client.ssh->ListenerPorts(), std::vector<std::uint32_t>{forward.local_port});

    std::string data(1 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7919) >> 5);
    // The program says all it has to say and shuts its sending side, as a client of a forward.
    testing::EchoClient program(local_port, data, true);
    ASSERT_TRUE(client.RunUntil([&] { return program.done(); }, 90s)) << server.Log();
    EXPECT_EQ(program.echoed(), data.size());
    EXPECT_TRUE(program.intact()) << "the echoed megabyte differs";
    // Both directions closed on both sides.
    EXPECT_TRUE(server.WaitForLog("CHANNEL_CLOSED", 10s)) << server.Log();
    const std::string originator =
        std::to_string(local_port) + ":127.0.0.1:" + std::to_string(echo.port());
    EXPECT_NE(
        server.Log().find("PORT_OPEN 127.0.0.1 " + std::to_string(echo.port()) + " " + originator),
        std::string::npos)
        << server.Log();
}

TEST_F(Ssh1Interop, TheShellsEndEndsTheSession) {
    Ssh1Server server;
    ASSERT_TRUE(server.ok()) << server.Log();
    Ssh1Client client;
    client.ui.QueueYesNo(true);
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitShows("$ ")) << client.Screen() << server.Log();
    client.Type("exit 3\r");
    ASSERT_TRUE(client.WaitEnded()) << client.Screen() << server.Log();
    EXPECT_EQ(client.ssh->IsConnected(), 0);
    EXPECT_TRUE(server.WaitForLog("SHELL_EXITED 3", 5s)) << server.Log();
    EXPECT_TRUE(server.WaitForLog("EXIT_CONFIRMED", 5s)) << server.Log();
}

TEST_F(Ssh1Interop, AWideTerminalIsAnnouncedAs255Columns) {
    Ssh1Server server;
    ASSERT_TRUE(server.ok()) << server.Log();
    // Wider than the 255 columns the terminal request can carry.
    auto top = std::make_unique<TerminalStandIn>(TerminalFacts{"xterm", 300, 60});
    TerminalStandIn* terminal = top.get();
    Ssh1Client client(std::move(top));
    client.ui.QueueYesNo(true);
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << server.Log();
    EXPECT_TRUE(server.WaitForLog("PTY xterm 60 255", 5s)) << server.Log();
    // The real terminal size reaches the shell as the request carried it.
    ASSERT_TRUE(
        client.RunUntil([&] { return terminal->Received().find("$ ") != std::string::npos; }));
    client.Type("stty size\r");
    EXPECT_TRUE(client.RunUntil([&] {
        return terminal->Received().find("60 255") != std::string::npos;
    })) << terminal->Received();
}

}  // namespace
}  // namespace tarnwick
