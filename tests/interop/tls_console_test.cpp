// The TLS kinds in the console front end, as a person uses them, driven through tmux against
// gnutls-serv: Connect offers the SSL connection, the self-signed certificate is accepted once, the
// echo shows on the screen; then an SSL port forward carries a local program's text, silently now
// that the certificate is known.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/loopback_peer.h"
#include "support/test_util.h"
#include "support/tmux.h"
#include "tls_peers.h"

namespace tarnwick {
namespace {

TEST(TlsConsoleTest, ConnectAcceptTheCertificateTypeAndForward) {
    testing::TlsTestPki pki;
    ASSERT_TRUE(pki.ok());
    testing::GnutlsServer server(pki.Pem("selfsigned"), pki.key());
    ASSERT_TRUE(server.ok()) << server.log();
    testing::TempDir config_dir;
    testing::Tmux tmux("tarnwick-tls");
    tmux.StartConsole(config_dir.path());
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();

    ASSERT_TRUE(tmux.Choose("3  New SSL Connection")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Hostname:")) << tmux.Screen();
    tmux.Line("localhost");
    ASSERT_TRUE(tmux.WaitFor("Port: 443")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(std::to_string(server.port()));
    ASSERT_TRUE(tmux.WaitFor("Debug Messages [y/N]")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("More settings: [t]erminal")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("The host key cannot be verified.")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("[1:SSL: localhost]")) << tmux.Screen();
    // gnutls-serv echoes whole lines: Ctrl-J ends one.
    tmux.Literal("console-tls-echo");
    tmux.Keys("C-j");
    ASSERT_TRUE(tmux.WaitFor("console-tls-echo")) << tmux.Screen();

    // An SSL port forward from a port of our choosing to the same server.
    testing::ReservedPort reserved;
    const int local_port = reserved.port();
    ASSERT_TRUE(tmux.Choose("4  New PortForward SSL Connection")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Forward from port:")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(std::to_string(local_port));
    ASSERT_TRUE(tmux.WaitFor("Forward to:")) << tmux.Screen();
    tmux.Line("localhost");
    ASSERT_TRUE(tmux.WaitFor("Port: 443")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(std::to_string(server.port()));
    ASSERT_TRUE(tmux.WaitFor("Debug Messages [y/N]")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("[2:SSLPF: localhost]")) << tmux.Screen();
    // The listener comes up on its own thread; every connection made is a session, so the
    // program itself tries until it is let in.
    int program = -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (program < 0 && std::chrono::steady_clock::now() < deadline) {
        program = testing::ConnectLoopback(local_port);
        if (program < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(program, 0) << tmux.Screen();
    ASSERT_TRUE(testing::WriteAll(program, "forwarded text\r\n"));
    EXPECT_EQ(testing::ReadSome(program, 16, 20000), "forwarded text\r\n");
    EXPECT_TRUE(tmux.WaitFor("3:SSL: ")) << tmux.Screen();  // and the program's host name
    close(program);

    EXPECT_TRUE(tmux.Quit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
