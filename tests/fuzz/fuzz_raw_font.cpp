// Any bytes as a RAWFONT resource, with the cell its own header names: loading never crashes, and
// every glyph of a font that loads, in both banks and with every attribute, is drawn inside its
// cell in colours that lie between the background and the foreground, channel by channel.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "frontend/font_test_util.h"
#include "frontend/raw_font.h"
#include "terminal/cell.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tarnwick::testing::Canvas;
    const int width = size > 1 ? data[1] : 0;
    const int height = size > 2 ? data[2] / 2 : 0;
    tarnwick::RawFont font(std::span<const std::uint8_t>(data, size), width, height);
    if (!font.Loaded()) {
        if (font.Error() == tarnwick::RawFontError::kNone) std::abort();
        return 0;
    }
    if (font.GetCharWidth() != width || font.GetCharHeight() != height) std::abort();

    tarnwick::Palette palette{};
    palette[tarnwick::kBlack] = 0x102030;
    palette[tarnwick::kWhite] = 0xF0E0D0;
    font.UsePalette(palette);
    const auto between = [](std::uint32_t p) {
        for (int shift = 0; shift < 24; shift += 8) {
            const std::uint32_t c = (p >> shift) & 0xFF;
            if (c < ((0x102030u >> shift) & 0xFF) || c > ((0xF0E0D0u >> shift) & 0xFF))
                return false;
        }
        return (p >> 24) == 0;
    };
    Canvas canvas(width, height);
    for (int bank = 0; bank < 2; ++bank) {
        const int set = bank == 1 ? tarnwick::kSetSpecialGraphics : tarnwick::kSetASCII;
        for (int code = 0; code < 256; ++code) {
            font.DrawGlyph(canvas.Buffer(), static_cast<std::uint8_t>(code), code & 15,
                           tarnwick::kBlack, tarnwick::kWhite, set, 0, 0);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    if (!between(canvas.At(x, y))) std::abort();
                    if (font.Pixel(bank, static_cast<std::uint8_t>(code), x, y) >>
                        font.bits_per_pixel())
                        std::abort();
                }
            }
        }
    }
    if (!canvas.GuardIntact()) std::abort();
    return 0;
}
