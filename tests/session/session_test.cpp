#include "session/session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "session/deferred_deletion.h"
#include "support/loopback_peer.h"
#include "support/memory_front_end.h"
#include "support/recording_layer.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::RecordingLayer;

std::string Title(SessionList& list, Session* s) {
    return Utf16ToUtf8(list.menu().TitleOf(s));
}

std::string Screen(Session* s) {
    return testing::ScreenText(s);
}

SessionConfig* LocalConfig() {
    auto* config = new SessionConfig();
    config->SetInt(setting::rows, 24);
    config->SetInt(setting::columns, 80);
    config->SetInt(setting::local_echo, 1);
    return config;
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override { Preferences::Instance().SetInt(pref::EnableICM, 0); }
    void TearDown() override { DeferredDeletion::Instance().DestroyAll(); }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
    EventLoop loop_;
    testing::MemoryFrontEnd front_end_;
};

TEST_F(SessionTest, UnconnectedTerminalShowsLocalOutput) {
    SessionList list(&front_end_);
    EXPECT_EQ(list.CreateSession(LocalConfig()), 0);
    Session* s = list.Current();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(Title(list, s), "(Unconnected Terminal)");
    EXPECT_EQ(list.menu().Checked(), s);
    EXPECT_EQ(front_end_.last_current, s);
    ASSERT_NE(s->GetTerminal(), nullptr);
    EXPECT_EQ(s->GetTerminal()->SendString("Canceled.\r\n"), 0);
    EXPECT_NE(Screen(s).find("Canceled."), std::string::npos) << Screen(s);
    EXPECT_EQ(s->IsLinkUp(), 0);
    EXPECT_EQ(list.CountLinkUp(), 0);
}

TEST_F(SessionTest, KeyQueue) {
    SessionList list(&front_end_);
    list.CreateSession(LocalConfig());
    Session* s = list.Current();
    EXPECT_EQ(s->PopKey(), kNoKey);
    s->PushKey(0);  // Ctrl-@ is a real key, not "empty"
    s->PushKey(275);
    s->PushKey(-1);
    EXPECT_EQ(s->KeyCount(), 3);
    EXPECT_EQ(s->PopKey(), 0);
    EXPECT_EQ(s->PopKey(), 275);
    EXPECT_EQ(s->PopKey(), -1);
    EXPECT_EQ(s->PopKey(), 32767);
}

TEST_F(SessionTest, NextSessionWrapsAndPurgeKeepsACurrentSession) {
    SessionList list(&front_end_);
    list.CreateSession(LocalConfig());
    Session* a = list.Current();
    list.NextSession();
    EXPECT_EQ(list.Current(), a);  // one session stays current
    list.CreateSession(LocalConfig());
    Session* b = list.Current();
    list.CreateSession(LocalConfig());
    Session* c = list.Current();
    EXPECT_EQ(list.menu().Checked(), c);
    list.NextSession();
    EXPECT_EQ(list.Current(), a);  // the last wraps to the first
    list.NextSession();
    EXPECT_EQ(list.Current(), b);

    // None of them has its link up: purging removes them all.
    list.PurgeClosed();
    EXPECT_TRUE(list.Sessions().empty());
    EXPECT_EQ(list.Current(), nullptr);
    EXPECT_TRUE(list.menu().Entries().empty());
}

TEST_F(SessionTest, FilterThatNeedsItsLowerLayerAndThenFails) {
    SessionList list(&front_end_);
    list.CreateSession(LocalConfig());
    Session* s = list.Current();
    int destroyed = 0;
    auto* filter = new RecordingLayer(kLayerSendAscii, "Send Ascii");
    filter->CountDestructionIn(&destroyed);
    filter->open_lower = false;
    filter->open_result = status::kFilterNeedsLower;
    // The second Open fails too (it still answers 30).
    EXPECT_EQ(s->StartFilter(filter), 0);
    EXPECT_EQ(filter->opens, 2);
    EXPECT_EQ(s->GetFilter(), nullptr);
    EXPECT_EQ(s->GetTerminal()->GetLower(), nullptr);  // removed from the chain
    EXPECT_EQ(destroyed, 0);                           // waits for the reaper
    DeferredDeletion::Instance().DestroyAll();
    EXPECT_EQ(destroyed, 1);

    // A filter refused outright is destroyed at once; one that opens stays until stopped.
    int refused_destroyed = 0;
    auto* refused = new RecordingLayer(kLayerSendAscii, "Send Ascii");
    refused->CountDestructionIn(&refused_destroyed);
    refused->open_result = status::kFileOpenFailed;
    EXPECT_EQ(s->StartFilter(refused), 0);
    EXPECT_EQ(refused_destroyed, 1);

    auto* running = new RecordingLayer(kLayerReceiveXmodem, "Receive XModem");
    running->open_lower = false;
    EXPECT_EQ(s->StartFilter(running), 1);
    EXPECT_EQ(s->GetFilter(), running);
    EXPECT_EQ(s->GetTerminal()->GetLower(), running);
    EXPECT_EQ(s->StopFilter(), 1);
    EXPECT_EQ(s->StopFilter(), 0);
    EXPECT_EQ(running->closes, 1);
}

TEST_F(SessionTest, CaptureToggles) {
    SessionList list(&front_end_);
    list.CreateSession(LocalConfig());
    Session* s = list.Current();
    int destroyed = 0;
    Session::SetCaptureFactory([&destroyed] {
        auto* capture = new RecordingLayer(kLayerCapture, "Capture");
        capture->open_lower = false;
        capture->CountDestructionIn(&destroyed);
        return capture;
    });
    s->ToggleCapture();
    ASSERT_NE(s->GetFilter(), nullptr);
    EXPECT_EQ(s->GetFilter()->GetType(), kLayerCapture);
    s->ToggleCapture();  // the capture layer has no thread: destroyed at once
    EXPECT_EQ(s->GetFilter(), nullptr);
    EXPECT_EQ(destroyed, 1);
    Session::SetCaptureFactory(nullptr);
}

TEST_F(SessionTest, DisconnectDefersTheChainAndMarksTheTitle) {
    testing::LoopbackListener listener;
    auto* config = LocalConfig();
    config->SetInt(setting::session_kind, kKindTelnet);
    config->SetNarrow(setting::hostname, "127.0.0.1");
    config->SetInt(setting::portnum, listener.port());
    SessionList list(&front_end_);
    EXPECT_EQ(list.CreateSession(config), 1);
    Session* s = list.Current();
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(Title(list, s), "Telnet: 127.0.0.1");
    EXPECT_EQ(s->IsConnected(), 1);
    EXPECT_EQ(list.CountLinkUp(), 1);

    std::size_t pending = DeferredDeletion::Instance().Pending();
    list.DisconnectCurrent();
    EXPECT_EQ(s->GetTerminal(), nullptr);
    EXPECT_EQ(DeferredDeletion::Instance().Pending(), pending + 1);
    EXPECT_EQ(Title(list, s), "(Telnet: 127.0.0.1)");
    EXPECT_NE(Screen(s).find("Disconnected"), std::string::npos);  // the last screen stays
    s->Disconnect();  // a title already in parentheses is kept
    EXPECT_EQ(Title(list, s), "(Telnet: 127.0.0.1)");
    EXPECT_TRUE(testing::SeesEndOfStream(peer));
    close(peer);
}

TEST_F(SessionTest, RefusedConnectionGivesAFailedSession) {
    testing::RefusingPort refusing;
    const int port = refusing.port();
    auto* config = LocalConfig();
    config->SetInt(setting::session_kind, kKindTelnet);
    config->SetNarrow(setting::hostname, "127.0.0.1");
    config->SetInt(setting::portnum, port);
    SessionList list(&front_end_);
    EXPECT_EQ(list.CreateSession(config), 0);
    Session* s = list.Current();
    EXPECT_EQ(Title(list, s), "(Failed Connection)");
    EXPECT_NE(Screen(s).find("Connection failed"), std::string::npos);
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kMessage), 1);
    ASSERT_FALSE(ui_.shown().empty());
    EXPECT_EQ(ui_.shown()[0].caption, "Unable to open connection");
}

TEST_F(SessionTest, UnusedConfigsAreDestroyedWithTheList) {
    // Sessions hold their records; the list destroys them after the sessions.
    SessionList list(&front_end_);
    auto* config = LocalConfig();
    list.CreateSession(config);
    EXPECT_GE(config->Holders(), 2);  // the session and its terminal
    list.PurgeClosed();
    EXPECT_EQ(config->Holders(), 0);
}

}  // namespace
}  // namespace tarnwick

namespace tarnwick {
namespace {

// A Telnet session on a loopback peer, capturing into a file.
class CaptureSessionTest : public SessionTest {
  protected:
    Session* ConnectAndCapture(SessionList& list, const std::string& path) {
        auto* config = LocalConfig();
        config->SetInt(setting::session_kind, kKindTelnet);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetInt(setting::portnum, listener_.port());
        EXPECT_EQ(list.CreateSession(config), 1);
        Session* s = list.Current();
        peer_ = listener_.Accept();
        EXPECT_GE(peer_, 0);
        ui_.QueueFile(path);
        s->ToggleCapture();
        EXPECT_NE(s->GetFilter(), nullptr);
        return s;
    }
    void Deliver(Session* s, const std::string& text) {
        ASSERT_TRUE(testing::WriteAll(peer_, text));
        const std::string shown = text.substr(0, text.find('\r'));
        ASSERT_TRUE(loop_.RunUntil([&] { return Screen(s).find(shown) != std::string::npos; }, 5s));
    }
    void TearDown() override {
        if (peer_ >= 0) close(peer_);
        SessionTest::TearDown();
    }

    testing::LoopbackListener listener_;
    testing::TempDir dir_;
    int peer_ = -1;
};

TEST_F(CaptureSessionTest, WhatWasCapturedIsInTheFileAfterADisconnect) {
    SessionList list(&front_end_);
    Session* s = ConnectAndCapture(list, dir_.File("log.txt"));
    Deliver(s, "first line\r\n");
    Deliver(s, "second line\r\n");
    list.DisconnectCurrent();
    EXPECT_EQ(testing::ReadFile(dir_.File("log.txt")), "first line\r\nsecond line\r\n");
}

TEST_F(CaptureSessionTest, WhatWasCapturedIsInTheFileAfterQuit) {
    {
        auto list = std::make_unique<SessionList>(&front_end_);
        Session* s = ConnectAndCapture(*list, dir_.File("quit.txt"));
        Deliver(s, "before quitting\r\n");
        list->DisconnectAll();
        list.reset();
    }
    EXPECT_EQ(testing::ReadFile(dir_.File("quit.txt")), "before quitting\r\n");
}

TEST_F(CaptureSessionTest, ACancelledCaptureFileLeavesNoFilter) {
    SessionList list(&front_end_);
    auto* config = LocalConfig();
    list.CreateSession(config);
    Session* s = list.Current();
    s->ToggleCapture();  // no file chosen
    EXPECT_EQ(s->GetFilter(), nullptr);
    EXPECT_EQ(ui_.shown().back().caption, "Save capture log");
}

}  // namespace
}  // namespace tarnwick
