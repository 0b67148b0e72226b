// The one process-wide record of the user's global preferences, kept in the registry store under
// "Software\Halvek\Tarnwick": terminal size and cursor defaults for new sessions, font, colours,
// keyboard handling, pacing of text sends, power and network options and the certificate folder.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace tarnwick {

class RegistryStore;

namespace pref {
// Integer preferences by number.
enum Int : int {
    TextPacing = 1,
    CursorOnScreen = 2,
    FontSize = 3,
    Rows = 4,
    Columns = 5,
    Scrollback = 6,
    CursorType = 7,
    ManualControl = 8,
    BLACK = 9,
    RED = 10,
    GREEN = 11,
    YELLOW = 12,
    BLUE = 13,
    MAGENTA = 14,
    CYAN = 15,
    WHITE = 16,
    KeepAwake = 17,
    SoftControl = 18,
    SoftControlChar = 19,
    EnableICM = 20,
    UseICMProxy = 21,
};
// Wide-string preferences by number.
enum Wide : int {
    Font = 2,
    CAPath = 3,
};
inline constexpr int kIntCount = 22;  // numbers 1 to 21 are used
inline constexpr int kWideCount = 4;  // numbers 2 and 3 are used
}  // namespace pref

// Kinds of registry value a preference is stored as.
enum class PreferenceKind { kInteger = 0, kWide = 1, kNarrow = 2 };

struct PreferenceRow {
    const char* value_name;
    PreferenceKind kind;
    int number;
    const char16_t* wide_default;
    const char* narrow_default;
    std::int32_t int_default;
};

// Colours are 0x00BBGGRR. Entry 0 is the default background, entry 7 the default foreground.
using Palette = std::array<std::uint32_t, 16>;

class Preferences {
  public:
    Preferences();  // every slot empty or 0; call ResetToDefaults or Load

    static Preferences& Instance();
    // The 23 rows in table order.
    static std::span<const PreferenceRow> Table();
    static constexpr const char* kRegistryKey = "Software\\Halvek\\Tarnwick";

    std::int32_t GetInt(int number) const;
    void SetInt(int number, std::int32_t value);
    const std::u16string& GetWide(int number) const;
    void SetWide(int number, std::u16string text);
    const std::string& GetNarrow() const { return narrow_; }
    void SetNarrow(std::string text) { narrow_ = std::move(text); }

    void ResetToDefaults();
    // Reads every row from the store; a missing or unreadable value takes its default.
    void Load(RegistryStore& store);
    void Load();  // from the process-wide store
    // Writes every row (integers as DWORDs, wide strings as strings, narrow ones as binary with
    // their terminating zero). Write failures are ignored.
    void Save(RegistryStore& store) const;
    void Save() const;

    // Applies the preferences to the running program: the colours go into the shared palette, the
    // font and the "Keep Cursor Onscreen" check mark through hooks that the front end fills.
    struct ApplyHooks {
        std::function<void(bool)> wait_window;            // show (true) or close the wait window
        std::function<void()> rebuild_font;               // drop cached glyphs, choose the font
        std::function<void(bool)> cursor_onscreen_check;  // the menu item's check mark
    };
    static void SetApplyHooks(ApplyHooks hooks);
    void Apply() const;

  private:
    std::array<std::int32_t, pref::kIntCount> ints_{};
    std::array<std::u16string, pref::kWideCount> wides_{};
    std::string narrow_;
};

// The shared terminal palette the terminal view draws with. Entries 0 to 7 come from the colour
// preferences; 8 to 15 start at 0.
Palette& SharedPalette();

}  // namespace tarnwick
