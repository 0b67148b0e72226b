#include "frontend/preference_sheet.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "platform/text.h"

namespace tarnwick {

namespace {

// The default cursor list, with the preference value of each entry.
struct CursorEntry {
    const char* name;
    int value;
};
constexpr CursorEntry kCursors[] = {
    {"Solid Block", 1},
    {"Blinking Block", 0},
    {"Solid Underscore", 3},
    {"Blinking Underscore", 2},
};

// The sizes each kind of font offers, and the one selected when the previous size is not offered.
// The built-in list includes 24, the size of the largest built-in font, which would otherwise be
// out of reach.
const std::vector<std::string> kBuiltInSizes = {"4", "5", "6", "7", "8", "9", "12", "24"};
constexpr const char* kBuiltInDefault = "12";
const std::vector<std::string> kSystemSizes = {"6",  "7",  "8",  "9",  "10",
                                               "12", "14", "16", "18", "24"};
constexpr const char* kSystemDefault = "6";

constexpr std::array<std::uint32_t, 8> kDefaultColours = {
    0x000000, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF, 0xFFFF00, 0xFFFFFF,
};

// A number as "%lu" reads it: blanks, an optional sign (a minus wraps around), decimal digits.
std::optional<unsigned long> ReadUnsigned(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    unsigned long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
        value = std::min(value * 10 + static_cast<unsigned long>(text[i] - '0'), 1UL << 40);
    if (digits == 0) return std::nullopt;
    return negative ? 0 - value : value;
}

}  // namespace

PreferenceSheet::PreferenceSheet(const std::vector<std::string>& system_fonts) {
    Preferences::Instance().Save();
    working_.Load();

    rows = std::to_string(working_.GetInt(pref::Rows));
    columns = std::to_string(working_.GetInt(pref::Columns));
    scrollback = std::to_string(working_.GetInt(pref::Scrollback));
    text_pacing = std::to_string(working_.GetInt(pref::TextPacing));
    const int cursor = working_.GetInt(pref::CursorType);
    for (std::size_t i = 0; i < std::size(kCursors); ++i) {
        if (kCursors[i].value == cursor) cursor_index = static_cast<int>(i);
    }
    manual_control = working_.GetInt(pref::ManualControl) != 0;
    soft_control = working_.GetInt(pref::SoftControl) != 0;

    fonts_.push_back(kBuiltIn);
    for (const std::string& family : system_fonts) {
        if (std::find(fonts_.begin(), fonts_.end(), family) == fonts_.end()) {
            fonts_.push_back(family);
        }
    }
    const std::string font = Utf16ToUtf8(working_.GetWide(pref::Font));
    auto found = std::find(fonts_.begin(), fonts_.end(), font);
    font_index_ = found != fonts_.end() ? static_cast<int>(found - fonts_.begin()) : 0;
    FillSizes(std::to_string(working_.GetInt(pref::FontSize)));

    for (std::size_t i = 0; i < palette_.size(); ++i)
        palette_[i] =
            static_cast<std::uint32_t>(working_.GetInt(pref::BLACK + static_cast<int>(i)));

    ca_path = Utf16ToUtf8(working_.GetWide(pref::CAPath));
    keep_awake = working_.GetInt(pref::KeepAwake) != 0;
}

std::vector<std::string> PreferenceSheet::CursorNames() {
    std::vector<std::string> names;
    for (const CursorEntry& entry : kCursors)
        names.emplace_back(entry.name);
    return names;
}

void PreferenceSheet::FillSizes(const std::string& keep) {
    const bool built_in = font_index_ == 0;
    sizes_ = built_in ? kBuiltInSizes : kSystemSizes;
    auto found = std::find(sizes_.begin(), sizes_.end(), keep);
    if (found == sizes_.end()) {
        found =
            std::find(sizes_.begin(), sizes_.end(), built_in ? kBuiltInDefault : kSystemDefault);
    }
    size_index = static_cast<int>(found - sizes_.begin());
}

void PreferenceSheet::SelectFont(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= fonts_.size()) return;
    const std::string previous =
        size_index >= 0 && static_cast<std::size_t>(size_index) < sizes_.size()
            ? sizes_[static_cast<std::size_t>(size_index)]
            : std::string();
    font_index_ = index;
    FillSizes(previous);
}

void PreferenceSheet::SetColour(int index, std::uint32_t colour) {
    if (index < 0 || index >= static_cast<int>(palette_.size())) return;
    palette_[static_cast<std::size_t>(index)] = colour & 0xFFFFFF;
}

void PreferenceSheet::ResetColours() {
    palette_ = kDefaultColours;
}

void PreferenceSheet::Accept() {
    // Terminal: rows and columns only within 1-999; other numbers when they can be read (a
    // negative scroll-back or pacing cannot mean anything and keeps the old value too).
    for (auto [text, number] : {std::pair{&rows, pref::Rows}, std::pair{&columns, pref::Columns}}) {
        const auto value = ReadUnsigned(*text);
        if (value && *value >= 1 && *value <= 999)
            working_.SetInt(number, static_cast<int>(*value));
    }
    for (auto [text, number] :
         {std::pair{&scrollback, pref::Scrollback}, std::pair{&text_pacing, pref::TextPacing}}) {
        const auto value = ReadUnsigned(*text);
        if (value && *value <= 0x7FFFFFFF) working_.SetInt(number, static_cast<int>(*value));
    }
    if (cursor_index >= 0 && static_cast<std::size_t>(cursor_index) < std::size(kCursors)) {
        working_.SetInt(pref::CursorType, kCursors[cursor_index].value);
    }
    working_.SetInt(pref::ManualControl, manual_control ? 1 : 0);
    working_.SetInt(pref::SoftControl, soft_control ? 1 : 0);

    // Fonts.
    if (const auto size = ReadUnsigned(sizes_.at(static_cast<std::size_t>(size_index)))) {
        working_.SetInt(pref::FontSize, static_cast<int>(*size));
    }
    working_.SetWide(pref::Font, Utf8ToUtf16(fonts_.at(static_cast<std::size_t>(font_index_))));

    // Colors and Other. The connection-manager settings keep their stored values.
    for (std::size_t i = 0; i < palette_.size(); ++i)
        working_.SetInt(pref::BLACK + static_cast<int>(i), static_cast<std::int32_t>(palette_[i]));
    working_.SetWide(pref::CAPath, Utf8ToUtf16(ca_path));
    working_.SetInt(pref::KeepAwake, keep_awake ? 1 : 0);

    working_.Save();
    Preferences& running = Preferences::Instance();
    running.Load();
    running.Apply();
}

ColourComponents ColourComponents::Of(std::uint32_t colour) {
    return {static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
            static_cast<int>((colour >> 16) & 0xFF)};
}

std::uint32_t ColourComponents::Colour() const {
    auto channel = [](int v) { return static_cast<std::uint32_t>(std::clamp(v, 0, 255)); };
    return channel(red) | (channel(green) << 8) | (channel(blue) << 16);
}

}  // namespace tarnwick
