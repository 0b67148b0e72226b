#include "frontend/main_commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/io.h"
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

namespace tarnwick {
namespace {

using namespace command;

// A front end that answers the connection dialogs with a prepared record (or cancels them).
class FakeHost final : public MainWindowHost {
  public:
    bool RunConnectionSetup(SessionConfig& config) override {
        if (!connect_to) return false;
        config.SetInt(setting::session_kind, kKindTelnet);
        config.SetNarrow(setting::hostname, "127.0.0.1");
        config.SetInt(setting::portnum, *connect_to);
        return true;
    }
    void CloseWindow() override { closed = true; }
    bool HasSelection() override { return false; }
    bool ClipboardHasText() override { return false; }

    std::optional<int> connect_to;
    bool closed = false;
};

class MainCommandsTest : public ::testing::Test {
  protected:
    void SetUp() override { Preferences::Instance().SetInt(pref::EnableICM, 0); }
    void TearDown() override { DeferredDeletion::Instance().DestroyAll(); }

    std::string Title(Session* s) { return Utf16ToUtf8(sessions_.menu().TitleOf(s)); }
    std::string Screen() { return testing::ScreenText(sessions_.Current()); }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
    EventLoop loop_;
    testing::MemoryFrontEnd front_end_;
    SessionList sessions_{&front_end_};
    FakeHost host_;
    MainCommands commands_{sessions_, host_};
};

// What the main window's tests leave to this model: a capture shuts out the other transfers while
// it runs, a cancelled file choice starts nothing, and Break reaches the wire.
TEST_F(MainCommandsTest, CaptureExcludesTheOtherTransfersAndBreakReachesTheWire) {
    commands_.CreateWelcomeSession();
    EXPECT_FALSE(commands_.Run(kEscape));  // nothing is up

    testing::LoopbackListener listener;
    host_.connect_to = listener.port();
    ASSERT_TRUE(commands_.Run(kConnect));
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    testing::TempDir dir;
    ui_.QueueFile(dir.File("log.txt"));
    ASSERT_TRUE(commands_.Run(kCapture));
    EXPECT_EQ(commands_.TextOf(kCapture), "Stop Capture");
    EXPECT_TRUE(commands_.IsEnabled(kCapture));
    for (int command : {kReceiveXmodem, kSendXmodem, kSendAscii}) {
        EXPECT_FALSE(commands_.IsEnabled(command)) << command;
    }
    testing::WriteAll(peer, "captured");
    ASSERT_TRUE(loop_.RunUntil([&] { return Screen().find("captured") != std::string::npos; },
                               std::chrono::seconds(5)));
    ASSERT_TRUE(commands_.Run(kCapture));
    EXPECT_EQ(commands_.TextOf(kCapture), "Start Capture");
    EXPECT_EQ(testing::ReadFile(dir.File("log.txt")), "captured");
    // A cancelled file choice leaves the session as it was.
    ASSERT_TRUE(commands_.Run(kSendAscii));
    EXPECT_EQ(sessions_.Current()->GetFilter(), nullptr);
    EXPECT_TRUE(commands_.IsEnabled(kSendAscii));

    ASSERT_TRUE(commands_.Run(kBreak));
    EXPECT_EQ(testing::ReadSome(peer, 2), "\xff\xf3");
    ASSERT_TRUE(commands_.Run(kDisconnect));
    EXPECT_FALSE(commands_.IsEnabled(kDisconnect));
    close(peer);
}

TEST_F(MainCommandsTest, OpenFileRequestsAndSaving) {
    ASSERT_TRUE(commands_.Run(kQuit));  // nothing is up: no question
    EXPECT_TRUE(host_.closed);
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 0);
    host_.closed = false;

    testing::LoopbackListener listener;
    const std::string file = isolated_.File("lab.tks");
    testing::WriteFile(file, "IO_TELNET\r\nhostname: 127.0.0.1\r\nportnum: " +
                                 std::to_string(listener.port()) + "\r\n");
    commands_.OpenFileRequest("\"" + file + "\"");
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(Title(sessions_.Current()), "Telnet: 127.0.0.1");

    // Saving starts in the settings folder with the suggested name.
    ui_.QueueFile(isolated_.File("copy.tks"));
    ASSERT_TRUE(commands_.Run(kSaveSession));
    EXPECT_EQ(ui_.shown().back().kind, ScriptedUi::Kind::kSaveFile);
    EXPECT_EQ(ui_.shown().back().text, isolated_.path() + "/@127_0_0_1");
    EXPECT_TRUE(std::filesystem::exists(isolated_.File("copy.tks")));

    // Quit while the session is up asks; No keeps the program running.
    ui_.QueueYesNo(false);
    commands_.Run(kQuit);
    EXPECT_FALSE(host_.closed);
    EXPECT_EQ(sessions_.CountLinkUp(), 1);

    testing::WriteFile(isolated_.File("bad.tks"), "not a session\r\n");
    commands_.OpenFileRequest(isolated_.File("bad.tks"));
    EXPECT_EQ(ui_.shown().back().text, "The session file you are trying to load is corrupted.");
    EXPECT_EQ(ui_.shown().back().caption, "Tarnwick restore problem");
    const std::size_t shown = ui_.shown().size();
    commands_.OpenFileRequest(isolated_.File("notes.txt"));  // ignored
    EXPECT_EQ(ui_.shown().size(), shown);
    close(peer);
}

}  // namespace
}  // namespace tarnwick
