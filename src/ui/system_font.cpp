#include "ui/system_font.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

#include "core/preferences.h"
#include "frontend/builtin_fonts.h"
#include "platform/text.h"
#include "terminal/cell.h"

namespace tarnwick {

namespace {

// A cache this large holds every character of a busy colourful screen; beyond it, it starts over.
constexpr std::size_t kMaxCachedGlyphs = 4096;

QColor ColourOf(std::uint32_t palette_value) {
    return QColor(static_cast<int>(palette_value & 0xFF),
                  static_cast<int>((palette_value >> 8) & 0xFF),
                  static_cast<int>((palette_value >> 16) & 0xFF));
}

}  // namespace

SystemFont::SystemFont(const std::string& family, int points)
    : name_(family), points_(points > 0 ? points : 9) {
    normal_ = QFont(QString::fromStdString(family), points_);
    normal_.setStyleHint(QFont::TypeWriter);
    normal_.setFixedPitch(true);
    normal_.setKerning(false);
    bold_ = normal_;
    bold_.setBold(true);
    const QFontMetrics metrics(normal_);
    width_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('M')));
    height_ = std::max(1, metrics.height());
    ascent_ = metrics.ascent();
}

std::string SystemFont::ResolvedFamily() const {
    return QFontInfo(normal_).family().toStdString();
}

const std::vector<std::uint32_t>& SystemFont::Glyph(std::uint32_t key, char32_t glyph, bool bold,
                                                    bool underline, int background,
                                                    int foreground) const {
    auto found = cache_.find(key);
    if (found != cache_.end()) return found->second;
    if (cache_.size() >= kMaxCachedGlyphs) cache_.clear();
    const Palette& colours = palette();
    QImage cell(width_, height_, QImage::Format_RGBX8888);
    cell.fill(ColourOf(colours[static_cast<std::size_t>(background & 15)]));
    {
        QPainter painter(&cell);
        painter.setFont(bold ? bold_ : normal_);
        painter.setPen(ColourOf(colours[static_cast<std::size_t>(foreground & 15)]));
        if (glyph != U' ') {
            painter.drawText(0, ascent_, QString(QChar(static_cast<char16_t>(glyph))));
        }
        if (underline) painter.drawLine(0, height_ - 1, width_ - 1, height_ - 1);
    }
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width_) * height_);
    for (int row = 0; row < height_; ++row) {
        const auto* line = reinterpret_cast<const std::uint32_t*>(cell.constScanLine(row));
        std::copy(line, line + width_, pixels.begin() + static_cast<std::ptrdiff_t>(row) * width_);
    }
    return cache_.emplace(key, std::move(pixels)).first->second;
}

void SystemFont::DrawGlyph(const PixelBuffer& target, std::uint8_t character, int attributes,
                           int background, int foreground, int set, int x, int y) const {
    if (attributes & kAttrBlink) attributes = (attributes & ~kAttrBlink) | kAttrReverse;
    if (attributes & kAttrReverse) std::swap(background, foreground);
    const bool bold = (attributes & kAttrBold) != 0;
    const bool underline = (attributes & kAttrUnderline) != 0;
    const char32_t glyph = CellGlyph(cell::Make(character, 0, 0, 0, set));
    const std::uint32_t key = static_cast<std::uint32_t>(glyph & 0xFFFF) |
                              (static_cast<std::uint32_t>(bold) << 16) |
                              (static_cast<std::uint32_t>(underline) << 17) |
                              (static_cast<std::uint32_t>(background & 15) << 18) |
                              (static_cast<std::uint32_t>(foreground & 15) << 22);
    const std::vector<std::uint32_t>& pixels =
        Glyph(key, glyph, bold, underline, background, foreground);
    // Only the part of the cell inside the target is copied.
    const int x0 = std::max(x, 0);
    const int x1 = std::min(x + width_, target.width);
    const int y0 = std::max(y, 0);
    const int y1 = std::min(y + height_, target.height);
    if (x0 >= x1) return;
    for (int py = y0; py < y1; ++py) {
        const std::uint32_t* from =
            pixels.data() + static_cast<std::ptrdiff_t>(py - y) * width_ + (x0 - x);
        std::copy(from, from + (x1 - x0),
                  target.pixels + static_cast<std::ptrdiff_t>(py) * target.stride + x0);
    }
}

std::unique_ptr<Font> CreateFontFromPreferences() {
    const Preferences& preferences = Preferences::Instance();
    const std::string name = Utf16ToUtf8(preferences.GetWide(pref::Font));
    const int size = preferences.GetInt(pref::FontSize);
    if (name.empty() || name == "<built-in>") return CreateBuiltinFont(size);
    return std::make_unique<SystemFont>(name, size);
}

std::vector<std::string> MonospacedFamilies() {
    std::vector<std::string> families;
    for (const QString& family : QFontDatabase::families()) {
        if (QFontDatabase::isFixedPitch(family)) families.push_back(family.toStdString());
    }
    return families;
}

}  // namespace tarnwick
