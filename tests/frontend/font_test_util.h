// Helpers of the font tests: RAWFONT resources made on the spot, and a canvas with a guard border
// that shows any pixel written outside the area a glyph may touch.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/raw_font.h"

namespace tarnwick::testing {

inline std::vector<std::uint8_t> Deflate(const std::vector<std::uint8_t>& bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::vector<std::uint8_t> out(size);
    if (compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()), 9) != Z_OK)
        return {};
    out.resize(size);
    return out;
}

inline std::vector<std::uint8_t> Inflate(const std::uint8_t* data, std::size_t size,
                                         std::size_t expected) {
    std::vector<std::uint8_t> out(expected);
    uLongf out_size = static_cast<uLongf>(expected);
    if (uncompress(out.data(), &out_size, data, static_cast<uLong>(size)) != Z_OK ||
        out_size != expected) {
        return {};
    }
    return out;
}

// A header for the cell followed by the deflated bitmap.
inline std::vector<std::uint8_t> MakeResource(int width, int height, int bpp, int nominal,
                                              const std::vector<std::uint8_t>& bitmap) {
    std::vector<std::uint8_t> out = {
        0, static_cast<std::uint8_t>(width), static_cast<std::uint8_t>(2 * height),
        0, static_cast<std::uint8_t>(bpp),   static_cast<std::uint8_t>(nominal)};
    const std::vector<std::uint8_t> packed = Deflate(bitmap);
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

// Sets pixel (x, y) of glyph `code` in `bank` to `value` in a strip laid out as the fonts are.
inline void SetStripPixel(std::vector<std::uint8_t>& strip, int width, int height, int bpp,
                          int bank, int code, int x, int y, int value) {
    const std::size_t bit =
        (static_cast<std::size_t>((bank * height + y) * 256 + code) * width + x) * bpp;
    strip[bit >> 3] = static_cast<std::uint8_t>(strip[bit >> 3] | (value << (bit & 7)));
}

// An image with a border of `kGuard` pixels around the area that drawing may touch.
class Canvas {
  public:
    static constexpr std::uint32_t kGuard = 0xDEADBEEFu;
    static constexpr int kBorder = 4;

    Canvas(int width, int height)
        : width_(width),
          height_(height),
          stride_(width + 2 * kBorder),
          pixels_(static_cast<std::size_t>(stride_) * (height + 2 * kBorder), kGuard) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                At(x, y) = kUnpainted;
    }

    static constexpr std::uint32_t kUnpainted = 0x00123456u;

    PixelBuffer Buffer() {
        return {&pixels_[static_cast<std::size_t>(kBorder) * stride_ + kBorder], width_, height_,
                stride_};
    }
    std::uint32_t& At(int x, int y) {
        return pixels_[static_cast<std::size_t>(y + kBorder) * stride_ + (x + kBorder)];
    }
    // True when every pixel of the border still holds the guard value.
    bool GuardIntact() const {
        for (int y = 0; y < height_ + 2 * kBorder; ++y) {
            for (int x = 0; x < stride_; ++x) {
                const bool inside =
                    x >= kBorder && x < kBorder + width_ && y >= kBorder && y < kBorder + height_;
                if (!inside && pixels_[static_cast<std::size_t>(y) * stride_ + x] != kGuard)
                    return false;
            }
        }
        return true;
    }

  private:
    int width_;
    int height_;
    int stride_;
    std::vector<std::uint32_t> pixels_;
};

}  // namespace tarnwick::testing
