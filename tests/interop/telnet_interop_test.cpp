// A Telnet session against a real Telnet server (busybox telnetd) on 127.0.0.1, through the whole
// chain: session list, terminal, Telnet, TCP/IP. A relay between the two records what the client
// sends, so the test can see the bytes on the wire.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/text.h"
#include "support/child_process.h"
#include "support/inetd.h"
#include "support/loopback_peer.h"
#include "support/session_fixture.h"
#include "terminal/vt.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

class TelnetInteropTest : public ::testing::Test, public testing::SessionListFixture {
  protected:
    void SetUp() override {
        ASSERT_EQ(testing::RunCommand("busybox telnetd --help 2>&1 | grep -c Inetd"), "1\n")
            << "busybox (package busybox-static) is needed";
    }
    void TearDown() override { CloseSessions(); }

    Session* Connect(int port, int rows = 24, int columns = 80) {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindTelnet);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetInt(setting::portnum, port);
        config->SetInt(setting::rows, rows);
        config->SetInt(setting::columns, columns);
        Session* s = Create(config);
        EXPECT_NE(s, nullptr);
        return s;
    }
    std::string Screen(Session* s) { return testing::ScreenText(s); }

    testing::InetdServer server_{{"busybox", "telnetd", "-i", "-l", "/bin/sh"}};
    const int port_ = server_.port();
};

// The window size is sent as 16-bit counts: 300 columns must not arrive as 44. (A count of exactly
// 255 is doubled as RFC 1073 asks; this server reads the field without undoing that, so the unit
// tests check that case byte by byte.)
TEST_F(TelnetInteropTest, RunsACommandAndReportsTheWindowSize) {
    Session* s = Connect(port_, 40, 300);
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(WaitForScreen(s, "#")) << Screen(s);
    Type(s, "echo telnet-$((6*7)); stty size\r");
    ASSERT_TRUE(WaitForScreen(s, "telnet-42")) << Screen(s);
    EXPECT_TRUE(WaitForScreen(s, "40 300")) << Screen(s);
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
    std::mutex mutex;
    std::string from_client;
    testing::LoopbackRelay relay(port_, [&](bool from_a, std::string& piece) {
        std::lock_guard<std::mutex> guard(mutex);
        if (from_a) from_client += piece;
    });
    Session* s = Connect(relay.port());
    ASSERT_TRUE(WaitForScreen(s, "#"));
    IO* terminal = s->GetTerminal();
    ASSERT_EQ(terminal->CanSendBreak(), 1);
    EXPECT_EQ(terminal->SendBreak(), 0);
    Type(s, "echo still-$((2+3))\r");
    ASSERT_TRUE(WaitForScreen(s, "still-5")) << Screen(s);
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_NE(from_client.find("\xff\xf3"), std::string::npos);
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
