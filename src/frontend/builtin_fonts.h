// The eight built-in bitmap fonts, chosen by the `FontSize` preference when the `Font`
// preference is "<built-in>", and the RAWFONT resources the build embeds in the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tarnwick {

class RawFont;

struct BuiltinFont {
    int font_size;  // the FontSize preference that selects it; 0 for "any other"
    int resource;
    int cell_width;
    int cell_height;
    int bits_per_pixel;
    int nominal_size;
};

// The table, the fallback row (font_size 0) last.
std::span<const BuiltinFont> BuiltinFontTable();
// The row for a FontSize preference: its own row, or the fallback (resource 113, 6 x 8).
const BuiltinFont& BuiltinFontFor(int font_size);
// The font of that row, loaded (or, when its resource is refused, one that draws nothing).
// Null only when memory runs out.
std::unique_ptr<RawFont> CreateBuiltinFont(int font_size);

// The bytes of an embedded RAWFONT resource; empty when there is none with that number.
std::span<const std::uint8_t> BuiltinFontResource(int resource);

// The embedded resources, defined by the source the build generates from resources/fonts.
struct EmbeddedFontResource {
    int resource;
    const std::uint8_t* data;
    std::size_t size;
};
std::span<const EmbeddedFontResource> EmbeddedFontResources();

}  // namespace tarnwick
