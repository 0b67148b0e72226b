// The session settings a terminal reads, taken out of a SessionConfig once (grid size, initial
// modes) or again when the terminal is opened (the live ones). Sizes are clamped to what the grid
// can hold, because session files are read without the dialogs' range checks.
#pragma once

#include <string>

namespace tarnwick {

class SessionConfig;

struct TerminalSettings {
    static constexpr int kMaxRows = 1000;
    static constexpr int kMaxColumns = 1000;
    // Enough history for any user; beyond it a damaged session file would ask for gigabytes.
    static constexpr int kMaxScrollback = 100000;
    // The grid (scroll-back included) never holds more cells than this.
    static constexpr long long kMaxCells = 16LL * 1024 * 1024;

    int rows = 24;
    int columns = 80;
    int scrollback = 24;
    int cursor_type = 0;
    bool visual_bell = true;
    bool swap_bs_del = false;
    bool linefeed_mode = false;
    bool keypad_mode = false;
    bool vt_aux_mode = false;
    bool wrap_mode = true;
    bool local_echo = false;
    bool debug = false;
    std::string term_type = "vt100";

    // The settings of config, or the defaults above without one. Always clamped.
    static TerminalSettings From(const SessionConfig* config);
    // Forces rows, columns and scroll-back into their ranges.
    void Clamp();
};

}  // namespace tarnwick
