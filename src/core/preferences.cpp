#include "core/preferences.h"

#include <mutex>

#include "platform/registry.h"

namespace tarnwick {

namespace {

// Value name, kind, number, wide default, narrow default, integer default.
constexpr PreferenceRow kTable[] = {
    {"Font", PreferenceKind::kWide, pref::Font, u"<built-in>", nullptr, 0},
    {"CAPath", PreferenceKind::kWide, pref::CAPath, u"/etc/ssl/certs", nullptr, 0},
    {"TextPacing", PreferenceKind::kInteger, pref::TextPacing, nullptr, nullptr, 10},
    {"FontSize", PreferenceKind::kInteger, pref::FontSize, nullptr, nullptr, 9},
    {"CursorOnScreen", PreferenceKind::kInteger, pref::CursorOnScreen, nullptr, nullptr, 0},
    {"Rows", PreferenceKind::kInteger, pref::Rows, nullptr, nullptr, 24},
    {"Columns", PreferenceKind::kInteger, pref::Columns, nullptr, nullptr, 80},
    {"Scrollback", PreferenceKind::kInteger, pref::Scrollback, nullptr, nullptr, 24},
    {"CursorType", PreferenceKind::kInteger, pref::CursorType, nullptr, nullptr, 0},
    {"ManualControl", PreferenceKind::kInteger, pref::ManualControl, nullptr, nullptr, 0},
    {"BLACK", PreferenceKind::kInteger, pref::BLACK, nullptr, nullptr, 0x000000},
    {"RED", PreferenceKind::kInteger, pref::RED, nullptr, nullptr, 0x0000FF},
    {"GREEN", PreferenceKind::kInteger, pref::GREEN, nullptr, nullptr, 0x00FF00},
    {"YELLOW", PreferenceKind::kInteger, pref::YELLOW, nullptr, nullptr, 0x00FFFF},
    {"BLUE", PreferenceKind::kInteger, pref::BLUE, nullptr, nullptr, 0xFF0000},
    {"MAGENTA", PreferenceKind::kInteger, pref::MAGENTA, nullptr, nullptr, 0xFF00FF},
    {"CYAN", PreferenceKind::kInteger, pref::CYAN, nullptr, nullptr, 0xFFFF00},
    {"WHITE", PreferenceKind::kInteger, pref::WHITE, nullptr, nullptr, 0xFFFFFF},
    {"KeepAwake", PreferenceKind::kInteger, pref::KeepAwake, nullptr, nullptr, 0},
    {"SoftControl", PreferenceKind::kInteger, pref::SoftControl, nullptr, nullptr, 0},
    {"SoftControlChar", PreferenceKind::kInteger, pref::SoftControlChar, nullptr, nullptr, 126},
    {"EnableICM", PreferenceKind::kInteger, pref::EnableICM, nullptr, nullptr, 1},
    {"UseICMProxy", PreferenceKind::kInteger, pref::UseICMProxy, nullptr, nullptr, 0},
};

// A stored string is read into a buffer of 2048 bytes with its terminator; a longer one is taken
// as unreadable and the default stands.
constexpr std::size_t kReadBufferBytes = 2048;

std::mutex g_hooks_mutex;
Preferences::ApplyHooks g_hooks;

}  // namespace

Preferences::Preferences() = default;

Preferences& Preferences::Instance() {
    static Preferences* instance = [] {
        auto* p = new Preferences();
        p->ResetToDefaults();
        return p;
    }();
    return *instance;
}

std::span<const PreferenceRow> Preferences::Table() {
    return kTable;
}

std::int32_t Preferences::GetInt(int number) const {
    return number >= 0 && number < pref::kIntCount ? ints_[static_cast<std::size_t>(number)] : 0;
}

void Preferences::SetInt(int number, std::int32_t value) {
    if (number >= 0 && number < pref::kIntCount) ints_[static_cast<std::size_t>(number)] = value;
}

const std::u16string& Preferences::GetWide(int number) const {
    static const std::u16string kEmpty;
    return number >= 0 && number < pref::kWideCount ? wides_[static_cast<std::size_t>(number)]
                                                    : kEmpty;
}

void Preferences::SetWide(int number, std::u16string text) {
    if (number >= 0 && number < pref::kWideCount) {
        wides_[static_cast<std::size_t>(number)] = std::move(text);
    }
}

void Preferences::ResetToDefaults() {
    for (const PreferenceRow& row : kTable) {
        switch (row.kind) {
            case PreferenceKind::kInteger:
                SetInt(row.number, row.int_default);
                break;
            case PreferenceKind::kWide:
                SetWide(row.number, row.wide_default ? row.wide_default : u"");
                break;
            case PreferenceKind::kNarrow:
                narrow_ = row.narrow_default ? row.narrow_default : "";
                break;
        }
    }
}

void Preferences::Load(RegistryStore& store) {
    for (const PreferenceRow& row : kTable) {
        switch (row.kind) {
            case PreferenceKind::kInteger: {
                auto value = store.GetDword(kRegistryKey, row.value_name);
                SetInt(row.number, value ? static_cast<std::int32_t>(*value) : row.int_default);
                break;
            }
            case PreferenceKind::kWide: {
                auto value = store.GetString(kRegistryKey, row.value_name);
                bool fits = value && (value->size() + 1) * sizeof(char16_t) <= kReadBufferBytes;
                SetWide(row.number, fits ? *value : std::u16string(row.wide_default));
                break;
            }
            case PreferenceKind::kNarrow: {
                auto value = store.GetBinary(kRegistryKey, row.value_name);
                if (value && !value->empty() && value->size() <= kReadBufferBytes) {
                    // Stored with its terminating zero.
                    std::string text(value->begin(), value->end());
                    narrow_ = text.substr(0, text.find('\0'));
                } else {
                    narrow_ = row.narrow_default ? row.narrow_default : "";
                }
                break;
            }
        }
    }
}

void Preferences::Load() {
    Load(RegistryStore::Instance());
}

void Preferences::Save(RegistryStore& store) const {
    RegistryStore::Batch batch(store);
    for (const PreferenceRow& row : kTable) {
        switch (row.kind) {
            case PreferenceKind::kInteger:
                store.SetDword(kRegistryKey, row.value_name,
                               static_cast<std::uint32_t>(GetInt(row.number)));
                break;
            case PreferenceKind::kWide:
                store.SetString(kRegistryKey, row.value_name, GetWide(row.number));
                break;
            case PreferenceKind::kNarrow: {
                std::vector<std::uint8_t> bytes(narrow_.begin(), narrow_.end());
                bytes.push_back(0);
                store.SetBinary(kRegistryKey, row.value_name, bytes);
                break;
            }
        }
    }
    batch.Commit();
}

void Preferences::Save() const {
    Save(RegistryStore::Instance());
}

void Preferences::SetApplyHooks(ApplyHooks hooks) {
    std::lock_guard<std::mutex> guard(g_hooks_mutex);
    g_hooks = std::move(hooks);
}

void Preferences::Apply() const {
    Palette& palette = SharedPalette();
    for (int i = 0; i < 8; ++i) {
        palette[static_cast<std::size_t>(i)] =
            static_cast<std::uint32_t>(GetInt(pref::BLACK + i)) & 0xFFFFFFu;
    }
    ApplyHooks hooks;
    {
        std::lock_guard<std::mutex> guard(g_hooks_mutex);
        hooks = g_hooks;
    }
    if (hooks.wait_window) hooks.wait_window(true);
    if (hooks.rebuild_font) hooks.rebuild_font();
    if (hooks.cursor_onscreen_check) hooks.cursor_onscreen_check(GetInt(pref::CursorOnScreen) != 0);
    if (hooks.wait_window) hooks.wait_window(false);
}

Palette& SharedPalette() {
    static Palette palette = {0x000000, 0x0000FF, 0x00FF00, 0x00FFFF, 0xFF0000, 0xFF00FF,
                              0xFFFF00, 0xFFFFFF, 0,        0,        0,        0,
                              0,        0,        0,        0};
    return palette;
}

}  // namespace tarnwick
