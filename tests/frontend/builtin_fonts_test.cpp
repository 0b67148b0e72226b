// The eight built-in fonts: the table by FontSize, every embedded resource loading with its cell,
// one glyph of each font and of its graphics bank drawn pixel for pixel, and the line-drawing
// glyphs reaching the cell edges so that frames join.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "font_test_util.h"
#include "frontend/builtin_fonts.h"
#include "frontend/raw_font.h"
#include "terminal/cell.h"

namespace tarnwick {
namespace {

using testing::Canvas;

TEST(BuiltinFontTable, EachFontSizeSelectsItsFont) {
    struct Row {
        int font_size, resource, width, height, bpp, nominal;
    } expected[] = {
        {4, 144, 3, 7, 2, 4},
        {5, 143, 3, 8, 2, 5},
        {6, 140, 4, 8, 2, 6},
        {7, 142, 5, 7, 2, 7},
        {8, 141, 5, 8, 2, 8},
        {12, 151, 9, 12, 1, 12},
        {24, 152, 12, 16, 2, 24},
        // Any other size, the default 9 among them, takes the 6 x 8 font.
        {9, 113, 6, 8, 1, 9},
        {0, 113, 6, 8, 1, 9},
        {10, 113, 6, 8, 1, 9},
        {-4, 113, 6, 8, 1, 9},
        {1000, 113, 6, 8, 1, 9},
    };
    for (const Row& row : expected) {
        SCOPED_TRACE("FontSize " + std::to_string(row.font_size));
        const BuiltinFont& font = BuiltinFontFor(row.font_size);
        EXPECT_EQ(font.resource, row.resource);
        EXPECT_EQ(font.cell_width, row.width);
        EXPECT_EQ(font.cell_height, row.height);
        EXPECT_EQ(font.bits_per_pixel, row.bpp);
        EXPECT_EQ(font.nominal_size, row.nominal);

        // The embedded resource agrees with its row.
        std::unique_ptr<RawFont> loaded = CreateBuiltinFont(row.font_size);
        ASSERT_NE(loaded, nullptr);
        ASSERT_TRUE(loaded->Loaded()) << RawFontErrorText(loaded->Error());
        EXPECT_EQ(loaded->resource_id(), row.resource);
        EXPECT_EQ(loaded->GetCharWidth(), row.width);
        EXPECT_EQ(loaded->GetCharHeight(), row.height);
        EXPECT_EQ(loaded->bits_per_pixel(), row.bpp);
        EXPECT_EQ(loaded->GetSize(), row.nominal);
        EXPECT_EQ(loaded->GetName(), "<built-in>");
    }
    // Exactly the eight resources of the table are embedded.
    std::vector<int> embedded;
    for (const EmbeddedFontResource& r : EmbeddedFontResources())
        embedded.push_back(r.resource);
    std::sort(embedded.begin(), embedded.end());
    EXPECT_EQ(embedded, (std::vector<int>{113, 140, 141, 142, 143, 144, 151, 152}));
}

// One glyph as drawn in white on black: ' ' background, '#' foreground, '.' and '+' the shades
// one and two thirds of the way.
struct GlyphPicture {
    int resource;
    int bank;
    char character;
    std::vector<std::string> rows;
};

const GlyphPicture kPictures[] = {
    {113, 0, 'g', {"      ", "      ", "  ##  ", " #  # ", " #  # ", "  ### ", "    # ", "  ##  "}},
    {113, 1, '`', {"      ", "  ##  ", " #### ", "######", " #### ", "  ##  ", "      ", "      "}},
    {140, 0, 'g', {"    ", "    ", " ## ", "# # ", " ## ", "  # ", "##  ", "    "}},
    {140, 1, '`', {"    ", "    ", " #  ", "### ", "### ", " #  ", "    ", "    "}},
    {141, 0, 'g', {"     ", "     ", "     ", " ##  ", "#  # ", " ### ", "   # ", " ##  "}},
    {141, 1, '`', {"     ", "     ", "  #  ", " ### ", "#####", " ### ", "  #  ", "     "}},
    {142, 0, 'g', {"     ", "     ", " ### ", "#  # ", " ##  ", "#    ", " ### "}},
    {142, 1, '`', {"     ", "  #  ", " ### ", "#####", " ### ", "  #  ", "     "}},
    {143, 0, 'g', {"   ", "   ", " #+", "# +", " #+", "  +", "## ", "   "}},
    {143, 1, '`', {"   ", "   ", " # ", "##+", "##+", " # ", "   ", "   "}},
    {144, 0, 'g', {"   ", "   ", " #+", "# +", " #+", "  +", "## "}},
    {144, 1, '`', {"   ", "   ", " # ", "##+", "##+", " # ", "   "}},
    {151,
     0,
     'g',
     {"         ", "         ", "         ", "         ", "  ### #  ", " #   #   ", " #   #   ",
      "  ###    ", " #       ", "  ####   ", " #    #  ", "  ####   "}},
    {151,
     1,
     '`',
     {"         ", "         ", "   #     ", "  ###    ", " #####   ", "#######  ", " #####   ",
      "  ###    ", "   #     ", "         ", "         ", "         "}},
    {152,
     0,
     'g',
     {"            ", "            ", "            ", "            ", "   ##### #  ",
      "  ##   ###  ", "  ##   ##   ", "  ##   ##   ", "  ##   ##   ", "   #####    ",
      "  ##        ", "   ######   ", "  ##    ##  ", "  ##    ##  ", "  ##    ##  ",
      "   ######   "}},
    {152,
     1,
     '`',
     {"            ", "            ", "     ##     ", "    ####    ", "   ######   ",
      "  ########  ", "  ########  ", "   ######   ", "    ####    ", "     ##     ",
      "            ", "            ", "            ", "            ", "            ",
      "            "}},
};

TEST(BuiltinFonts, GlyphsOfBothBanksDrawPixelForPixel) {
    Palette palette{};
    palette[kBlack] = 0x000000;
    palette[kWhite] = 0xFFFFFF;
    const std::uint32_t colour_of[] = {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF};
    for (const GlyphPicture& picture : kPictures) {
        SCOPED_TRACE("resource " + std::to_string(picture.resource) + " bank " +
                     std::to_string(picture.bank));
        const BuiltinFont* row = nullptr;
        for (const BuiltinFont& r : BuiltinFontTable())
            if (r.resource == picture.resource) row = &r;
        ASSERT_NE(row, nullptr);
        RawFont font(row->resource, row->cell_width, row->cell_height);
        font.UsePalette(palette);
        ASSERT_TRUE(font.Loaded());
        ASSERT_EQ(picture.rows.size(), static_cast<std::size_t>(row->cell_height));

        // Drawn at an offset inside a larger image, so that a misplaced pixel shows.
        Canvas canvas(row->cell_width + 3, row->cell_height + 2);
        const int set = picture.bank == 1 ? kSetSpecialGraphics : kSetASCII;
        font.DrawGlyph(canvas.Buffer(), static_cast<std::uint8_t>(picture.character), 0, kBlack,
                       kWhite, set, 2, 1);
        EXPECT_TRUE(canvas.GuardIntact());
        for (int y = 0; y < row->cell_height; ++y) {
            std::string drawn;
            for (int x = 0; x < row->cell_width; ++x) {
                const std::uint32_t p = canvas.At(x + 2, y + 1);
                const auto* hit = std::find(std::begin(colour_of), std::end(colour_of), p);
                drawn += hit == std::end(colour_of) ? '?' : " .+#"[hit - std::begin(colour_of)];
            }
            EXPECT_EQ(drawn, picture.rows[static_cast<std::size_t>(y)]) << "row " << y;
        }
        EXPECT_EQ(canvas.At(1, 1), Canvas::kUnpainted);
        EXPECT_EQ(canvas.At(2 + row->cell_width, 1), Canvas::kUnpainted);
    }
}

// The line-drawing characters of the graphics set with the arms they draw from the centre.
struct BoxGlyph {
    char code;
    bool up, down, left, right;
};
constexpr BoxGlyph kBoxGlyphs[] = {
    {'j', true, false, true, false}, {'k', false, true, true, false},
    {'l', false, true, false, true}, {'m', true, false, false, true},
    {'n', true, true, true, true},   {'q', false, false, true, true},
    {'t', true, true, false, true},  {'u', true, true, true, false},
    {'v', true, false, true, true},  {'w', false, true, true, true},
    {'x', true, true, false, false},
};

TEST(BuiltinFonts, LineDrawingRunsToTheCellEdgesOnSharedLines) {
    for (const BuiltinFont& row : BuiltinFontTable()) {
        SCOPED_TRACE("resource " + std::to_string(row.resource));
        RawFont font(row.resource, row.cell_width, row.cell_height);
        ASSERT_TRUE(font.Loaded());
        const int w = row.cell_width, h = row.cell_height;
        // The crossing defines the centre lines every other piece must use.
        int cx = -1, cy = -1;
        for (int x = 0; x < w; ++x)
            if (font.Pixel(1, 'n', x, 0)) cx = x;
        for (int y = 0; y < h; ++y)
            if (font.Pixel(1, 'n', 0, y)) cy = y;
        ASSERT_GE(cx, 0);
        ASSERT_GE(cy, 0);
        for (const BoxGlyph& box : kBoxGlyphs) {
            SCOPED_TRACE(std::string("glyph ") + box.code);
            const auto on = [&](int x, int y) { return font.Pixel(1, box.code, x, y) != 0; };
            EXPECT_EQ(on(cx, 0), box.up);
            EXPECT_EQ(on(cx, h - 1), box.down);
            EXPECT_EQ(on(0, cy), box.left);
            EXPECT_EQ(on(w - 1, cy), box.right);
            EXPECT_TRUE(on(cx, cy));
        }
        // Scan lines 1 and 9 are the top and bottom rows, full width.
        for (int x = 0; x < w; ++x) {
            EXPECT_TRUE(font.Pixel(1, 'o', x, 0));
            EXPECT_TRUE(font.Pixel(1, 's', x, h - 1));
        }
        // Outside 0x5F-0x7E the graphics bank repeats the normal glyphs.
        for (int code : {int{'A'}, int{'0'}, int{'^'}, 0x7F, 0xE9}) {
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(font.Pixel(1, static_cast<std::uint8_t>(code), x, y),
                              font.Pixel(0, static_cast<std::uint8_t>(code), x, y))
                        << "code " << code;
        }
    }
}

}  // namespace
}  // namespace tarnwick
