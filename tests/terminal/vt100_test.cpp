// The VT100 interpreter: control characters, escape and control sequences, replies to the host,
// the VT52 mode, pausing, the bell, and the terminal as a layer.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/session_config.h"
#include "platform/scripted_ui.h"
#include "terminal_fixture.h"

namespace tarnwick {
namespace {

using testing::DisplayMirrorsModel;
using testing::RecordingLayer;
using Harness = testing::TerminalHarness<VT100>;

// Addressing, clamping and the other moves are compared with libvterm (vterm_differential_test);
// an empty first parameter is not generated there.
TEST(VT100Test, EmptyParameterMeansOne) {
    Harness t;
    t.Feed("\x1b[10;10H\x1b[;5H");
    EXPECT_EQ(t.vt->CursorRow(), 0);
    EXPECT_EQ(t.vt->CursorColumn(), 4);
}

TEST(VT100Test, ControlCharactersInsideSequencesStillAct) {
    Harness t;
    t.Feed("ab\x1b[\r2Cx");  // CR inside CSI acts, the sequence goes on
    EXPECT_EQ(t.Line(0), "abx");
    t.Feed("\x1b[2;1H\x1b\bq");  // BS inside ESC acts, "q" ends the sequence
    EXPECT_EQ(t.Line(1), "");
    t.Feed(
        "\x1b[3;1Hab\x1b[1\x18"
        "C");  // CAN aborts the sequence: C is printed
    EXPECT_EQ(t.Line(2), "abC");
}

TEST(VT100Test, PrivateAndPlainModesAreTheSame) {
    Harness t;
    t.Feed("\x1b[?1h");
    EXPECT_TRUE(t.vt->CursorKeysApplicationMode());
    t.Feed("\x1b[1l");
    EXPECT_FALSE(t.vt->CursorKeysApplicationMode());
    t.Feed("\x1b[1h");
    EXPECT_TRUE(t.vt->CursorKeysApplicationMode());
    t.Feed("\x1b[20;7l");
    EXPECT_FALSE(t.vt->AutoWrap());
    t.Feed("\x1b[?20;7h");
    EXPECT_TRUE(t.vt->NewLineMode());
    EXPECT_TRUE(t.vt->AutoWrap());
}

TEST(VT100Test, UnknownSequencesLeaveNoTrace) {
    Harness t;
    // Secondary device attributes, soft reset and a colon sub-parameter: none of them is a
    // VT100 sequence, and none of their final bytes may land on the screen.
    t.Feed("\x1b[>c\x1b[!p\x1b[38:5:1m\x1b[ q\x1b[99zA");
    EXPECT_EQ(t.Line(0), "A");
    EXPECT_EQ(t.TakeSent(), "");
    EXPECT_EQ(t.vt->ParserState(), VT100::kGround);
}

// The renditions both terminals share are compared with libvterm; here the ones where this
// terminal differs: 22 resets everything like 0, unknown values are ignored.
TEST(VT100Test, GraphicRenditionResetAndUnknownValues) {
    Harness t;
    t.Feed("\x1b[1;4;5;7;32;41mE\x1b[22;99mF");
    EXPECT_EQ(cell::Attributes(t.ScreenCell(0, 0)),
              kAttrBold | kAttrUnderline | kAttrBlink | kAttrReverse);
    EXPECT_EQ(t.ScreenCell(1, 0), cell::Make('F', 0, kBlack, kWhite, kSetASCII));
}

TEST(VT100Test, CharacterSets) {
    Harness t;
    t.Feed("\x1b(0\x1b)Aq\x0eq#\x0fq");
    EXPECT_EQ(cell::Set(t.ScreenCell(0, 0)), kSetSpecialGraphics);
    EXPECT_EQ(cell::Set(t.ScreenCell(1, 0)), kSetUnitedKingdom);
    EXPECT_EQ(CellGlyph(t.ScreenCell(0, 0)), U'\u2500');
    EXPECT_EQ(CellGlyph(t.ScreenCell(2, 0)), U'\u00a3');
    EXPECT_EQ(cell::Set(t.ScreenCell(3, 0)), kSetSpecialGraphics);
    t.Feed("\x1b(1a\x1b(2b\x1b(Bc\x1b(Xd");
    EXPECT_EQ(cell::Set(t.ScreenCell(4, 0)), kSetAltROM);
    EXPECT_EQ(cell::Set(t.ScreenCell(5, 0)), kSetAltROMGraphics);
    EXPECT_EQ(cell::Set(t.ScreenCell(6, 0)), kSetASCII);
    EXPECT_EQ(t.Line(0).substr(6), "cd");  // an unknown set changes nothing
}

TEST(VT100Test, SaveAndRestoreCursor) {
    Harness t;
    t.Feed("\x1b[3;4H\x1b[1;33;42m\x1b(0\0337");
    t.Feed("\x1b[0m\x1b(B\x1b[10;10H");
    t.Feed("\0338x\x1b[K");
    EXPECT_EQ(t.vt->CursorRow(), 2);
    EXPECT_EQ(t.ScreenCell(3, 2), cell::Make('x', kAttrBold, kGreen, kYellow, kSetSpecialGraphics));
    EXPECT_EQ(cell::Background(t.ScreenCell(10, 2)), kGreen);  // the blank row follows the restore
}

TEST(VT100Test, Replies) {
    Harness t;
    t.Feed("\x05");
    EXPECT_EQ(t.TakeSent(), "QWT");
    t.Feed("\x1b[c\x1bZ");
    EXPECT_EQ(t.TakeSent(), "\x1b[?1;0c\x1b[?1;0c");
    t.Feed("\x1b[5n");
    EXPECT_EQ(t.TakeSent(), "\x1b[0n");
    t.Feed("\x1b[4;8H\x1b[6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[4;8R");
    t.Feed(std::string("\x1b[1;1H") + std::string(80, 'x') + "\x1b[6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[1;80R");  // a pending wrap reports the last column
    t.Feed("\x1b[0x");
    EXPECT_EQ(t.TakeSent(), "\x1b[2;1;1;120;120;1;0x");
    EXPECT_TRUE(dynamic_cast<VT100&>(*t.vt).ReportFlag());
    t.Feed("\x1b[1x");
    EXPECT_EQ(t.TakeSent(), "\x1b[3;1;1;120;120;1;0x");
    t.Feed("\x1b[7x");
    EXPECT_EQ(t.TakeSent(), "\x1b[3;1;1;120;120;1;0x");
    t.Feed("\x1b[7n\x1b[2c");  // other status requests are ignored; DA answers whatever p0
    EXPECT_EQ(t.TakeSent(), "\x1b[?1;0c");
}

// A lower layer with a serial line's answers for the parameter report.
class SerialLikeLayer : public RecordingLayer {
  public:
    int GetParity() override { return parity; }
    int GetLineSpeed() override { return speed; }
    int Is8BitClean() override { return clean; }
    int parity = 0;
    int speed = 38400;
    int clean = 1;
};

TEST(VT100Test, ParameterReportFollowsTheLine) {
    MemoryDisplay display;
    VT100 vt(&display, TerminalSettings{});
    auto* line = new SerialLikeLayer;
    ASSERT_EQ(vt.InsertBelow(line), 0);
    struct Case {
        int parity, speed, clean;
        const char* reply;
    } cases[] = {
        {1, 9600, 0, "\x1b[2;4;2;112;112;1;0x"},  {2, 300, 1, "\x1b[2;5;1;48;48;1;0x"},
        {7, 50, 1, "\x1b[2;1;1;0;0;1;0x"},        {0, 1234, 1, "\x1b[2;1;1;0;0;1;0x"},
        {0, 19200, 1, "\x1b[2;1;1;120;120;1;0x"}, {0, 2400, 1, "\x1b[2;1;1;88;88;1;0x"},
    };
    for (const Case& c : cases) {
        line->parity = c.parity;
        line->speed = c.speed;
        line->clean = c.clean;
        line->ClearRecords();
        vt.ProcessChar(27);
        vt.ProcessChar('[');
        vt.ProcessChar('x');
        EXPECT_EQ(line->Sent(), c.reply) << c.speed;
    }
}

TEST(VT100Test, RepliesAreDroppedWithoutALowerLayer) {
    MemoryDisplay display;
    VT100 vt(&display, TerminalSettings{});
    const std::string bytes = "\x1b[6n\x1b[c\x05ok";
    vt.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
    EXPECT_EQ(vt.ScreenLine(0), "ok");
}

// A peer that answers every reply at once by sending text back up.
class LoopbackLayer : public RecordingLayer {
  public:
    int Send(const std::uint8_t* data, int length) override {
        RecordingLayer::Send(data, length);
        if (upper_ != nullptr && depth_ == 0) {
            ++depth_;
            const std::string answer = "<answer>";
            upper_->Receive(reinterpret_cast<const std::uint8_t*>(answer.data()),
                            static_cast<int>(answer.size()));
            --depth_;
        }
        return 0;
    }

  private:
    int depth_ = 0;
};

TEST(VT100Test, ALowerLayerMayAnswerRepliesAtOnce) {
    MemoryDisplay display;
    VT100 vt(&display, TerminalSettings{});
    ASSERT_EQ(vt.InsertBelow(new LoopbackLayer), 0);
    const std::string bytes = "\x1b[5n";
    vt.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), 4);
    EXPECT_EQ(vt.ScreenLine(0), "<answer>");
}

TEST(VT100Test, NewLineMode) {
    Harness t;
    t.Feed("\x1b[20hab\rc\nd");
    EXPECT_EQ(t.Line(0), "abc");
    EXPECT_EQ(t.Line(1), "d");
    t.Feed("\x1b[20l\ne\rf");
    EXPECT_EQ(t.Line(2), "fe");
    t.Feed("\033Eg\x0bh\x0ci");
    EXPECT_EQ(t.Line(3), "g");
    EXPECT_EQ(t.Line(4), " h");
    EXPECT_EQ(t.Line(5), "  i");
}

TEST(VT100Test, VT52Mode) {
    Harness t;
    t.Feed("\x1b[?2l");
    EXPECT_TRUE(t.vt->VT52Mode());
    EXPECT_EQ(t.vt->ParserState(), VT100::kVT52Ground);
    t.Feed("\x1bY%*X");  // row 5, column 10
    EXPECT_EQ(t.vt->CursorRow(), 5);
    EXPECT_EQ(t.vt->CursorColumn(), 11);
    t.Feed("\033A\033A\033DY");
    EXPECT_EQ(t.Line(3), "          Y");
    t.Feed("\x1bZ");
    EXPECT_EQ(t.TakeSent(), "\x1b/Z");
    t.Feed("\033Fq\x1bGq");
    EXPECT_EQ(cell::Set(t.ScreenCell(11, 3)), kSetSpecialGraphics);
    EXPECT_EQ(cell::Set(t.ScreenCell(12, 3)), kSetASCII);
    t.Feed("\x1b=");
    EXPECT_TRUE(t.vt->KeypadApplicationMode());
    t.Feed("\x1bH\x1bJ");
    EXPECT_EQ(t.Line(3), "");
    EXPECT_EQ(t.vt->CursorRow(), 0);
    t.Feed(std::string("\x1bY\x7f!\x00\"", 6));  // DEL and NUL are skipped inside the address
    EXPECT_EQ(t.vt->CursorRow(), 1);
    EXPECT_EQ(t.vt->CursorColumn(), 2);
    t.Feed(
        "\x1bY"
        "~A");  // a row past the screen abandons the address
    EXPECT_EQ(t.Line(1), "  A");
    t.Feed("\x1b<");
    EXPECT_FALSE(t.vt->VT52Mode());
    t.Feed("\x1b[6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[2;4R");
}

TEST(VT100Test, VT52ReverseIndexAndErase) {
    Harness t;
    t.Feed("top\x1b[?2l\x1bH\x1bIX");
    EXPECT_EQ(t.Line(0), "X");
    EXPECT_EQ(t.Line(1), "top");
    t.Feed("\x1bY!\"\x1bK");
    EXPECT_EQ(t.Line(1), "to");
}

TEST(VT100Test, ResetByTheHostKeepsTheScrollback) {
    TerminalSettings s;
    s.rows = 2;
    s.scrollback = 2;
    Harness t(s);
    t.Feed("old\r\nline\r\nnew\x1b[?7l\x1b[5;6r\x1b[31m\x1b[20h\033c");
    EXPECT_EQ(cell::Character(t.vt->GetCell(0, 1)), 'o');
    EXPECT_EQ(t.Line(0), "");
    EXPECT_TRUE(t.vt->AutoWrap());
    EXPECT_FALSE(t.vt->NewLineMode());
    EXPECT_EQ(t.vt->Foreground(), kWhite);
    EXPECT_EQ(t.vt->BottomMargin(), 1);
    t.vt->Reset(1);
    EXPECT_EQ(t.vt->GetCell(0, 1), cell::Blank(kBlack));
}

TEST(VT100Test, PauseHoldsBytesUntilResume) {
    Harness t;
    t.Feed("before");
    EXPECT_EQ(t.vt->Resume(), status::kNotPaused);
    EXPECT_EQ(t.vt->Pause(), 0);
    EXPECT_EQ(t.vt->Pause(), status::kAlreadyPaused);
    t.Feed("\r\nduring\x1b[6n");
    t.vt->ProcessChar('!');
    EXPECT_EQ(t.Line(1), "");
    EXPECT_EQ(t.TakeSent(), "");
    const int refreshes = t.display.refreshes();
    EXPECT_EQ(t.vt->Resume(), 0);
    EXPECT_EQ(t.Line(1), "during!");
    EXPECT_EQ(t.TakeSent(), "\x1b[2;7R");
    EXPECT_EQ(t.display.refreshes(), refreshes + 1);
    EXPECT_FALSE(t.vt->IsPaused());
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(VT100Test, AudibleBellGoesThroughTheUserInterface) {
    ScriptedUi ui;
    Harness t;  // the harness turns the visual bell off
    t.Feed("\x07");
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kBeep), 1);
    EXPECT_EQ(t.display.flashes(), 0);
    // A flood of bells is merged instead of stalling the terminal.
    t.Feed(std::string(1000, '\x07'));
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kBeep), 1);
    std::this_thread::sleep_for(VT::kBellQuietPeriod + std::chrono::milliseconds(20));
    t.Feed("\x07");
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kBeep), 2);
}

TEST(VT100Test, VisualBellFlashesTwiceTenMillisecondsApart) {
    ScriptedUi ui;
    MemoryDisplay display;
    TerminalSettings s;
    s.visual_bell = true;
    VT100 vt(&display, s);
    const auto start = std::chrono::steady_clock::now();
    vt.ProcessChar(7);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
    EXPECT_EQ(display.flashes(), 2);
    EXPECT_FALSE(display.inverted());
    EXPECT_EQ(ui.CountOf(ScriptedUi::Kind::kBeep), 0);
}

TEST(VT100Test, OpenResetsAndOpensTheChain) {
    MemoryDisplay display;
    SessionConfig config;
    config.SetInt(setting::rows, 5);
    config.SetInt(setting::columns, 20);
    config.SetInt(setting::scrollback, 7);
    config.SetInt(setting::linefeed_mode, 1);
    config.SetInt(setting::cursor_type, 3);
    config.SetNarrow(setting::term_type, "vt220");
    {
        VT100 vt(&display, &config);
        EXPECT_EQ(config.Holders(), 1);
        EXPECT_EQ(vt.GetRows(), 5);
        EXPECT_EQ(vt.GetColumns(), 20);
        EXPECT_EQ(vt.GetScrollback(), 7);
        EXPECT_STREQ(vt.GetTermType(), "vt220");
        EXPECT_TRUE(vt.NewLineMode());
        EXPECT_EQ(display.cursor_type(), 3);

        auto* lower = new RecordingLayer;
        lower->open_result = 9;
        lower->open_lower = false;
        ASSERT_EQ(vt.InsertBelow(lower), 0);
        const std::string text = "junk\x1b[5;5H";
        vt.Receive(reinterpret_cast<const std::uint8_t*>(text.data()),
                   static_cast<int>(text.size()));
        EXPECT_EQ(vt.Open(&config), 9);
        EXPECT_EQ(lower->opens, 1);
        EXPECT_EQ(vt.ScreenLine(0), "");
        EXPECT_EQ(vt.CursorRow(), 0);
        EXPECT_EQ(vt.CursorColumn(), 0);

        vt.Close();
        EXPECT_EQ(lower->closes, 1);
        EXPECT_EQ(vt.ScreenLine(0), "Disconnected");
        config.SetInt(setting::debug, 1);
        config.SetInt(setting::linefeed_mode, 0);
        vt.Close();
        EXPECT_EQ(vt.ScreenLine(1), "Disconnecting");
        EXPECT_EQ(vt.ScreenLine(2), "Disconnected");
    }
    EXPECT_EQ(config.Holders(), 0);
}

TEST(VT100Test, ConcurrentEchoAndReceiveKeepTheGridConsistent) {
    TerminalSettings s;
    s.local_echo = true;
    Harness t(s);
    std::thread typist([&] {
        for (int i = 0; i < 2000; ++i)
            t.vt->KeyInput('k');
    });
    for (int i = 0; i < 2000; ++i)
        t.Feed("r\x1b[1;31mx\x1b[0m\r\n");
    typist.join();
    EXPECT_EQ(t.lower->Sent(), std::string(2000, 'k'));
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

}  // namespace
}  // namespace tarnwick
