// The font family of the terminal view: `Font`, the one current font all terminals draw their
// characters with, and `RawFont`, a built-in bitmap font held as a RAWFONT resource.
//
// A RAWFONT resource is a six-byte header and one zlib stream:
//
//   byte 0  0               byte 3  0
//   byte 1  cell width      byte 4  bits per pixel, 1 or 2
//   byte 2  2 x cell height byte 5  nominal size
//
// The stream inflates to a strip of 256 glyphs side by side, cell-width pixels each: the first
// cell-height rows are the normal glyphs, the next ones the DEC special graphics glyphs for the
// same codes. Pixel (x, y) of glyph c in bank b is at bit index
// ((b * height + y) * 256 * width + c * width + x) * bits per pixel, counted from the least
// significant bit of byte 0. With two bits per pixel 0 is the background, 3 the foreground, and 1
// and 2 the shades one and two thirds of the way from background to foreground.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/preferences.h"

namespace tarnwick {

// A caller's image of 32-bit pixels, each a palette value (0x00BBGGRR). `stride` is the distance
// in pixels from one row to the next, at least `width`.
struct PixelBuffer {
    std::uint32_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
};

class Font {
  public:
    // What FontType() answers for each kind of font.
    static constexpr int kBuiltinType = 0;
    static constexpr int kSystemType = 2;

    Font();
    virtual ~Font() = default;
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    // Caches the colour of index 7, so that a change of the colour preferences is noticed.
    void RefreshColours();
    // Draws character `character` of character set `set` (cell.h) with `attributes` (bold,
    // underline, blink, reverse) and colour indexes `background`, `foreground` with its top-left
    // pixel at (x, y). Pixels outside the target are left alone.
    virtual void DrawGlyph(const PixelBuffer& target, std::uint8_t character, int attributes,
                           int background, int foreground, int set, int x, int y) const = 0;
    virtual int GetCharWidth() const = 0;
    virtual int GetCharHeight() const = 0;
    virtual int FontType() const = 0;
    // The nominal size: points for a system font, the resource's size byte for a built-in one.
    virtual int GetSize() const = 0;
    virtual std::string GetName() const = 0;
    std::uint32_t GetCachedColour() const { return cached_colour_; }

    // The palette the font draws with; the shared terminal palette unless a caller (an off-screen
    // rendering, a test) gives its own, which must outlive the font.
    void UsePalette(const Palette& palette) {
        palette_ = &palette;
        RefreshColours();
    }
    const Palette& palette() const { return *palette_; }

  private:
    const Palette* palette_;
    std::uint32_t cached_colour_ = 0;
};

// Why a RAWFONT resource was refused.
enum class RawFontError {
    kNone = 0,
    kMissing,          // no resource with that number
    kTooShort,         // fewer than 8 bytes
    kBadHeader,        // the zero bytes are not zero, or the cell is not the one asked for
    kBadBitsPerPixel,  // neither 1 nor 2
    kBadCellSize,      // a cell outside 1..kMaxCellWidth x 1..kMaxCellHeight
    kCorruptStream,    // the zlib stream does not inflate
    kWrongSize,        // the glyphs inflate to more or fewer bytes than the cell calls for
    kTrailingBytes,    // bytes after the end of the zlib stream
    kOutOfMemory,
};

// A sentence for the user about a refused resource.
const char* RawFontErrorText(RawFontError error);

class RawFont final : public Font {
  public:
    static constexpr int kMaxCellWidth = 32;
    static constexpr int kMaxCellHeight = 64;
    static constexpr int kDefaultNominalSize = 9;

    // The built-in resource `resource` (builtin_fonts.h) with a cell of the given size; the
    // resource's header must describe the same cell.
    RawFont(int resource, int cell_width, int cell_height);
    // The same from resource bytes held by the caller (only read during construction).
    RawFont(std::span<const std::uint8_t> resource, int cell_width, int cell_height);

    // A font that did not load draws nothing; the error says why.
    bool Loaded() const { return bitmap_ != nullptr; }
    RawFontError Error() const { return error_; }
    int resource_id() const { return resource_id_; }
    int bits_per_pixel() const { return bits_per_pixel_; }

    // The raw value of one pixel of a glyph (0 or 1; 0 to 3 with two bits per pixel), 0 outside
    // the cell or when the font did not load.
    int Pixel(int bank, std::uint8_t character, int x, int y) const;

    void DrawGlyph(const PixelBuffer& target, std::uint8_t character, int attributes,
                   int background, int foreground, int set, int x, int y) const override;
    int GetCharWidth() const override { return cell_width_; }
    int GetCharHeight() const override { return cell_height_; }
    int FontType() const override { return kBuiltinType; }
    int GetSize() const override { return nominal_size_; }
    std::string GetName() const override { return "<built-in>"; }

  private:
    void Load(std::span<const std::uint8_t> resource);

    int resource_id_ = 0;
    int cell_width_;
    int cell_height_;
    int bits_per_pixel_ = 1;
    int nominal_size_ = kDefaultNominalSize;
    std::unique_ptr<std::uint8_t[]> bitmap_;
    RawFontError error_ = RawFontError::kNone;
};

// The number of bytes the glyph strip of a cell takes, or 0 for a cell outside the limits.
std::size_t RawFontBitmapSize(int cell_width, int cell_height, int bits_per_pixel);

}  // namespace tarnwick
