#include "frontend/raw_font.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <new>

#include "frontend/builtin_fonts.h"
#include "terminal/cell.h"

namespace tarnwick {

namespace {

constexpr int kHeaderSize = 6;
constexpr std::size_t kMinimumResourceSize = 8;
constexpr int kCodes = 256;

// The two intermediate colours of a two-bit pixel: one and two thirds of the way from the
// background to the foreground, per channel, the third rounded towards zero.
struct Shades {
    std::uint32_t one_third = 0;
    std::uint32_t two_thirds = 0;
};

Shades MakeShades(std::uint32_t background, std::uint32_t foreground) {
    Shades shades;
    for (int shift = 0; shift < 24; shift += 8) {
        const int bg = static_cast<int>((background >> shift) & 0xFF);
        const int fg = static_cast<int>((foreground >> shift) & 0xFF);
        const int third = (fg - bg) / 3;
        shades.one_third |= static_cast<std::uint32_t>(bg + third) << shift;
        shades.two_thirds |= static_cast<std::uint32_t>(bg + 2 * third) << shift;
    }
    return shades;
}

}  // namespace

Font::Font() : palette_(&SharedPalette()) {
    RefreshColours();
}

void Font::RefreshColours() {
    cached_colour_ = (*palette_)[kWhite];
}

const char* RawFontErrorText(RawFontError error) {
    switch (error) {
        case RawFontError::kNone:
            return "The font is loaded.";
        case RawFontError::kMissing:
            return "The program holds no built-in font with this number.";
        case RawFontError::kTooShort:
            return "The font resource is too short to hold any glyphs.";
        case RawFontError::kBadHeader:
            return "The font resource describes a different character cell.";
        case RawFontError::kBadBitsPerPixel:
            return "The font resource has neither one nor two bits per pixel.";
        case RawFontError::kBadCellSize:
            return "The font's character cell is too small or too large.";
        case RawFontError::kCorruptStream:
            return "The font's glyph data is damaged.";
        case RawFontError::kWrongSize:
            return "The font's glyph data does not match its character cell.";
        case RawFontError::kTrailingBytes:
            return "The font resource has data after its glyphs.";
        case RawFontError::kOutOfMemory:
            return "There is not enough memory for the font.";
    }
    return "The font could not be loaded.";
}

std::size_t RawFontBitmapSize(int cell_width, int cell_height, int bits_per_pixel) {
    if (cell_width < 1 || cell_width > RawFont::kMaxCellWidth || cell_height < 1 ||
        cell_height > RawFont::kMaxCellHeight || bits_per_pixel < 1 || bits_per_pixel > 2) {
        return 0;
    }
    // Two banks of cell-height rows, each 256 cells wide; every row is a whole number of bytes.
    return static_cast<std::size_t>(2 * cell_height) * kCodes *
           static_cast<std::size_t>(cell_width) * static_cast<std::size_t>(bits_per_pixel) / 8;
}

RawFont::RawFont(int resource, int cell_width, int cell_height)
    : resource_id_(resource), cell_width_(cell_width), cell_height_(cell_height) {
    std::span<const std::uint8_t> bytes = BuiltinFontResource(resource);
    if (bytes.empty()) {
        error_ = RawFontError::kMissing;
        return;
    }
    Load(bytes);
}

RawFont::RawFont(std::span<const std::uint8_t> resource, int cell_width, int cell_height)
    : cell_width_(cell_width), cell_height_(cell_height) {
    Load(resource);
}

void RawFont::Load(std::span<const std::uint8_t> resource) {
    if (resource.size() < kMinimumResourceSize) {
        error_ = RawFontError::kTooShort;
        return;
    }
    if (cell_width_ < 1 || cell_width_ > kMaxCellWidth || cell_height_ < 1 ||
        cell_height_ > kMaxCellHeight) {
        error_ = RawFontError::kBadCellSize;
        return;
    }
    if (resource[0] != 0 || resource[3] != 0 || resource[1] != cell_width_ ||
        resource[2] != 2 * cell_height_) {
        error_ = RawFontError::kBadHeader;
        return;
    }
    const int bits_per_pixel = resource[4];
    if (bits_per_pixel != 1 && bits_per_pixel != 2) {
        error_ = RawFontError::kBadBitsPerPixel;
        return;
    }
    const std::size_t size = RawFontBitmapSize(cell_width_, cell_height_, bits_per_pixel);
    std::unique_ptr<std::uint8_t[]> bitmap(new (std::nothrow) std::uint8_t[size]);
    if (!bitmap) {
        error_ = RawFontError::kOutOfMemory;
        return;
    }

    // The output buffer is exactly as large as the cell calls for, so a stream that would inflate
    // to more stops at the buffer's end instead of growing anything.
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        error_ = RawFontError::kOutOfMemory;
        return;
    }
    const std::span<const std::uint8_t> packed = resource.subspan(kHeaderSize);
    stream.next_in = const_cast<Bytef*>(packed.data());
    // zlib counts input in uInt; anything past that is left over just like trailing bytes.
    const std::size_t fed = std::min<std::size_t>(packed.size(), std::numeric_limits<uInt>::max());
    stream.avail_in = static_cast<uInt>(fed);
    stream.next_out = bitmap.get();
    stream.avail_out = static_cast<uInt>(size);
    int result = inflate(&stream, Z_FINISH);
    if (result != Z_STREAM_END && stream.avail_out == 0) {
        // The buffer is full but the stream has not ended: either more glyph data follows, or the
        // stream is cut off or damaged after its last byte. One byte of room tells them apart.
        std::uint8_t probe = 0;
        stream.next_out = &probe;
        stream.avail_out = 1;
        result = inflate(&stream, Z_FINISH);
    }
    const uLong produced = stream.total_out;
    const std::size_t input_left = stream.avail_in + (packed.size() - fed);
    inflateEnd(&stream);

    if (result == Z_MEM_ERROR) {
        error_ = RawFontError::kOutOfMemory;
        return;
    }
    if (produced > size) {
        error_ = RawFontError::kWrongSize;  // more glyph data than the cell holds
        return;
    }
    if (result != Z_STREAM_END) {
        error_ = RawFontError::kCorruptStream;  // damaged, or cut off before its end
        return;
    }
    if (produced != size) {
        error_ = RawFontError::kWrongSize;  // less glyph data than the cell holds
        return;
    }
    if (input_left != 0) {
        error_ = RawFontError::kTrailingBytes;
        return;
    }
    bits_per_pixel_ = bits_per_pixel;
    nominal_size_ = resource[5] != 0 ? resource[5] : kDefaultNominalSize;
    bitmap_ = std::move(bitmap);
    error_ = RawFontError::kNone;
}

int RawFont::Pixel(int bank, std::uint8_t character, int x, int y) const {
    if (!bitmap_ || bank < 0 || bank > 1 || x < 0 || x >= cell_width_ || y < 0 ||
        y >= cell_height_) {
        return 0;
    }
    const std::size_t bit =
        ((static_cast<std::size_t>(bank * cell_height_ + y) * kCodes + character) *
             static_cast<std::size_t>(cell_width_) +
         static_cast<std::size_t>(x)) *
        static_cast<std::size_t>(bits_per_pixel_);
    // A pixel never straddles two bytes: its bit index is a multiple of its width (1 or 2).
    const int mask = (1 << bits_per_pixel_) - 1;
    return (bitmap_[bit >> 3] >> (bit & 7)) & mask;
}

void RawFont::DrawGlyph(const PixelBuffer& target, std::uint8_t character, int attributes,
                        int background, int foreground, int set, int x, int y) const {
    if (!bitmap_ || target.pixels == nullptr) return;

    // Blink cannot be animated in a still image, so it is shown as reverse video.
    if (attributes & kAttrBlink) attributes = (attributes & ~kAttrBlink) | kAttrReverse;
    const Palette& colours = palette();
    std::uint32_t bg = colours[static_cast<std::size_t>(background) & 15];
    std::uint32_t fg = colours[static_cast<std::size_t>(foreground) & 15];
    if (attributes & kAttrReverse) std::swap(bg, fg);
    // The alternate ROM's graphics set has no glyphs of its own: it shows the line-drawing set,
    // as the terminal model does.
    const int bank = (set == kSetSpecialGraphics || set == kSetAltROMGraphics) ? 1 : 0;
    const bool bold = (attributes & kAttrBold) != 0;
    const Shades shades = MakeShades(bg, fg);
    const std::uint32_t by_value[4] = {bg, shades.one_third, shades.two_thirds, fg};

    // The part of the cell inside the target (computed wide, so no position can overflow).
    const long long left = x;
    const long long top = y;
    const int x_begin = static_cast<int>(std::clamp(-left, 0LL, 1LL * cell_width_));
    const int x_end = static_cast<int>(std::clamp(target.width - left, 0LL, 1LL * cell_width_));
    const int y_begin = static_cast<int>(std::clamp(-top, 0LL, 1LL * cell_height_));
    const int y_end = static_cast<int>(std::clamp(target.height - top, 0LL, 1LL * cell_height_));
    for (int row = y_begin; row < y_end; ++row) {
        std::uint32_t* line = target.pixels + static_cast<std::ptrdiff_t>(y + row) * target.stride;
        for (int col = x_begin; col < x_end; ++col) {
            int value = Pixel(bank, character, col, row);
            if (bits_per_pixel_ == 1) {
                // Bold at one bit per pixel: every stroke is one pixel wider to the right.
                if (bold && value == 0 && col > 0) value = Pixel(bank, character, col - 1, row);
                value *= 3;
            } else if (bold && value != 0) {
                value = 3;  // bold at two bits per pixel: the shades become full foreground
            }
            line[x + col] = by_value[value];
        }
    }
    if ((attributes & kAttrUnderline) && y_begin < y_end && y_end == cell_height_) {
        std::uint32_t* line =
            target.pixels + static_cast<std::ptrdiff_t>(y + cell_height_ - 1) * target.stride;
        for (int col = x_begin; col < x_end; ++col)
            line[x + col] = fg;
    }
}

}  // namespace tarnwick
