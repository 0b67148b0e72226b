// The dialogs a connection form opens, without a toolkit: "Terminal Parameters" (per session),
// "SSH2 Advanced" and "Select Algorithm". Each loads its values from the settings record when it
// is made, lets the face edit them, and stores them only on OK.
#pragma once

#include <array>
#include <span>
#include <string>
#include <vector>

#include "core/session_config.h"

namespace tarnwick {

class TerminalParametersModel {
  public:
    // The cursor types in the order the list shows them, with their setting values.
    static std::span<const Choice> CursorTypes();

    explicit TerminalParametersModel(SessionConfig& config);

    // Text fields; what the dialog shows when it opens.
    std::string rows, columns, term, scrollback;
    bool linefeed_mode = false;  // checked while the setting is 0
    bool line_wrap = false;
    bool local_echo = false;
    bool visual_bell = false;
    bool swap_bs_del = false;
    bool keypad_application = false;
    int cursor_index = 0;  // into CursorTypes()

    // Rows, Columns and TERM are filled.
    bool CanAccept() const;
    // OK: nothing (false) unless CanAccept; otherwise every control is stored, rows and columns
    // outside 1-1000 and an unreadable or negative scrollback taking the preference instead.
    bool Accept();

  private:
    SessionConfig& config_;
};

class Ssh2AdvancedModel {
  public:
    static constexpr int kMinPercentage = 25;   // "Faster connection"
    static constexpr int kMaxPercentage = 100;  // "Better security"

    explicit Ssh2AdvancedModel(SessionConfig& config);

    int percentage = kMaxPercentage;
    bool random_fill = false;
    bool compress = false;
    bool interactive = true;

    // OK stores the slider and the three boxes (Cancel stores nothing).
    void Accept();

  private:
    SessionConfig& config_;
};

// The "SSH2 Advanced" button that opens "Select Algorithm" for a list, with its mnemonic
// ("Select Ciphe&r..."). Lists are shown in the order SessionConfig::Ssh2AlgorithmLists() gives.
std::string SelectAlgorithmText(const AlgorithmLists& lists);

// "Select Algorithm" for one of the SSH2 preference lists.
class AlgorithmSelectionModel {
  public:
    AlgorithmSelectionModel(SessionConfig& config, const AlgorithmLists& lists);

    // The names shown, in order.
    std::vector<std::string> EnabledNames() const;
    std::vector<std::string> DisabledNames() const;

    // The arrow buttons: move an entry to the end of the other list, or one place up or down in
    // the enabled list. False when the index names no entry (or the move is impossible).
    bool Disable(int enabled_index);
    bool Enable(int disabled_index);
    bool MoveUp(int enabled_index);
    bool MoveDown(int enabled_index);

    // OK: refused with "You can't disable everything!" (a "Notice" box) while nothing is enabled;
    // otherwise both lists are stored in their order.
    bool Accept();

  private:
    std::string NameOf(int value) const;

    SessionConfig& config_;
    AlgorithmLists lists_;
    std::vector<std::int32_t> enabled_;
    std::vector<std::int32_t> disabled_;
};

}  // namespace tarnwick
