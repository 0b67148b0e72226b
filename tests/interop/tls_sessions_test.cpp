// The TLS kinds as sessions of the session list against gnutls-serv: a TLS terminal session,
// Telnet through TLS, and SSL port forwarding with two local programs at once, 10 MB through the
// forwarder both ways, and one program's end leaving the other's session alone.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "session/deferred_deletion.h"
#include "session/session.h"
#include "support/loopback_peer.h"
#include "support/memory_front_end.h"
#include "support/test_util.h"
#include "terminal/key_handling.h"
#include "tls_client.h"
#include "tls_peers.h"
#include "transport/socket_listener.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// Any byte but NUL, ending in a line end: gnutls-serv's echo ends a record's text at its first
// NUL and answers whole lines.
std::string Pattern(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245 + 12345;
        c = static_cast<char>(1 + (seed >> 16) % 255);
    }
    data.back() = '\n';
    return data;
}

// A local program: writes its data while it reads the echo back, on threads of its own.
class LocalProgram {
  public:
    LocalProgram(int port, std::string data) : data_(std::move(data)) {
        fd_ = testing::ConnectLoopback(port);
        if (fd_ < 0) return;
        writer_ = std::thread([this] { testing::WriteAll(fd_, data_); });
        reader_ = std::thread([this] {
            echoed_ = testing::ReadSome(fd_, data_.size(), 120000);
            done_ = true;
        });
    }
    ~LocalProgram() {
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
        if (writer_.joinable()) writer_.join();
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    bool done() const { return done_; }
    bool intact() const { return done_ && echoed_ == data_; }
    std::size_t echoed() const { return echoed_.size(); }
    int fd() const { return fd_; }

  private:
    std::string data_;
    std::string echoed_;
    std::atomic<bool> done_{false};
    int fd_ = -1;
    std::thread writer_;
    std::thread reader_;
};

class TlsSessionsInteropTest : public ::testing::Test {
  protected:
    static testing::TlsTestPki& Pki() {
        static testing::TlsTestPki pki;
        return pki;
    }
    void SetUp() override {
        ASSERT_TRUE(Pki().ok());
        server_ = std::make_unique<testing::GnutlsServer>(Pki().Pem("server"), Pki().key());
        ASSERT_TRUE(server_->ok()) << server_->log();
        list_ = std::make_unique<SessionList>(&front_end_);
    }
    void TearDown() override {
        list_.reset();
        DeferredDeletion::Instance().DestroyAll();
    }

    Session* Create(int kind) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kind);
        config->SetNarrow(setting::hostname, "localhost");
        config->SetInt(setting::portnum, server_->port());
        config->SetInt(setting::portnum_listener, 0);
        config->SetInt(setting::rows, 24);
        config->SetInt(setting::columns, 80);
        if (kind == kKindTelnet) config->SetInt(setting::enable_ssl, 1);
        EXPECT_EQ(list_->CreateSession(config), 1);
        return list_->Current();
    }
    void Type(Session* s, const std::string& text) {
        for (unsigned char c : text)
            s->PushKey(c);
        KeyHandler::PumpKeys(s);
    }
    bool Shows(Session* s, const std::string& text) {
        return loop_.RunUntil(
            [&] { return testing::ScreenText(s).find(text) != std::string::npos; }, 20s);
    }

    testing::TlsTestEnvironment env_{Pki().ca_folder()};
    ScriptedUi& ui_ = env_.ui;
    EventLoop& loop_ = env_.loop;
    testing::MemoryFrontEnd front_end_;
    std::unique_ptr<testing::GnutlsServer> server_;
    std::unique_ptr<SessionList> list_;
};

TEST_F(TlsSessionsInteropTest, ATlsTerminalSessionAndTelnetThroughTls) {
    for (int kind : {kKindSSL, kKindTelnet}) {
        Session* s = Create(kind);
        ASSERT_TRUE(loop_.RunUntil([&] { return s->IsConnected() == 1; }, 20s))
            << testing::ScreenText(s);
        Type(s, "typed-" + std::to_string(kind) + "\r\n");
        EXPECT_TRUE(Shows(s, "typed-" + std::to_string(kind))) << testing::ScreenText(s);
        EXPECT_TRUE(ui_.shown().empty());
    }
}

TEST_F(TlsSessionsInteropTest, TwoProgramsThroughOneForwarderEachInItsOwnSession) {
    Session* forward = Create(kKindSSLPortForward);
    auto* listener = static_cast<IO_SocketListener*>(forward->GetTerminal()->GetLower());
    ASSERT_TRUE(loop_.RunUntil([&] { return listener->ListeningPort() != 0; }, 5s));
    const int port = listener->ListeningPort();

    // 10 MB one way and back, and a second program at the same time.
    LocalProgram big(port, Pattern(10 * 1000 * 1000, 1));
    LocalProgram small(port, Pattern(100 * 1000, 2));
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
    shutdown(big.fd(), SHUT_RDWR);
    ASSERT_TRUE(loop_.RunUntil(
        [&] { return sessions[1]->IsLinkUp() + sessions[2]->IsLinkUp() == 1; }, 20s));
    EXPECT_EQ(forward->IsLinkUp(), 1);
    LocalProgram third(port, "still forwarding\r\n");
    ASSERT_TRUE(loop_.RunUntil([&] { return third.done(); }, 20s));
    EXPECT_TRUE(third.intact());
}

}  // namespace
}  // namespace tarnwick
