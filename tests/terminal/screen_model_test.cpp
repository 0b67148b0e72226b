// The grid operations of the screen model, driven through byte streams.
#include <gtest/gtest.h>

#include <string>

#include "terminal_fixture.h"

namespace tarnwick {
namespace {

using testing::DisplayMirrorsModel;
using Harness = testing::TerminalHarness<VT100>;

TerminalSettings Size(int rows, int columns, int scrollback) {
    TerminalSettings s;
    s.rows = rows;
    s.columns = columns;
    s.scrollback = scrollback;
    return s;
}

TEST(ScreenModelTest, WrapIsPendingAfterTheLastColumn) {
    Harness t;
    t.Feed(std::string(80, 'a'));
    EXPECT_EQ(t.vt->CursorColumn(), 80);
    EXPECT_EQ(t.vt->CursorRow(), 0);
    // The display shows the cursor in the last column while the wrap is pending.
    EXPECT_EQ(t.display.cursor_column(), 79);
    t.Feed("b");
    EXPECT_EQ(t.Line(1), "b");
    EXPECT_EQ(t.vt->CursorColumn(), 1);
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(ScreenModelTest, UnchangedCellsAreNotRedrawn) {
    Harness t;
    t.Feed("hello");
    t.display.TakeChangedRows();
    t.Feed(
        "\r"
        "hello");
    EXPECT_TRUE(t.display.TakeChangedRows().empty());
    t.Feed("\rhallo");
    EXPECT_EQ(t.display.TakeChangedRows(), std::vector<int>{24});
}

TEST(ScreenModelTest, ScrollingRegionLeavesTheScrollbackAlone) {
    Harness t(Size(6, 10, 4));
    t.Feed("a\r\nb\r\nc\r\nd\r\ne\r\nf");
    t.Feed("\x1b[2;4r");  // region rows 1-3; the cursor moves to its top
    EXPECT_EQ(t.vt->CursorRow(), 1);
    t.Feed("\x1b[4;1H\nX");
    EXPECT_EQ(t.Line(0), "a");
    EXPECT_EQ(t.Line(1), "c");
    EXPECT_EQ(t.Line(2), "d");
    EXPECT_EQ(t.Line(3), "X");
    EXPECT_EQ(t.Line(4), "e");
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(cell::Character(t.vt->GetCell(0, r)), ' ');
    // Reverse index at the region's top pushes the region down.
    t.Feed("\x1b[2;1H\x1bMY");
    EXPECT_EQ(t.Line(1), "Y");
    EXPECT_EQ(t.Line(2), "c");
    EXPECT_EQ(t.Line(3), "d");
    EXPECT_EQ(t.Line(4), "e");
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

// The erased cells' background and the pen after an erase are compared with libvterm, which
// copies the pen's attributes into erased cells: here the plain blanks this terminal erases to.
TEST(ScreenModelTest, EraseLeavesPlainBlanks) {
    Harness t;
    t.Feed("hello world");
    t.Feed("\x1b[1;4;31;44m\x1b(0\x1b[1;6H\x1b[K");
    const std::uint32_t erased = t.ScreenCell(5, 0);
    EXPECT_EQ(cell::Background(erased), kBlue);
    EXPECT_EQ(cell::Attributes(erased), 0);
    EXPECT_EQ(cell::Set(erased), kSetASCII);
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(ScreenModelTest, EraseDisplayKeepsTheScrollbackAndHomesToTheRegion) {
    Harness t(Size(4, 10, 2));
    t.Feed("1\r\n2\r\n3\r\n4\r\n5");
    t.Feed("\x1b[2;3r\x1b[4;5H\x1b[2J");
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(t.Line(r), "");
    EXPECT_EQ(cell::Character(t.vt->GetCell(0, 1)), '1');
    EXPECT_EQ(t.vt->CursorRow(), 1);
    EXPECT_EQ(t.vt->CursorColumn(), 0);
}

// Setting and clearing stops is checked by vttest's tab screen, the default stops by the libvterm
// comparison; here the stops beyond any fixed-size table.
TEST(ScreenModelTest, TabStopsReachAcrossWideScreens) {
    // More than 80 stops fit: every column of a 1000-column screen may hold one.
    Harness t(Size(2, 1000, 0));
    t.Feed("\x1b[1;990H\t");
    EXPECT_EQ(t.vt->CursorColumn(), 992);
}

TEST(ScreenModelTest, CursorMovesStopAtTheMargins) {
    Harness t;
    t.Feed("\x1b[6;20r\x1b[1;1H\x1b[A");
    EXPECT_EQ(t.vt->CursorRow(), 5);  // limited by the top margin even from above it
    t.Feed("\x1b[99B");
    EXPECT_EQ(t.vt->CursorRow(), 19);
    t.Feed("\x1b[999C");
    EXPECT_EQ(t.vt->CursorColumn(), 79);
    t.Feed("\x1b[999D");
    EXPECT_EQ(t.vt->CursorColumn(), 0);
    t.Feed("\x1b[99999999999999999999A");  // an overlong number saturates
    EXPECT_EQ(t.vt->CursorRow(), 5);
}

TEST(ScreenModelTest, OriginModeAddressesTheRegion) {
    Harness t;
    t.Feed("\x1b[5;10r\x1b[?6h\x1b[1;1HA");
    EXPECT_EQ(t.Line(4), "A");
    t.Feed("\x1b[2;3H");
    EXPECT_EQ(t.vt->CursorRow(), 5);
    EXPECT_EQ(t.vt->CursorColumn(), 2);
    t.Feed("\x1b[6n");
    EXPECT_EQ(t.TakeSent(), "\x1b[2;3R");
    t.Feed("\x1b[99;99H");  // limited to the screen, not the region
    EXPECT_EQ(t.vt->CursorRow(), 23);
}

TEST(ScreenModelTest, FillWithE) {
    Harness t(Size(3, 4, 1));
    t.Feed("\x1b[32;41m\x1b#8");
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(t.Line(r), "EEEE");
    EXPECT_EQ(t.ScreenCell(0, 0), cell::Make('E', 0, kRed, kGreen, kSetASCII));
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(ScreenModelTest, RedrawSendsEveryRowAndRefreshes) {
    Harness t(Size(3, 4, 2));
    t.Feed("ab\r\ncd\r\nef\r\ngh");
    const int refreshes = t.display.refreshes();
    t.display.ClearAll(kWhite);
    t.vt->Redraw();
    EXPECT_EQ(t.display.refreshes(), refreshes + 1);
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(ScreenModelTest, HugeScrollbackKeepsOrderAcrossManyWraps) {
    Harness t(Size(3, 8, 10000));
    for (int i = 0; i < 25000; ++i)
        t.Feed(std::to_string(i) + "\r\n");
    // The screen holds the last two lines and the empty cursor line; above it, in order, the
    // 10000 lines before them.
    EXPECT_EQ(t.Line(0), "24998");
    EXPECT_EQ(t.Line(1), "24999");
    EXPECT_EQ(t.display.ScreenLine(1), "24999");
    std::string first;
    for (int c = 0; c < 5; ++c)
        first.push_back(static_cast<char>(cell::Character(t.vt->GetCell(c, 0))));
    EXPECT_EQ(first, "14998");
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

TEST(ScreenModelTest, OversizedSettingsAreClamped) {
    // A damaged session file must not make the terminal allocate without bound.
    TerminalSettings s = Size(0, 5000, 1 << 30);
    s.Clamp();
    EXPECT_EQ(s.rows, 1);
    EXPECT_EQ(s.columns, 1000);
    EXPECT_LE(static_cast<long long>(s.scrollback + s.rows) * s.columns,
              TerminalSettings::kMaxCells);
    s = Size(-5, -5, -5);
    s.Clamp();
    EXPECT_EQ(s.rows, 1);
    EXPECT_EQ(s.columns, 1);
    EXPECT_EQ(s.scrollback, 0);

    Harness t(Size(0, 3, 0));
    EXPECT_EQ(t.vt->GetRows(), 1);
    t.Feed("x\r\ny\r\n");
    EXPECT_EQ(t.vt->CursorRow(), 0);
}

TEST(ScreenModelTest, OneByOneScreenStillWorks) {
    Harness t(Size(1, 1, 0));
    t.Feed("abc\r\n\x1bM\x1b[5;5H\t\x1b[2J\x1b#8");
    EXPECT_EQ(t.Line(0), "E");
    EXPECT_EQ(t.vt->CursorRow(), 0);
    EXPECT_TRUE(DisplayMirrorsModel(*t.vt, t.display));
}

}  // namespace
}  // namespace tarnwick
