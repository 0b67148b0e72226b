// "Global Preferences" without a toolkit: a working copy of the preferences edited by four pages
// (Terminal, Fonts, Colors, Other) and stored, reloaded and applied to the running program only
// when the sheet is accepted. The face shows the public fields and calls the operations.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/preferences.h"

namespace tarnwick {

class PreferenceSheet {
  public:
    // The name of the built-in fonts in the font list and in the "Font" preference.
    static constexpr const char* kBuiltIn = "<built-in>";

    // Saves the running preferences and loads the working copy from the store. system_fonts are
    // the monospaced families the face offers after "<built-in>" (duplicates are dropped).
    explicit PreferenceSheet(const std::vector<std::string>& system_fonts = {});

    // ---- Terminal ----
    std::string rows, columns, scrollback, text_pacing;
    int cursor_index = 0;  // into CursorNames()
    bool manual_control = false;
    bool soft_control = false;
    static std::vector<std::string> CursorNames();
    // "Soft Control Key" is shown only while "Special Control Key Handling" is on.
    bool SoftControlShown() const { return manual_control; }

    // ---- Fonts ----
    const std::vector<std::string>& FontNames() const { return fonts_; }
    int font_index() const { return font_index_; }
    // A new font: the size list is rebuilt and the previous size kept when it is offered.
    void SelectFont(int index);
    const std::vector<std::string>& SizeNames() const { return sizes_; }
    int size_index = 0;

    // ---- Colors ----
    std::uint32_t Colour(int index) const { return palette_[static_cast<std::size_t>(index)]; }
    // What the colour picker returned for swatch index (0-7).
    void SetColour(int index, std::uint32_t colour);
    // "&Reset colors to defaults".
    void ResetColours();

    // ---- Other ----
    std::string ca_path;
    bool keep_awake = false;

    // OK: every page is read back into the working copy (out-of-range rows and columns and
    // unreadable numbers keep the old values), which is saved, loaded again into the running
    // preferences and applied. Cancel is simply not calling it.
    void Accept();

    const Preferences& working() const { return working_; }

  private:
    void FillSizes(const std::string& keep);

    Preferences working_;
    std::vector<std::string> fonts_;
    int font_index_ = 0;
    std::vector<std::string> sizes_;
    std::array<std::uint32_t, 8> palette_{};
};

// The colour picker's three sliders: red is the low byte, green the middle, blue the high one.
struct ColourComponents {
    int red = 0, green = 0, blue = 0;
    static ColourComponents Of(std::uint32_t colour);
    std::uint32_t Colour() const;
};

}  // namespace tarnwick
