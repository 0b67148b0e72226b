// RawFont on small fonts made by the test: which bank each character set draws from, the
// attributes (reverse, blink, bold, underline), the two-bit shades, clipping, and the resources
// it must refuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "font_test_util.h"
#include "frontend/raw_font.h"
#include "terminal/cell.h"

namespace tarnwick {
namespace {

using testing::Canvas;
using testing::MakeResource;
using testing::SetStripPixel;

constexpr std::uint32_t kBlackValue = 0x000000;
constexpr std::uint32_t kRedValue = 0x0000FF;
constexpr std::uint32_t kBlueValue = 0xFF0000;
constexpr std::uint32_t kDimRedValue = 0x000065;  // 101: a difference that does not divide by 3
constexpr std::uint32_t kWhiteValue = 0xFFFFFF;

Palette TestPalette() {
    Palette p{};
    p[kBlack] = kBlackValue;
    p[kRed] = kRedValue;
    p[kBlue] = kBlueValue;
    p[kCyan] = kDimRedValue;
    p[kWhite] = kWhiteValue;
    return p;
}

// A one-bit 4 x 4 font. 'A' is a frame corner with a pixel in the last column in bank 0 and a
// full top row in bank 1; every other glyph is blank.
std::unique_ptr<RawFont> OneBitFont(const Palette& palette) {
    const int w = 4, h = 4;
    std::vector<std::uint8_t> strip(RawFontBitmapSize(w, h, 1));
    const char* normal[] = {"#..#", "#...", "#...", "####"};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (normal[y][x] == '#') SetStripPixel(strip, w, h, 1, 0, 'A', x, y, 1);
    for (int x = 0; x < w; ++x)
        SetStripPixel(strip, w, h, 1, 1, 'A', x, 0, 1);
    auto font = std::make_unique<RawFont>(MakeResource(w, h, 1, 7, strip), w, h);
    font->UsePalette(palette);
    return font;
}

// A two-bit 4 x 2 font whose 'B' holds the four values in both orders.
std::unique_ptr<RawFont> TwoBitFont(const Palette& palette) {
    const int w = 4, h = 2;
    std::vector<std::uint8_t> strip(RawFontBitmapSize(w, h, 2));
    for (int x = 0; x < w; ++x) {
        SetStripPixel(strip, w, h, 2, 0, 'B', x, 0, x);
        SetStripPixel(strip, w, h, 2, 0, 'B', x, 1, 3 - x);
    }
    auto font = std::make_unique<RawFont>(MakeResource(w, h, 2, 0, strip), w, h);
    font->UsePalette(palette);
    return font;
}

// The drawn cell at (0, 0) as text: '#' for fg, '.' for bg, '?' for anything else.
std::vector<std::string> Picture(Canvas& canvas, int w, int h, std::uint32_t fg, std::uint32_t bg) {
    std::vector<std::string> rows;
    for (int y = 0; y < h; ++y) {
        std::string row;
        for (int x = 0; x < w; ++x) {
            const std::uint32_t p = canvas.At(x, y);
            row += p == fg ? '#' : p == bg ? '.' : '?';
        }
        rows.push_back(row);
    }
    return rows;
}

using Rows = std::vector<std::string>;

TEST(RawFontDrawing, CharacterSetChoosesTheBank) {
    const Palette palette = TestPalette();
    const auto font_holder = OneBitFont(palette);
    const RawFont& font = *font_holder;
    ASSERT_TRUE(font.Loaded()) << RawFontErrorText(font.Error());
    EXPECT_EQ(font.GetSize(), 7);

    const Rows normal = {"#..#", "#...", "#...", "####"};
    const Rows graphics = {"####", "....", "....", "...."};
    struct Case {
        int set;
        const Rows* expected;
    } cases[] = {{kSetUnitedKingdom, &normal},     {kSetASCII, &normal},
                 {kSetSpecialGraphics, &graphics}, {kSetAltROM, &normal},
                 {kSetAltROMGraphics, &graphics},  {kSetSupplemental, &normal}};
    for (const Case& c : cases) {
        Canvas canvas(4, 4);
        font.DrawGlyph(canvas.Buffer(), 'A', 0, kBlack, kWhite, c.set, 0, 0);
        EXPECT_EQ(Picture(canvas, 4, 4, kWhiteValue, kBlackValue), *c.expected) << "set " << c.set;
        EXPECT_TRUE(canvas.GuardIntact());
    }
    Canvas blank(4, 4);
    font.DrawGlyph(blank.Buffer(), 'Z', 0, kBlack, kWhite, kSetASCII, 0, 0);
    EXPECT_EQ(Picture(blank, 4, 4, kWhiteValue, kBlackValue), Rows(4, "...."));
}

TEST(RawFontDrawing, ReverseAndBlinkExchangeTheColours) {
    const Palette palette = TestPalette();
    const auto font_holder = OneBitFont(palette);
    const RawFont& font = *font_holder;
    for (int attributes : {int{kAttrReverse}, int{kAttrBlink}, kAttrBlink | kAttrReverse}) {
        Canvas canvas(4, 4);
        font.DrawGlyph(canvas.Buffer(), 'A', attributes, kBlue, kRed, kSetASCII, 0, 0);
        // Reversed: glyph pixels in blue (the background index), the rest in red.
        EXPECT_EQ(Picture(canvas, 4, 4, kBlueValue, kRedValue),
                  Rows({"#..#", "#...", "#...", "####"}))
            << "attributes " << attributes;
    }
}

TEST(RawFontDrawing, BoldWidensOneBitStrokesToTheRightWithinTheCell) {
    const Palette palette = TestPalette();
    const auto font_holder = OneBitFont(palette);
    const RawFont& font = *font_holder;
    Canvas canvas(5, 4);  // one column more than the cell: bold must not spill into it
    canvas.At(4, 0) = kBlueValue;
    font.DrawGlyph(canvas.Buffer(), 'A', kAttrBold, kBlack, kWhite, kSetASCII, 0, 0);
    EXPECT_EQ(Picture(canvas, 4, 4, kWhiteValue, kBlackValue),
              Rows({"##.#", "##..", "##..", "####"}));
    EXPECT_EQ(canvas.At(4, 0), kBlueValue);
    EXPECT_EQ(canvas.At(4, 3), Canvas::kUnpainted);
}

TEST(RawFontDrawing, UnderlinePaintsTheBottomRowInTheForeground) {
    const Palette palette = TestPalette();
    const auto font_holder = OneBitFont(palette);
    const RawFont& font = *font_holder;
    Canvas canvas(4, 4);
    font.DrawGlyph(canvas.Buffer(), 'A', kAttrUnderline, kBlack, kWhite, kSetSpecialGraphics, 0, 0);
    EXPECT_EQ(Picture(canvas, 4, 4, kWhiteValue, kBlackValue),
              Rows({"####", "....", "....", "####"}));
    // Blink turns into reverse and keeps the underline, which takes the exchanged foreground.
    Canvas blinking(4, 4);
    font.DrawGlyph(blinking.Buffer(), 'Z', kAttrUnderline | kAttrBlink, kBlack, kWhite, kSetASCII,
                   0, 0);
    EXPECT_EQ(Picture(blinking, 4, 4, kBlackValue, kWhiteValue),
              Rows({"....", "....", "....", "####"}));
}

TEST(RawFontDrawing, TwoBitShadesAreOneAndTwoThirdsTowardsTheForeground) {
    const Palette palette = TestPalette();
    const auto font_holder = TwoBitFont(palette);
    const RawFont& font = *font_holder;
    ASSERT_TRUE(font.Loaded()) << RawFontErrorText(font.Error());
    EXPECT_EQ(font.GetSize(), RawFont::kDefaultNominalSize);  // a size byte of 0
    struct Case {
        int bg, fg;
        std::uint32_t values[4];
    } cases[] = {
        {kBlack, kWhite, {kBlackValue, 0x555555, 0xAAAAAA, kWhiteValue}},
        {kWhite, kBlack, {kWhiteValue, 0xAAAAAA, 0x555555, kBlackValue}},
        {kBlack, kRed, {kBlackValue, 0x000055, 0x0000AA, kRedValue}},
        // A third of 101 is 33, and the second shade is twice that (66), not two thirds of 101.
        {kBlack, kCyan, {kBlackValue, 0x000021, 0x000042, kDimRedValue}},
        // On a coloured background the shades lie between the two colours, channel by channel.
        {kBlue, kWhite, {kBlueValue, 0xFF5555, 0xFFAAAA, kWhiteValue}},
        {kWhite, kBlue, {kWhiteValue, 0xFFAAAA, 0xFF5555, kBlueValue}},
    };
    for (const Case& c : cases) {
        Canvas canvas(4, 2);
        font.DrawGlyph(canvas.Buffer(), 'B', 0, c.bg, c.fg, kSetASCII, 0, 0);
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(canvas.At(x, 0), c.values[x])
                << "bg " << c.bg << " fg " << c.fg << " x " << x;
            EXPECT_EQ(canvas.At(x, 1), c.values[3 - x]);
        }
    }
    // Bold at two bits per pixel: every inked pixel is full foreground.
    Canvas bold(4, 2);
    font.DrawGlyph(bold.Buffer(), 'B', kAttrBold, kBlack, kWhite, kSetASCII, 0, 0);
    EXPECT_EQ(Picture(bold, 4, 2, kWhiteValue, kBlackValue), Rows({".###", "###."}));
}

TEST(RawFontDrawing, ClipsAtEveryEdgeOfTheTarget) {
    const Palette palette = TestPalette();
    const auto font_holder = OneBitFont(palette);
    const RawFont& font = *font_holder;
    Canvas canvas(6, 6);
    const PixelBuffer buffer = canvas.Buffer();
    for (int at : {-3, -1, 4, 5, 6, 100, -100, INT32_MIN, INT32_MAX}) {
        font.DrawGlyph(buffer, 'A', kAttrBold | kAttrUnderline, kBlack, kWhite, kSetASCII, at, 1);
        font.DrawGlyph(buffer, 'A', kAttrBold | kAttrUnderline, kBlack, kWhite, kSetASCII, 1, at);
        ASSERT_TRUE(canvas.GuardIntact()) << "at " << at;
    }
    // A cell hanging over the top-left corner shows its lower-right part in the right place.
    Canvas corner(4, 4);
    font.DrawGlyph(corner.Buffer(), 'A', 0, kBlack, kWhite, kSetASCII, -1, -2);
    EXPECT_EQ(corner.At(0, 0), kBlackValue);  // glyph pixel (1, 2)
    EXPECT_EQ(corner.At(2, 1), kWhiteValue);  // glyph pixel (3, 3)
    EXPECT_EQ(corner.At(3, 1), Canvas::kUnpainted);
    EXPECT_EQ(corner.At(0, 2), Canvas::kUnpainted);
    EXPECT_TRUE(corner.GuardIntact());
    // A buffer without pixels is ignored.
    font.DrawGlyph(PixelBuffer{}, 'A', 0, kBlack, kWhite, kSetASCII, 0, 0);
}

// Malformed resources ----------------------------------------------------------------------------

struct BadResource {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int width;
    int height;
    RawFontError expected;
};

std::vector<std::uint8_t> GoodBitmap() {
    std::vector<std::uint8_t> strip(RawFontBitmapSize(4, 4, 1));
    for (std::size_t i = 0; i < strip.size(); ++i)
        strip[i] = static_cast<std::uint8_t>(i * 7);
    return strip;
}

std::vector<BadResource> BadResources() {
    const std::vector<std::uint8_t> good = MakeResource(4, 4, 1, 9, GoodBitmap());
    std::vector<BadResource> cases;
    auto changed = [&](std::size_t at, std::uint8_t value) {
        std::vector<std::uint8_t> b = good;
        b[at] = value;
        return b;
    };
    cases.push_back({"empty", {}, 4, 4, RawFontError::kTooShort});
    cases.push_back(
        {"seven_bytes", {good.begin(), good.begin() + 7}, 4, 4, RawFontError::kTooShort});
    cases.push_back({"first_byte_not_zero", changed(0, 1), 4, 4, RawFontError::kBadHeader});
    cases.push_back({"fourth_byte_not_zero", changed(3, 1), 4, 4, RawFontError::kBadHeader});
    cases.push_back({"other_width", changed(1, 5), 4, 4, RawFontError::kBadHeader});
    cases.push_back({"odd_strip_height", changed(2, 9), 4, 4, RawFontError::kBadHeader});
    cases.push_back({"zero_bits_per_pixel", changed(4, 0), 4, 4, RawFontError::kBadBitsPerPixel});
    cases.push_back({"three_bits_per_pixel", changed(4, 3), 4, 4, RawFontError::kBadBitsPerPixel});
    cases.push_back({"eight_bits_per_pixel", changed(4, 8), 4, 4, RawFontError::kBadBitsPerPixel});
    // The header says two bits, the stream holds a one-bit strip: half the size it should be.
    cases.push_back(
        {"two_bits_for_a_one_bit_strip", changed(4, 2), 4, 4, RawFontError::kWrongSize});
    cases.push_back({"zero_width", MakeResource(0, 4, 1, 9, {}), 0, 4, RawFontError::kBadCellSize});
    cases.push_back(
        {"zero_height", MakeResource(4, 0, 1, 9, {}), 4, 0, RawFontError::kBadCellSize});
    cases.push_back({"absurd_width", MakeResource(255, 4, 1, 9, GoodBitmap()), 255, 4,
                     RawFontError::kBadCellSize});
    cases.push_back({"absurd_height", MakeResource(4, 127, 1, 9, GoodBitmap()), 4, 127,
                     RawFontError::kBadCellSize});
    cases.push_back({"negative_cell", good, -4, 4, RawFontError::kBadCellSize});
    {
        std::vector<std::uint8_t> cut(good.begin(), good.begin() + good.size() / 2);
        cases.push_back({"stream_cut_in_half", cut, 4, 4, RawFontError::kCorruptStream});
        std::vector<std::uint8_t> no_checksum(good.begin(), good.end() - 4);
        cases.push_back(
            {"stream_without_checksum", no_checksum, 4, 4, RawFontError::kCorruptStream});
    }
    {
        std::vector<std::uint8_t> short_strip = GoodBitmap();
        short_strip.pop_back();
        cases.push_back({"one_byte_short", MakeResource(4, 4, 1, 9, short_strip), 4, 4,
                         RawFontError::kWrongSize});
        std::vector<std::uint8_t> long_strip = GoodBitmap();
        long_strip.push_back(0);
        cases.push_back({"one_byte_long", MakeResource(4, 4, 1, 9, long_strip), 4, 4,
                         RawFontError::kWrongSize});
        // 16 MiB of zeros packs into a few kilobytes; inflating must stop at the cell's size.
        std::vector<std::uint8_t> bomb(16u << 20);
        cases.push_back({"inflates_to_sixteen_megabytes", MakeResource(4, 4, 1, 9, bomb), 4, 4,
                         RawFontError::kWrongSize});
    }
    {
        std::vector<std::uint8_t> trailing = good;
        trailing.push_back(0);
        cases.push_back({"byte_after_the_stream", trailing, 4, 4, RawFontError::kTrailingBytes});
        std::vector<std::uint8_t> garbage = good;
        for (std::size_t i = 6; i < garbage.size(); ++i)
            garbage[i] = static_cast<std::uint8_t>(0xA5 ^ i);
        cases.push_back({"not_a_zlib_stream", garbage, 4, 4, RawFontError::kCorruptStream});
        std::vector<std::uint8_t> bad_checksum = good;
        bad_checksum.back() ^= 1;
        cases.push_back({"wrong_checksum", bad_checksum, 4, 4, RawFontError::kCorruptStream});
    }
    return cases;
}

class RawFontRefuses : public ::testing::TestWithParam<BadResource> {};

TEST_P(RawFontRefuses, AndDrawsNothing) {
    const BadResource& c = GetParam();
    RawFont font(c.bytes, c.width, c.height);
    EXPECT_FALSE(font.Loaded());
    EXPECT_EQ(font.Error(), c.expected) << RawFontErrorText(font.Error());
    Canvas canvas(8, 8);
    for (int code = 0; code < 256; ++code)
        font.DrawGlyph(canvas.Buffer(), static_cast<std::uint8_t>(code), 0, kBlack, kWhite,
                       kSetASCII, 0, 0);
    EXPECT_EQ(canvas.At(0, 0), Canvas::kUnpainted);
    EXPECT_TRUE(canvas.GuardIntact());
}

INSTANTIATE_TEST_SUITE_P(Malformed, RawFontRefuses, ::testing::ValuesIn(BadResources()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RawFontLoading, TheUndamagedResourceOfTheRefusalCasesLoads) {
    RawFont font(MakeResource(4, 4, 1, 9, GoodBitmap()), 4, 4);
    EXPECT_TRUE(font.Loaded()) << RawFontErrorText(font.Error());
    // Pixel 0 of the strip is bit 0 of byte 0; byte 1 (7 = 0b111) starts at x = 8, glyph 2.
    EXPECT_EQ(font.Pixel(0, 2, 0, 0), 1);
    EXPECT_EQ(font.Pixel(0, 2, 3, 0), 0);
}

TEST(RawFontLoading, MissingResourceNumberIsRefused) {
    RawFont font(9999, 6, 8);
    EXPECT_FALSE(font.Loaded());
    EXPECT_EQ(font.Error(), RawFontError::kMissing);
    EXPECT_EQ(font.GetCharWidth(), 6);  // the cell still lays the terminal out
    EXPECT_EQ(font.GetCharHeight(), 8);
}

}  // namespace
}  // namespace tarnwick
