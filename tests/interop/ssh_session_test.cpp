// SSH2 sessions as the program makes them: the session list builds the chain from a settings
// record, the user confirms the host key and types the password (scripted), and the shell's
// output reaches the session's screen. Against the real OpenSSH server of the SSH tests.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "ssh_sshd.h"
#include "support/session_fixture.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

class SshSessionTest : public ::testing::Test, public testing::SessionListFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing::EnsureTestAccount()) << "the SSH tests run as root";
        ASSERT_TRUE(server_.ok()) << server_.error();
    }
    void TearDown() override { CloseSessions(); }

    SessionConfig* Config() {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindSSH2);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetNarrow(setting::username, testing::kTestUser);
        config->SetInt(setting::portnum, server_.port());
        return config;
    }

    testing::SshdServer server_;
};

TEST_F(SshSessionTest, ConnectConfirmTheHostKeyLogInAndWork) {
    ui_.QueueYesNo(true);  // accept and save the unknown host key
    ui_.QueuePrompt(std::string(testing::kTestPassword));
    Session* s = Create(Config());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "SSH2: 127.0.0.1");
    ASSERT_TRUE(loop_.RunUntil([&] { return s->IsConnected() == 1; }, 10s))
        << testing::ScreenText(s);

    Type(s, "echo ssh-$((6*7)); stty size\r");
    ASSERT_TRUE(WaitForScreen(s, "ssh-42")) << testing::ScreenText(s);
    EXPECT_TRUE(WaitForScreen(s, "24 80")) << testing::ScreenText(s);

    // The questions the user saw: the host key, then the server's password prompt (the client
    // tries keyboard-interactive first; PAM asks), typed without echo.
    EXPECT_NE(server_.Log().find("keyboard-interactive"), std::string::npos) << server_.Log();
    auto shown = ui_.shown();
    ASSERT_GE(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "Warning");
    EXPECT_NE(shown[0].text.find("The host key cannot be verified."), std::string::npos);
    EXPECT_NE(shown[1].text.find("Password"), std::string::npos);
    EXPECT_TRUE(shown[1].secret);

    // Leaving the shell ends the session.
    Type(s, "exit\r");
    ASSERT_TRUE(loop_.RunUntil([&] { return s->GetTerminal() == nullptr; }, 10s));
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "(SSH2: 127.0.0.1)");

    // The key is known now: a second session asks only for the password.
    ui_.Clear();
    ui_.QueuePrompt(std::string(testing::kTestPassword));
    Session* again = Create(Config());
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(loop_.RunUntil([&] { return again->IsConnected() == 1; }, 10s));
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 0);
}

TEST_F(SshSessionTest, RefusedHostKeyEndsTheSession) {
    ui_.QueueYesNo(false);
    Session* s = Create(Config());  // the transport opened; the key comes later
    ASSERT_NE(s, nullptr);
    ASSERT_TRUE(loop_.RunUntil([&] { return s->GetTerminal() == nullptr; }, 10s))
        << testing::ScreenText(s);
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kPrompt), 0);  // no password was asked for
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "(SSH2: 127.0.0.1)");
}

}  // namespace
}  // namespace tarnwick
