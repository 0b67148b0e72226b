// The eight built-in fonts: the table by FontSize, every embedded resource loading with its cell,
// one glyph of each font and of its graphics bank drawn pixel for pixel, and the line-drawing
// glyphs reaching the cell edges so that frames join.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "font_test_util.h"
#include "frontend/builtin_fonts.h"
#include "frontend/raw_font.h"
#include "terminal/cell.h"

namespace tarnwick {
namespace {

using testing::Canvas;

// Every row's embedded resource loads with the row's cell, depth and size; FontSize values
// without a row of their own, the default 9 among them, take the 6 x 8 fallback; exactly the
// table's resources are embedded.
TEST(BuiltinFontTable, RowsLoadAsDescribedAndOtherSizesFallBack) {
    std::vector<int> resources, embedded;
    for (const BuiltinFont& row : BuiltinFontTable()) {
        SCOPED_TRACE("resource " + std::to_string(row.resource));
        resources.push_back(row.resource);
        std::unique_ptr<RawFont> loaded = CreateBuiltinFont(row.font_size);
        ASSERT_NE(loaded, nullptr);
        ASSERT_TRUE(loaded->Loaded()) << RawFontErrorText(loaded->Error());
        EXPECT_EQ(loaded->resource_id(), row.resource);
        EXPECT_EQ(loaded->GetCharWidth(), row.cell_width);
        EXPECT_EQ(loaded->GetCharHeight(), row.cell_height);
        EXPECT_EQ(loaded->bits_per_pixel(), row.bits_per_pixel);
        EXPECT_EQ(loaded->GetSize(), row.nominal_size);
        EXPECT_EQ(loaded->GetName(), "<built-in>");
    }
    for (int size : {9, 0, 10, -4, 1000}) {
        const BuiltinFont& fallback = BuiltinFontFor(size);
        EXPECT_EQ(fallback.resource, 113) << size;
        EXPECT_EQ(fallback.cell_width, 6) << size;
        EXPECT_EQ(fallback.cell_height, 8) << size;
    }
    for (const EmbeddedFontResource& r : EmbeddedFontResources())
        embedded.push_back(r.resource);
    std::sort(resources.begin(), resources.end());
    std::sort(embedded.begin(), embedded.end());
    EXPECT_EQ(embedded, resources);
    EXPECT_EQ(embedded.size(), 8u);
}

struct GlyphPicture {
    int resource;
    int bank;
    char character;
    std::vector<std::string> rows;
};

// The pictures of tests/frontend/data/glyphs.txt.
std::vector<GlyphPicture> Pictures() {
    std::ifstream in(std::string(TARNWICK_SOURCE_DIR) + "/tests/frontend/data/glyphs.txt");
    std::vector<GlyphPicture> pictures;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '|') {
            pictures.back().rows.push_back(line.substr(1, line.size() - 2));
        } else {
            GlyphPicture picture;
            std::istringstream(line) >> picture.resource >> picture.bank >> picture.character;
            pictures.push_back(picture);
        }
    }
    EXPECT_EQ(pictures.size(), 16u);
    return pictures;
}

TEST(BuiltinFonts, GlyphsOfBothBanksDrawPixelForPixel) {
    Palette palette{};
    palette[kBlack] = 0x000000;
    palette[kWhite] = 0xFFFFFF;
    const std::uint32_t colour_of[] = {0x000000, 0x555555, 0xAAAAAA, 0xFFFFFF};
    for (const GlyphPicture& picture : Pictures()) {
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
