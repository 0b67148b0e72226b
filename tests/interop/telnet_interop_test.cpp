// A Telnet session against a real Telnet server (busybox telnetd) on 127.0.0.1, through the whole
// chain: session list, terminal, Telnet, TCP/IP. A small relay between the two records what the
// client sends, so the test can see the bytes on the wire.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "session/deferred_deletion.h"
#include "session/session.h"
#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/memory_front_end.h"
#include "support/test_util.h"
#include "terminal/memory_display.h"
#include "terminal/vt.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// Forwards one connection between a client and the server and keeps the client's bytes.
class Relay {
  public:
    explicit Relay(int server_port) : server_port_(server_port) {
        thread_ = std::thread([this] { Run(); });
    }
    ~Relay() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return listener_.port(); }
    std::string FromClient() {
        std::lock_guard<std::mutex> guard(mutex_);
        return from_client_;
    }

  private:
    void Run() {
        int client = -1;
        while (!stop_ && client < 0) {
            pollfd p{listener_.fd(), POLLIN, 0};
            if (poll(&p, 1, 50) > 0) client = listener_.Accept();
        }
        if (client < 0) return;
        int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(server_port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(client);
            close(server);
            return;
        }
        char buffer[8192];
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0) continue;
            if (p[0].revents) {
                ssize_t n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                {
                    std::lock_guard<std::mutex> guard(mutex_);
                    from_client_.append(buffer, static_cast<std::size_t>(n));
                }
                testing::WriteAll(server, std::string(buffer, static_cast<std::size_t>(n)));
            }
            if (p[1].revents) {
                ssize_t n = recv(server, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                testing::WriteAll(client, std::string(buffer, static_cast<std::size_t>(n)));
            }
        }
        close(client);
        close(server);
    }

    testing::LoopbackListener listener_;
    int server_port_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string from_client_;
    std::thread thread_;
};

class TelnetInteropTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Preferences::Instance().SetInt(pref::EnableICM, 0);
        port_ = testing::UnusedPort();
        ASSERT_TRUE(server_.Start(
            {"busybox", "telnetd", "-F", "-p", std::to_string(port_), "-l", "/bin/sh"}))
            << "busybox (package busybox-static) is needed";
        ASSERT_TRUE(testing::WaitForPort(port_, 5s)) << "busybox telnetd did not start";
    }
    void TearDown() override {
        list_.reset();
        DeferredDeletion::Instance().DestroyAll();
        server_.Stop();
    }

    Session* Connect(int port, int rows = 24, int columns = 80) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindTelnet);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetInt(setting::portnum, port);
        config->SetInt(setting::rows, rows);
        config->SetInt(setting::columns, columns);
        list_ = std::make_unique<SessionList>(&front_end_);
        EXPECT_EQ(list_->CreateSession(config), 1);
        return list_->Current();
    }

    std::string Screen(Session* s) { return testing::ScreenText(s); }

    bool WaitForScreen(Session* s, const std::string& text, std::chrono::milliseconds limit = 5s) {
        return loop_.RunUntil([&] { return Screen(s).find(text) != std::string::npos; }, limit);
    }

    void Type(Session* s, const std::string& text) {
        for (unsigned char c : text)
            s->PushKey(c);
        KeyHandler::PumpKeys(s);
    }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
    EventLoop loop_;
    testing::ChildProcess server_;
    int port_ = 0;
    testing::MemoryFrontEnd front_end_;
    std::unique_ptr<SessionList> list_;
};

TEST_F(TelnetInteropTest, RunsACommandAndReportsTheWindowSize) {
    Session* s = Connect(port_, 30, 100);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(WaitForScreen(s, "#")) << Screen(s);
    Type(s, "echo telnet-$((6*7)); stty size\r");
    ASSERT_TRUE(WaitForScreen(s, "telnet-42")) << Screen(s);
    EXPECT_TRUE(WaitForScreen(s, "30 100")) << Screen(s);
}

TEST_F(TelnetInteropTest, Byte255SurvivesBothDirections) {
    Session* s = Connect(port_);
    ASSERT_TRUE(WaitForScreen(s, "#"));
    // Host to us: the server doubles 0xFF, the Telnet layer undoes it; the terminal keeps the
    // byte between the two markers.
    Type(s, "printf '<\\377>\\n'\r");
    ASSERT_TRUE(loop_.RunUntil(
        [&] {
            VT* vt = s->GetVT();
            for (int r = 0; vt && r < vt->GetRows(); ++r) {
                for (int c = 0; c + 2 < vt->GetColumns(); ++c) {
                    int row = vt->GetScrollback() + r;
                    if ((vt->GetCell(c, row) & 0xFF) == '<' &&
                        (vt->GetCell(c + 1, row) & 0xFF) == 0xFF &&
                        (vt->GetCell(c + 2, row) & 0xFF) == '>') {
                        return true;
                    }
                }
            }
            return false;
        },
        5s))
        << Screen(s);

    // Us to the host: the byte reaches the shell as one 0xFF.
    Type(s, "stty -echo; od -An -tx1 -N3\r");
    loop_.RunFor(300ms);
    std::string bytes =
        "\xff"
        "A\r";
    s->GetTerminal()->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()), 3);
    EXPECT_TRUE(WaitForScreen(s, "ff 41")) << Screen(s);
}

TEST_F(TelnetInteropTest, BreakSendsIacBrk) {
    Relay relay(port_);
    Session* s = Connect(relay.port());
    ASSERT_TRUE(WaitForScreen(s, "#"));
    IO* terminal = s->GetTerminal();
    ASSERT_EQ(terminal->CanSendBreak(), 1);
    EXPECT_EQ(terminal->SendBreak(), 0);
    Type(s, "echo still-$((2+3))\r");
    ASSERT_TRUE(WaitForScreen(s, "still-5")) << Screen(s);
    EXPECT_NE(relay.FromClient().find("\xff\xf3"), std::string::npos);
}

TEST_F(TelnetInteropTest, ServerClosingDisconnectsTheSession) {
    Session* s = Connect(port_);
    ASSERT_TRUE(WaitForScreen(s, "#"));
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "Telnet: 127.0.0.1");
    Type(s, "exit\r");
    ASSERT_TRUE(loop_.RunUntil([&] { return s->GetTerminal() == nullptr; }, 5s));
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "(Telnet: 127.0.0.1)");
    EXPECT_EQ(list_->CountLinkUp(), 0);
}

}  // namespace
}  // namespace tarnwick
