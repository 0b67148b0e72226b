// SSH2 sessions as the program makes them: the session list builds the chain from a settings
// record, the user confirms the host key and types the password (scripted), and the shell's
// output reaches the session's screen. Against the real OpenSSH server of the SSH tests.
#include <gtest/gtest.h>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "session/deferred_deletion.h"
#include "session/session.h"
#include "ssh_sshd.h"
#include "support/memory_front_end.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

class SshSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing::EnsureTestAccount()) << "the SSH tests run as root";
        ASSERT_TRUE(server_.ok()) << server_.error();
        RegistryStore::Instance().Close();  // reopened in this test's configuration folder
        Preferences::Instance().SetInt(pref::EnableICM, 0);
    }
    void TearDown() override {
        list_.reset();
        DeferredDeletion::Instance().DestroyAll();
        RegistryStore::Instance().Close();
    }

    SessionConfig* Config() {
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindSSH2);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetNarrow(setting::username, testing::kTestUser);
        config->SetInt(setting::portnum, server_.port());
        return config;
    }

    bool WaitForScreen(Session* s, const std::string& text, std::chrono::milliseconds limit = 10s) {
        return loop_.RunUntil(
            [&] { return testing::ScreenText(s).find(text) != std::string::npos; }, limit);
    }

    void Type(Session* s, const std::string& text) {
        for (unsigned char c : text)
            s->PushKey(c);
        KeyHandler::PumpKeys(s);
    }

    testing::IsolatedConfig isolated_;
    testing::SshdServer server_;
    ScriptedUi ui_;
    EventLoop loop_;
    testing::MemoryFrontEnd front_end_;
    std::unique_ptr<SessionList> list_ = std::make_unique<SessionList>(&front_end_);
};

TEST_F(SshSessionTest, ConnectConfirmTheHostKeyLogInAndWork) {
    ui_.QueueYesNo(true);  // accept and save the unknown host key
    ui_.QueuePrompt(std::string(testing::kTestPassword));
    ASSERT_EQ(list_->CreateSession(Config()), 1);
    Session* s = list_->Current();
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "SSH2: 127.0.0.1");
    ASSERT_TRUE(loop_.RunUntil([&] { return s->IsConnected() == 1; }, 10s))
        << testing::ScreenText(s);

    Type(s, "echo ssh-$((6*7)); stty size\r");
    ASSERT_TRUE(WaitForScreen(s, "ssh-42")) << testing::ScreenText(s);
    EXPECT_TRUE(WaitForScreen(s, "24 80")) << testing::ScreenText(s);

    // The questions the user saw: the host key, then the server's password prompt (the server
    // offers keyboard-interactive first), typed without echo.
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
    ASSERT_EQ(list_->CreateSession(Config()), 1);
    Session* again = list_->Current();
    ASSERT_TRUE(loop_.RunUntil([&] { return again->IsConnected() == 1; }, 10s));
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 0);
}

TEST_F(SshSessionTest, RefusedHostKeyEndsTheSession) {
    ui_.QueueYesNo(false);
    ASSERT_EQ(list_->CreateSession(Config()), 1);  // the transport opened; the key comes later
    Session* s = list_->Current();
    ASSERT_TRUE(loop_.RunUntil([&] { return s->GetTerminal() == nullptr; }, 10s))
        << testing::ScreenText(s);
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kPrompt), 0);  // no password was asked for
    EXPECT_EQ(Utf16ToUtf8(list_->menu().TitleOf(s)), "(SSH2: 127.0.0.1)");
}

}  // namespace
}  // namespace tarnwick
