// The drawing side of the graphical view without a toolkit: the image kept as a ring of rows and
// drawn lazily, the selection across scroll-back and the text it copies, the bytes a paste types,
// the cursor blink, the visual bell, the pacing of repaints and the choice of a new font.
#include "frontend/view_display.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/preferences.h"
#include "core/session_config.h"
#include "frontend/builtin_fonts.h"
#include "terminal/vt100.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// A terminal drawing into a view display, 20 columns, 5 rows and 5 rows of scroll-back.
class ViewDisplayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        config_.SetInt(setting::columns, 20);
        config_.SetInt(setting::rows, 5);
        config_.SetInt(setting::scrollback, 5);
        config_.SetInt(setting::local_echo, 1);
        vt_ = std::make_unique<VT100>(&display_, &config_);
        ASSERT_EQ(vt_->Open(&config_), 0);
    }
    void Feed(const std::string& bytes) {
        vt_->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                     static_cast<int>(bytes.size()));
    }
    // The pixels of buffer row r as the image holds them.
    std::vector<std::uint32_t> ImageRowPixels(const ViewDisplay& d, int r) {
        const std::uint32_t* p = d.pixels() + static_cast<std::size_t>(d.ImageRow(r)) *
                                                  d.cell_height() * d.image_width();
        return {p, p + static_cast<std::size_t>(d.cell_height()) * d.image_width()};
    }

    SessionConfig config_;
    int changes_ = 0;
    ViewDisplay display_{[this] { ++changes_; }};
    std::unique_ptr<VT100> vt_;
    std::unique_ptr<RawFont> font_ = CreateBuiltinFont(9);
};

TEST_F(ViewDisplayTest, ImageAfterTheRingWrapsEqualsAFreshDrawingOfTheSameCells) {
    // More line feeds than the buffer has rows: the image's origin has gone round.
    for (int i = 0; i < 23; ++i)
        Feed("line " + std::to_string(i) + "\r\n");
    Feed("\x1b[1;31mred\x1b[m \x1b(0lqk\x1b(B");
    display_.UpdateImage(*font_, 0, display_.total_rows() - 1);

    ViewDisplay fresh(nullptr);
    fresh.SetupImage(display_.columns(), display_.rows(), display_.scrollback());
    for (int r = 0; r < display_.total_rows(); ++r) {
        std::vector<std::uint32_t> cells;
        for (int c = 0; c < display_.columns(); ++c)
            cells.push_back(display_.cells().Cell(c, r));
        fresh.DrawCells(cells.data(), static_cast<int>(cells.size()), 0, r, false);
    }
    fresh.UpdateImage(*font_, 0, fresh.total_rows() - 1);
    EXPECT_NE(display_.ImageRow(0), 0) << "the whole-buffer scrolls should have moved the origin";
    for (int r = 0; r < display_.total_rows(); ++r) {
        EXPECT_EQ(ImageRowPixels(display_, r), ImageRowPixels(fresh, r)) << "row " << r;
    }
}

TEST_F(ViewDisplayTest, OnlyMarkedRowsAmongTheShownOnesAreDrawn) {
    display_.UpdateImage(*font_, 0, display_.total_rows() - 1);
    const int screen = display_.scrollback();
    // A flood of lines between two frames costs one drawing of the rows shown.
    for (int i = 0; i < 1000; ++i)
        Feed("flood " + std::to_string(i) + "\r\n");
    EXPECT_EQ(display_.UpdateImage(*font_, screen, screen + display_.rows() - 1), display_.rows());
    EXPECT_EQ(display_.UpdateImage(*font_, screen, screen + display_.rows() - 1), 0);
    // The history is drawn when it is scrolled into view.
    EXPECT_TRUE(display_.RowMarked(0));
    EXPECT_EQ(display_.UpdateImage(*font_, 0, 0), 1);
    Feed("x");
    EXPECT_TRUE(display_.RowMarked(display_.scrollback() + vt_->CursorRow()));
}

TEST(ViewDisplayImage, AHugeGridKeepsItsPixelsWithinTheBudget) {
    ViewDisplay display(nullptr);
    display.SetCellSize(12, 16);
    display.SetupImage(1000, 1000, 15000);
    const std::size_t pixels = static_cast<std::size_t>(display.image_width()) *
                               display.cached_rows() * display.cell_height();
    EXPECT_EQ(display.cached_rows(), ViewDisplay::kMinCachedRows);
    EXPECT_LE(pixels, static_cast<std::size_t>(ViewDisplay::kMinCachedRows) * 12000 * 16);
    auto font = CreateBuiltinFont(24);
    // Rows further apart than the cache holds take turns in it.
    EXPECT_EQ(display.UpdateImage(*font, 0, 0), 1);
    EXPECT_EQ(display.UpdateImage(*font, ViewDisplay::kMinCachedRows, ViewDisplay::kMinCachedRows),
              1);
    EXPECT_TRUE(display.RowMarked(0));
    // More rows than the cache holds are never drawn over each other.
    EXPECT_EQ(display.UpdateImage(*font, 0, 999), ViewDisplay::kMinCachedRows);

    // A small grid is cached whole.
    display.SetCellSize(6, 8);
    display.SetupImage(80, 24, 500);
    EXPECT_EQ(display.cached_rows(), 524);
}

TEST_F(ViewDisplayTest, SelectionAcrossScrollbackCopiesRowsWithoutTrailingBlanks) {
    for (int i = 0; i < 8; ++i)
        Feed("row" + std::to_string(i) + "   \r\n");
    Feed("\x1b(0q\x1b(B last");
    // Four lines scrolled: "row3" is history (absolute row 4), the screen is rows 5 to 9.
    ASSERT_EQ(display_.cells().RowText(4).substr(0, 4), "row3");
    Selection& selection = display_.selection();
    selection.Start({2, 4});
    selection.Extend({5, 9});
    const std::string expected = "w3\r\nrow4\r\nrow5\r\nrow6\r\nrow7\r\n\xe2\x94\x80 last";
    EXPECT_EQ(display_.SelectionText(), expected);
    // The other way round gives the same text.
    selection.Start({5, 9});
    selection.Extend({2, 4});
    EXPECT_EQ(display_.SelectionText(), expected);
    int c0 = 0, c1 = 0;
    ASSERT_TRUE(selection.RowSpan(5, 20, c0, c1));
    EXPECT_EQ(c0, 0);
    EXPECT_EQ(c1, 19);
    EXPECT_FALSE(selection.RowSpan(10, 20, c0, c1));
    // New output clears it, as drawing over the highlight would.
    Feed("!");
    EXPECT_FALSE(selection.Active());
    EXPECT_EQ(display_.SelectionText(), "");
}

TEST(PasteBytes, EveryLineEndBecomesACarriageReturn) {
    EXPECT_EQ(PasteBytes("ls -l\r\npwd\nexit"), "ls -l\rpwd\rexit");
    EXPECT_EQ(PasteBytes("a\r\rb\n\n"), "a\r\rb\r\r");
    EXPECT_EQ(PasteBytes("\n"), "\r");
    EXPECT_EQ(PasteBytes(std::string("tab\tnul\0end", 11)), std::string("tab\tnul\0end", 11));
}

TEST_F(ViewDisplayTest, CursorBlinksUnlessSolidAndShowsAtOnceWhenItMoves) {
    Feed("a");
    EXPECT_TRUE(display_.CursorShown());
    EXPECT_TRUE(display_.BlinkCursor(false));
    EXPECT_FALSE(display_.CursorShown());
    EXPECT_TRUE(display_.BlinkCursor(false));
    EXPECT_TRUE(display_.CursorShown());

    display_.SetCursorType(kCursorSolidUnderscore);
    EXPECT_FALSE(display_.BlinkCursor(false));
    EXPECT_TRUE(display_.CursorShown());
    EXPECT_TRUE(display_.BlinkCursor(true));  // forced
    EXPECT_FALSE(display_.CursorShown());
    EXPECT_TRUE(display_.BlinkCursor(false));  // a solid cursor comes back on the next tick
    EXPECT_TRUE(display_.CursorShown());

    display_.HideCursor();
    EXPECT_FALSE(display_.BlinkCursor(false));
    EXPECT_FALSE(display_.CursorShown());
}

TEST_F(ViewDisplayTest, TheBellsTwoFlashesMakeOneVisibleInversion) {
    config_.SetInt(setting::visual_bell, 1);
    VT100 vt(&display_, &config_);
    ASSERT_EQ(vt.Open(&config_), 0);
    const auto before = std::chrono::steady_clock::now();
    vt.Receive(reinterpret_cast<const std::uint8_t*>("\a"), 1);
    ASSERT_TRUE(display_.flash_end().has_value());
    EXPECT_TRUE(display_.Flashing(before + 5ms));
    EXPECT_GE(*display_.flash_end() - before, ViewDisplay::kFlashTime);
    EXPECT_FALSE(display_.Flashing(*display_.flash_end()));
}

TEST(FramePacer, PaintsAtMostOncePerFrame) {
    FramePacer pacer(16ms);
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    EXPECT_EQ(pacer.Changed(t0), 0ms);  // nothing painted yet: at once
    EXPECT_FALSE(pacer.Changed(t0 + 1ms).has_value());
    pacer.Painted(t0 + 2ms);
    EXPECT_EQ(pacer.Changed(t0 + 7ms), 11ms);
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(pacer.Changed(t0 + 8ms).has_value());
    pacer.Painted(t0 + 18ms);
    EXPECT_EQ(pacer.Changed(t0 + 40ms), 0ms);
}

TEST(FontChoice, ANewFontForAnotherSizeNameOrForegroundColour) {
    Preferences preferences;
    preferences.ResetToDefaults();
    auto font = CreateBuiltinFont(9);
    font->UsePalette(SharedPalette());
    EXPECT_FALSE(FontNeedsChange(font.get(), preferences));
    EXPECT_TRUE(FontNeedsChange(nullptr, preferences));
    preferences.SetInt(pref::FontSize, 12);
    EXPECT_TRUE(FontNeedsChange(font.get(), preferences));
    preferences.SetInt(pref::FontSize, 9);
    preferences.SetWide(pref::Font, u"DejaVu Sans Mono");
    EXPECT_TRUE(FontNeedsChange(font.get(), preferences));
    preferences.SetWide(pref::Font, u"<built-in>");
    const std::uint32_t white = SharedPalette()[kWhite];
    SharedPalette()[kWhite] = 0xC0C0C0;
    EXPECT_TRUE(FontNeedsChange(font.get(), preferences));
    SharedPalette()[kWhite] = white;
}

}  // namespace
}  // namespace tarnwick
