// The TLS kinds as sessions of the session list against gnutls-serv: a TLS terminal session,
// Telnet through TLS, and SSL port forwarding with two local programs at once, 10 MB through the
// forwarder both ways, and one program's end leaving the other's session alone.
#include <gtest/gtest.h>

#include "support/loopback_peer.h"
#include "support/session_fixture.h"
#include "tls_client.h"
#include "tls_peers.h"
#include "transport/socket_listener.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

class TlsSessionsInteropTest : public ::testing::Test, public testing::SessionListFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing::SharedTestPki().ok());
        testing::TrustCaFolder(testing::SharedTestPki().ca_folder());
        server_ = std::make_unique<testing::GnutlsServer>(testing::SharedTestPki().Pem("server"),
                                                          testing::SharedTestPki().key());
        ASSERT_TRUE(server_->ok()) << server_->log();
    }
    void TearDown() override { CloseSessions(); }

    Session* Open(int kind) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kind);
        config->SetNarrow(setting::hostname, "localhost");
        config->SetInt(setting::portnum, server_->port());
        config->SetInt(setting::portnum_listener, 0);
        config->SetInt(setting::rows, 24);
        config->SetInt(setting::columns, 80);
        if (kind == kKindTelnet) config->SetInt(setting::enable_ssl, 1);
        Session* s = Create(config);
        EXPECT_NE(s, nullptr);
        return s;
    }

    std::unique_ptr<testing::GnutlsServer> server_;
};

TEST_F(TlsSessionsInteropTest, ATlsTerminalSessionAndTelnetThroughTls) {
    for (int kind : {kKindSSL, kKindTelnet}) {
        Session* s = Open(kind);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(loop_.RunUntil([&] { return s->IsConnected() == 1; }, 20s))
            << testing::ScreenText(s);
        Type(s, "typed-" + std::to_string(kind) + "\r\n");
        EXPECT_TRUE(WaitForScreen(s, "typed-" + std::to_string(kind))) << testing::ScreenText(s);
        EXPECT_TRUE(ui_.shown().empty());
    }
}

TEST_F(TlsSessionsInteropTest, TwoProgramsThroughOneForwarderEachInItsOwnSession) {
    Session* forward = Open(kKindSSLPortForward);
    ASSERT_NE(forward, nullptr);
    auto* listener = static_cast<IO_SocketListener*>(forward->GetTerminal()->GetLower());
    ASSERT_TRUE(loop_.RunUntil([&] { return listener->ListeningPort() != 0; }, 5s));
    const int port = listener->ListeningPort();

    // 10 MB one way and back, and a second program at the same time.
    testing::EchoClient big(port, testing::EchoableData(10 * 1000 * 1000, 1));
    testing::EchoClient small(port, testing::EchoableData(100 * 1000, 2));
    ASSERT_TRUE(big.connected() && small.connected());
    ASSERT_TRUE(loop_.RunUntil([&] { return big.done() && small.done(); }, 120s))
        << big.echoed() << " and " << small.echoed() << " bytes came back";
    EXPECT_TRUE(big.intact());
    EXPECT_TRUE(small.intact());
    const std::vector<Session*> sessions = list_->Sessions();
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(list_->Current(), forward);

    // One program ends: its session alone is disconnected.
    EXPECT_EQ(sessions[1]->IsConnected() + sessions[2]->IsConnected(), 2);
    big.Close();
    ASSERT_TRUE(loop_.RunUntil(
        [&] { return sessions[1]->IsLinkUp() + sessions[2]->IsLinkUp() == 1; }, 20s));
    EXPECT_EQ(forward->IsLinkUp(), 1);
    testing::EchoClient third(port, "still forwarding\r\n");
    ASSERT_TRUE(loop_.RunUntil([&] { return third.done(); }, 20s));
    EXPECT_TRUE(third.intact());
}

}  // namespace
}  // namespace tarnwick
