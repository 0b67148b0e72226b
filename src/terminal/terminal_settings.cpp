#include "terminal/terminal_settings.h"

#include <algorithm>

#include "core/session_config.h"

namespace tarnwick {

TerminalSettings TerminalSettings::From(const SessionConfig* config) {
    TerminalSettings s;
    if (config != nullptr) {
        s.rows = config->GetInt(setting::rows);
        s.columns = config->GetInt(setting::columns);
        s.scrollback = config->GetInt(setting::scrollback);
        s.cursor_type = config->GetInt(setting::cursor_type);
        s.visual_bell = config->GetInt(setting::visual_bell) != 0;
        s.swap_bs_del = config->GetInt(setting::swap_bs_del) != 0;
        s.linefeed_mode = config->GetInt(setting::linefeed_mode) != 0;
        s.keypad_mode = config->GetInt(setting::keypad_mode) != 0;
        s.vt_aux_mode = config->GetInt(setting::vt_aux_mode) != 0;
        s.wrap_mode = config->GetInt(setting::wrap_mode) != 0;
        s.local_echo = config->GetInt(setting::local_echo) == 1;
        s.debug = config->GetInt(setting::debug) != 0;
        const char* type = config->GetNarrow(setting::term_type);
        s.term_type = type != nullptr ? type : "vt100";
    }
    s.Clamp();
    return s;
}

void TerminalSettings::Clamp() {
    rows = std::clamp(rows, 1, kMaxRows);
    columns = std::clamp(columns, 1, kMaxColumns);
    scrollback = std::clamp(scrollback, 0, kMaxScrollback);
    const long long per_row = columns;
    const long long max_total = kMaxCells / per_row;
    if (rows + static_cast<long long>(scrollback) > max_total) {
        scrollback = static_cast<int>(std::max(0LL, max_total - rows));
    }
    if (cursor_type < 0 || cursor_type > 3) cursor_type = 0;
}

}  // namespace tarnwick
