// Fonts from the system's typefaces, and the choice of the current font from the preferences.
#pragma once

#include <QFont>
#include <QImage>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontend/raw_font.h"

namespace tarnwick {

// A font built from an installed typeface at a size in points. Glyphs are drawn once per
// character, attributes and colours and then copied from a cache.
class SystemFont final : public Font {
  public:
    SystemFont(const std::string& family, int points);

    void DrawGlyph(const PixelBuffer& target, std::uint8_t character, int attributes,
                   int background, int foreground, int set, int x, int y) const override;
    int GetCharWidth() const override { return width_; }
    int GetCharHeight() const override { return height_; }
    int FontType() const override { return kSystemType; }
    int GetSize() const override { return points_; }
    std::string GetName() const override { return name_; }
    // The family Qt actually found for the name (it falls back when the name is not installed).
    std::string ResolvedFamily() const;

  private:
    const std::vector<std::uint32_t>& Glyph(std::uint32_t key, char32_t glyph, bool bold,
                                            bool underline, int background, int foreground) const;

    std::string name_;
    int points_;
    QFont normal_;
    QFont bold_;
    int width_ = 1;
    int height_ = 1;
    int ascent_ = 0;
    mutable std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> cache_;
};

// The font the preferences call for: a built-in one for "<built-in>", else the named typeface.
std::unique_ptr<Font> CreateFontFromPreferences();

// The installed fixed-pitch families.
std::vector<std::string> MonospacedFamilies();

}  // namespace tarnwick
