#include "frontend/builtin_fonts.h"

#include <new>

#include "frontend/raw_font.h"

namespace tarnwick {

namespace {

constexpr BuiltinFont kBuiltinFonts[] = {
    // FontSize, resource, width, height, bits per pixel, nominal size
    {4, 144, 3, 7, 2, 4},     {5, 143, 3, 8, 2, 5}, {6, 140, 4, 8, 2, 6},
    {7, 142, 5, 7, 2, 7},     {8, 141, 5, 8, 2, 8}, {12, 151, 9, 12, 1, 12},
    {24, 152, 12, 16, 2, 24}, {0, 113, 6, 8, 1, 9},  // any other size
};

}  // namespace

std::span<const BuiltinFont> BuiltinFontTable() {
    return kBuiltinFonts;
}

const BuiltinFont& BuiltinFontFor(int font_size) {
    for (const BuiltinFont& row : kBuiltinFonts) {
        if (row.font_size == font_size && row.font_size != 0) return row;
    }
    return kBuiltinFonts[std::size(kBuiltinFonts) - 1];
}

std::unique_ptr<RawFont> CreateBuiltinFont(int font_size) {
    const BuiltinFont& row = BuiltinFontFor(font_size);
    return std::unique_ptr<RawFont>(new (std::nothrow)
                                        RawFont(row.resource, row.cell_width, row.cell_height));
}

std::span<const std::uint8_t> BuiltinFontResource(int resource) {
    for (const EmbeddedFontResource& entry : EmbeddedFontResources()) {
        if (entry.resource == resource) return {entry.data, entry.size};
    }
    return {};
}

}  // namespace tarnwick
