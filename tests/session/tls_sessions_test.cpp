// The port-forward kinds in the session list, making a session of their own for every local
// connection through the session layer's answer to the listener. The far ends here are plain
// sockets; the TLS side, and the chains of the other TLS kinds, are the interop tests' business.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "session/deferred_deletion.h"
#include "session/session.h"
#include "support/loopback_peer.h"
#include "support/memory_front_end.h"
#include "support/test_util.h"
#include "transport/socket_listener.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

std::vector<int> ChainTypes(Session* session) {
    std::vector<int> types;
    for (IO* layer = session->GetTerminal(); layer != nullptr; layer = layer->GetLower())
        types.push_back(layer->GetType());
    return types;
}

class TlsSessionsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Preferences::Instance().SetInt(pref::EnableICM, 0);
        list_ = std::make_unique<SessionList>(&front_end_);
    }
    void TearDown() override {
        list_.reset();
        DeferredDeletion::Instance().DestroyAll();
        for (int fd : sockets_)
            close(fd);
    }

    SessionConfig* Config(int kind, int port) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kind);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetInt(setting::portnum, port);
        config->SetInt(setting::portnum_listener, 0);
        return config;
    }
    Session* Create(SessionConfig* config) {
        list_->CreateSession(config);
        return list_->Current();
    }
    std::string Title(Session* s) { return Utf16ToUtf8(list_->menu().TitleOf(s)); }
    int ListeningPort(Session* s) {
        auto* listener = static_cast<IO_SocketListener*>(s->GetTerminal()->GetLower());
        loop_.RunUntil([&] { return listener->ListeningPort() != 0; }, 5s);
        return listener->ListeningPort();
    }
    int Track(int fd) {
        if (fd >= 0) sockets_.push_back(fd);
        return fd;
    }
    // Runs the loop until the list holds count sessions.
    bool WaitForSessions(std::size_t count) {
        return loop_.RunUntil([&] { return list_->Sessions().size() == count; }, 10s);
    }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
    EventLoop loop_;
    testing::MemoryFrontEnd front_end_;
    std::unique_ptr<SessionList> list_;
    testing::LoopbackListener server_;
    std::vector<int> sockets_;
};

TEST_F(TlsSessionsTest, EveryLocalConnectionBecomesASessionOfItsOwn) {
    Session* forward = Create(Config(kKindSSLPortForward, server_.port()));
    const int port = ListeningPort(forward);
    ASSERT_NE(port, 0);

    const int program = Track(testing::ConnectLoopback(port));
    ASSERT_GE(program, 0);
    ASSERT_TRUE(WaitForSessions(2));
    Session* accepted = list_->Sessions()[1];
    EXPECT_EQ(list_->Current(), forward);  // the new session does not take over
    EXPECT_EQ(ChainTypes(accepted),
              (std::vector<int>{kLayerVT, kLayerSocketWorker, kLayerSSL, kLayerTCPIP}));
    // "SSL: " and the local program's host name (127.0.0.1 read back, or the address itself).
    const std::string title = Title(accepted);
    EXPECT_TRUE(title == "SSL: localhost" || title == "SSL: 127.0.0.1") << title;
    EXPECT_NE(testing::ScreenText(accepted).find("Connecting new session"), std::string::npos);
    // Its chain went to the configured host and port.
    const int far_end = Track(server_.Accept());
    ASSERT_GE(far_end, 0);
    EXPECT_EQ(testing::ReadSome(far_end, 3), std::string("\x16\x03\x01", 3));

    // The far end going away ends that session alone, and the local program learns of it.
    shutdown(far_end, SHUT_RDWR);
    ASSERT_TRUE(loop_.RunUntil([&] { return accepted->IsLinkUp() == 0; }, 10s));
    EXPECT_TRUE(testing::SeesEndOfStream(program));
    EXPECT_EQ(Title(accepted), "(" + title + ")");
    EXPECT_EQ(forward->IsLinkUp(), 1);
    const int second = Track(testing::ConnectLoopback(port));
    ASSERT_GE(second, 0);
    EXPECT_TRUE(WaitForSessions(3));

    // Disconnecting the listener's session stops the accepting.
    forward->Disconnect();
    EXPECT_LT(testing::ConnectLoopback(port), 0);
}

TEST_F(TlsSessionsTest, AConnectionWhoseServerRefusesIsEndedAtOnce) {
    testing::RefusingPort refusing;
    const int refused = refusing.port();
    Session* forward = Create(Config(kKindSSLPortForward, refused));
    const int program = Track(testing::ConnectLoopback(ListeningPort(forward)));
    ASSERT_TRUE(WaitForSessions(2));
    EXPECT_TRUE(loop_.RunUntil([&] { return list_->Sessions()[1]->IsLinkUp() == 0; }, 10s));
    EXPECT_TRUE(testing::SeesEndOfStream(program));
    EXPECT_EQ(forward->IsLinkUp(), 1);
}

}  // namespace
}  // namespace tarnwick
