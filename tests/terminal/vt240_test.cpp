// The VT240: conformance levels, 8-bit controls, character sets, selective erase, reports,
// device-control strings, and the sequences it reads but does not act on.
#include <gtest/gtest.h>

#include <string>

#include "terminal_fixture.h"

namespace tarnwick {
namespace {

using testing::DisplayMirrorsModel;

class VT240Harness : public testing::TerminalHarness<VT240> {
  public:
    VT240Harness() {
        // Built before its chain, the terminal starts at the 7-bit level; a reset with the chain
        // in place looks at the chain again.
        vt->Reset(1);
    }
};

std::string C1(std::uint8_t b) {
    return std::string(1, static_cast<char>(b));
}

TEST(VT240Test, LevelFollowsTheChain) {
    MemoryDisplay display;
    VT240 alone(&display, TerminalSettings{});
    EXPECT_EQ(alone.ConformanceLevel(), VT240::kLevel7Bit);
    VT240Harness t;
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel8Bit);
}

TEST(VT240Test, EightBitControls) {
    VT240Harness t;
    t.Feed("abc\r\ndef");
    t.Feed(C1(155) + "2J");
    EXPECT_EQ(t.Line(0), "");
    EXPECT_EQ(t.Line(1), "");
    t.Feed(C1(155) + "3;4H" + "x" + C1(132) + "y" + C1(133) + "z" + C1(141) + C1(141) + "w");
    EXPECT_EQ(t.Line(2), " w x");
    EXPECT_EQ(t.Line(3), "    y");
    EXPECT_EQ(t.Line(4), "z");
    t.Feed(C1(155) + "1;3H" + C1(136) + C1(155) + "1;1H\t!");
    EXPECT_EQ(t.vt->CursorColumn(), 3);
    t.Feed(C1(142) + C1(143) + C1(0x7f) + "." + C1(0xe9));
    EXPECT_EQ(cell::Character(t.ScreenCell(3, 0)), '.');
    EXPECT_EQ(cell::Character(t.ScreenCell(4, 0)), 0xe9);
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(VT240Test, ConformanceLevels) {
    VT240Harness t;
    t.Feed("\x1bZ");
    EXPECT_EQ(t.TakeSent(), "\x1b[?62;1;6c");
    t.Feed("\x1b[61\"p");
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevelVT100);
    EXPECT_EQ(t.vt->ParserState(), VT240::kGround100);
    t.Feed("\x1bZ\x1b[c");
    EXPECT_EQ(t.TakeSent(), "\x1b[?1;0c\x1b[?1;0c");
    t.Feed("\x1b[62;1\"p");
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel7Bit);
    t.Feed("\x1b[62;2\"p");
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel8Bit);
    t.Feed("\x1b[62;1\"p\x1b[62\"p");
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel8Bit);
    t.Feed("\x1b[63\"p\x1b[61;1\"p\x1b[62;5\"p");  // none of these changes the level
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel8Bit);
    t.Feed("\x1b F");
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel7Bit);
    t.Feed("\x1b G");
    EXPECT_EQ(t.vt->ConformanceLevel(), VT240::kLevel8Bit);
    t.Feed("\x1b[>c");
    EXPECT_EQ(t.TakeSent(), "\x1b[>2;10;0c");
}

TEST(VT240Test, SelectiveErase) {
    VT240Harness t;
    t.Feed("\x1b[1\"qP\x1b[0\"qu");
    t.Feed("\x1b[1;1H\x1b[?0K");
    EXPECT_EQ(t.Line(0), "P");
    EXPECT_FALSE(cell::Erasable(t.ScreenCell(0, 0)));
    EXPECT_FALSE(cell::Erasable(t.ScreenCell(1, 0)));  // blanks are never marked
    t.Feed("\x1b[1;2Hu\x1b[1;2H\x1b[?1K");
    EXPECT_EQ(t.Line(0), "P");
    t.Feed("\x1b[?2K");
    EXPECT_EQ(t.Line(0), "");
    // Over the screen.
    t.Feed("\x1b[1;1Hab\x1b[1\"qcd\x1b[2\"q\r\nef\x1b[1\"qgh\x1b[0\"q\r\nij");
    t.Feed("\x1b[2;2H\x1b[?0J");
    EXPECT_EQ(t.Line(0), "abcd");
    EXPECT_EQ(t.Line(1), "e gh");
    EXPECT_EQ(t.Line(2), "");
    t.Feed("\x1b[?1J");
    EXPECT_EQ(t.Line(0), "  cd");
    EXPECT_EQ(t.Line(1), "  gh");
    t.Feed("\x1b[?2J");
    EXPECT_EQ(t.Line(0), "");
    // Plain erasure ignores the protection.
    t.Feed("\x1b[1\"qkeep\x1b[1;1H\x1b[K");
    EXPECT_EQ(t.Line(0), "");
    // Not at the VT100 level.
    t.Feed("\x1b[0\"qxy\x1b[61\"p\x1b[1;1H\x1b[?2K\x1b[1\"q");
    EXPECT_EQ(t.Line(0), "xy");
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(VT240Test, StatusReports) {
    VT240Harness t;
    t.Feed("\x1b[5n\x1b[?15n\x1b[?25n\x1b[?26n\x1b[26n");
    EXPECT_EQ(t.TakeSent(), "\x1b[0n\x1b[?13n\x1b[?20n\x1b[?27;1n\x1b[?27;1n");
    t.Feed("\x1b[3;7H\x1b[6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[3;7R");
    t.Feed(std::string("\x1b[1;1H") + std::string(80, '-') + "\x1b[6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[1;80R");  // never a column past the screen
    t.Feed("\x1b[5;9r\x1b[?6h\x1b[2;2H\x1b[?6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[2;2R");  // relative to the region in origin mode
    t.Feed("\x1b[0x\x1b[9n");
    EXPECT_EQ(t.TakeSent(), "");
}

TEST(VT240Test, SequencesWithoutEffect) {
    VT240Harness t;
    t.Feed("abcdef\r\nline2\x1b[1;1H");
    t.Feed("\x1b[2L\x1b[2M\x1b[2@\x1b[2P\x1b[2X\x1b[5i\x1b[2;1y\x1b[?5i");
    EXPECT_EQ(t.Line(0), "abcdef");
    EXPECT_EQ(t.Line(1), "line2");
    EXPECT_EQ(t.vt->ParserState(), VT240::kGround);
    // Intermediates this terminal does not know: read to the final, then dropped.
    t.Feed("\x1b[1$}\x1b[2 qZ");
    EXPECT_EQ(t.Line(0), "Zbcdef");
}

TEST(VT240Test, CharacterSets) {
    VT240Harness t;
    t.Feed("\x1b*0\x1b+<\x1bnq\x1boa\x0fq");
    EXPECT_EQ(cell::Set(t.ScreenCell(0, 0)), kSetSpecialGraphics);
    EXPECT_EQ(cell::Set(t.ScreenCell(1, 0)), kSetSupplemental);
    EXPECT_EQ(CellGlyph(t.ScreenCell(1, 0)), U'\u00e1');
    EXPECT_EQ(cell::Set(t.ScreenCell(2, 0)), kSetASCII);
    // An intermediate names a set we do not have: nothing changes.
    t.Feed("\x1b(%5x");
    EXPECT_EQ(cell::Set(t.ScreenCell(3, 0)), kSetASCII);
    EXPECT_EQ(t.Line(0).substr(3), "x");
    // The supplemental set only exists at the VT200 levels; LS2 neither.
    t.Feed("\x1b[61\"p\x1b(<\x1bny");
    EXPECT_EQ(cell::Set(t.ScreenCell(4, 0)), kSetASCII);
    EXPECT_EQ(t.vt->ActiveSet(), 0);
}

TEST(VT240Test, DeviceControlStringsAreDiscarded) {
    VT240Harness t;
    t.Feed("\x1bP1;1|17/ab\x1b\\ok");
    EXPECT_EQ(t.Line(0), "ok");
    t.Feed(C1(144) + "junk" + C1(156) + "!");
    EXPECT_EQ(t.Line(0), "ok!");
    t.Feed("\x1bPjunk\x18?");  // CAN abandons the string
    EXPECT_EQ(t.Line(0), "ok!?");
    t.Feed("\x1bPjunk\x1b[31m+");  // ESC [ abandons it and starts a control sequence
    EXPECT_EQ(t.Line(0), "ok!?+");
    EXPECT_EQ(cell::Foreground(t.ScreenCell(4, 0)), kRed);
}

// The transitions where the state machine could lead into the escape state: after each the
// next byte is ground input (ST, ESC # final), or the final of the sequence ESC / began.
TEST(VT240Test, OpenTransitions) {
    VT240Harness t;
    t.Feed(C1(156) + "c");
    EXPECT_EQ(t.Line(0), "c");
    t.Feed("\x1b#8c");
    EXPECT_EQ(t.Line(0), "Ec" + std::string(78, 'E'));
    t.Feed("\x1b[2J\x1b[H\x1b#3d");
    EXPECT_EQ(t.Line(0), "d");
    t.Feed("\x1b/cz");  // "c" is the sequence's final, not a reset
    EXPECT_EQ(t.Line(0), "dz");
    t.Feed(
        "\x1bP$q\x9c"
        "e");
    EXPECT_EQ(t.Line(0), "dze");
}

TEST(VT240Test, ModesAndSoftReset) {
    VT240Harness t;
    t.Feed("\x1b[2;4;20h");
    EXPECT_TRUE(t.vt->KeyboardLocked());
    EXPECT_TRUE(t.vt->InsertMode());
    EXPECT_TRUE(t.vt->NewLineMode());
    t.Feed("\x1b[12l\x1b[2;4;20l");
    EXPECT_FALSE(t.vt->SendReceive());
    EXPECT_FALSE(t.vt->KeyboardLocked());
    EXPECT_FALSE(t.vt->NewLineMode());
    t.Feed("\x1b[1h");  // an ANSI mode 1 does not exist: the cursor keys stay normal
    EXPECT_FALSE(t.vt->CursorKeysApplicationMode());
    t.Feed("\x1b[?1;6h\x1b[?7l");
    EXPECT_TRUE(t.vt->CursorKeysApplicationMode());
    EXPECT_TRUE(t.vt->OriginMode());
    EXPECT_FALSE(t.vt->AutoWrap());
    t.Feed("text\x1b[!p");
    EXPECT_FALSE(t.vt->OriginMode());
    EXPECT_TRUE(t.vt->AutoWrap());
    EXPECT_FALSE(t.vt->CursorKeysApplicationMode());
    EXPECT_TRUE(t.vt->SendReceive());
}

TEST(VT240Test, SaveRestoreCoversWrapOriginAndProtection) {
    VT240Harness t;
    t.Feed("\x1b[?7l\x1b[?6h\x1b[1\"q\0337\x1b[?7h\x1b[?6l\x1b[0\"q\0338");
    EXPECT_FALSE(t.vt->AutoWrap());
    EXPECT_TRUE(t.vt->OriginMode());
    EXPECT_TRUE(t.vt->Protected());
}

TEST(VT240Test, VT52Mode) {
    VT240Harness t;
    t.Feed("\x1b[?2l");
    EXPECT_EQ(t.vt->ParserState(), VT240::kVT52Ground);
    t.Feed("\x1bY\"%a\x1bZ");
    EXPECT_EQ(t.Line(2), "     a");
    EXPECT_EQ(t.TakeSent(), "\x1b/Z");
    t.Feed(C1(155) + "1;1H" + "b");  // an 8-bit CSI returns to the VT52 ground
    EXPECT_EQ(t.vt->ParserState(), VT240::kVT52Ground);
    EXPECT_EQ(t.Line(0), "b");
    t.Feed("\x1b<");
    EXPECT_EQ(t.vt->ParserState(), VT240::kGround);
    t.Feed("\x1b[61\"p\x1b[?2l\x1b<");
    EXPECT_EQ(t.vt->ParserState(), VT240::kGround100);
}

}  // namespace
}  // namespace tarnwick
