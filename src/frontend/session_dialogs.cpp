#include "frontend/session_dialogs.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "core/preferences.h"
#include "platform/text.h"
#include "platform/user_interface.h"

namespace tarnwick {

namespace {

constexpr Choice kCursorTypes[] = {
    {"Blinking Block", 0},
    {"Solid Block", 1},
    {"Blinking Underscore", 2},
    {"Solid Underscore", 3},
};

// A number as a dialog reads it: blanks, an optional sign, decimal digits; what follows is
// ignored. Nothing when there are no digits.
std::optional<long> ReadNumber(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
        value = std::min(value * 10 + (text[i] - '0'), 1L << 40);
    if (digits == 0) return std::nullopt;
    return negative ? -value : value;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Terminal Parameters

std::span<const Choice> TerminalParametersModel::CursorTypes() {
    return kCursorTypes;
}

TerminalParametersModel::TerminalParametersModel(SessionConfig& config) : config_(config) {
    rows = std::to_string(config.GetInt(setting::rows));
    columns = std::to_string(config.GetInt(setting::columns));
    const char* type = config.GetNarrow(setting::term_type);
    term = type != nullptr ? type : "";
    scrollback = std::to_string(config.GetInt(setting::scrollback));
    linefeed_mode = config.GetInt(setting::linefeed_mode) == 0;
    line_wrap = config.GetInt(setting::wrap_mode) == 1;
    local_echo = config.GetInt(setting::local_echo) == 1;
    visual_bell = config.GetInt(setting::visual_bell) == 1;
    swap_bs_del = config.GetInt(setting::swap_bs_del) == 1;
    keypad_application = config.GetInt(setting::keypad_mode) == 1;
    const int cursor = config.GetInt(setting::cursor_type);
    for (std::size_t i = 0; i < std::size(kCursorTypes); ++i) {
        if (kCursorTypes[i].value == cursor) cursor_index = static_cast<int>(i);
    }
}

bool TerminalParametersModel::CanAccept() const {
    return !TrimBlanks(rows).empty() && !TrimBlanks(columns).empty() && !TrimBlanks(term).empty();
}

bool TerminalParametersModel::Accept() {
    if (!CanAccept()) return false;
    const Preferences& preferences = Preferences::Instance();
    auto in_range = [](std::optional<long> value, int fallback) {
        return value && *value >= 1 && *value <= 1000 ? static_cast<int>(*value) : fallback;
    };
    config_.SetInt(setting::rows, in_range(ReadNumber(rows), preferences.GetInt(pref::Rows)));
    config_.SetInt(setting::columns,
                   in_range(ReadNumber(columns), preferences.GetInt(pref::Columns)));
    config_.SetNarrow(setting::term_type, TrimBlanks(term).c_str());
    const std::optional<long> lines = ReadNumber(scrollback);
    config_.SetInt(setting::scrollback, lines && *lines >= 0 && *lines <= 0x7FFFFFFF
                                            ? static_cast<int>(*lines)
                                            : preferences.GetInt(pref::Scrollback));
    // The box reads "Linefeed mode" but checking it turns the setting off.
    config_.SetInt(setting::linefeed_mode, linefeed_mode ? 0 : 1);
    config_.SetInt(setting::wrap_mode, line_wrap ? 1 : 0);
    config_.SetInt(setting::local_echo, local_echo ? 1 : 0);
    config_.SetInt(setting::visual_bell, visual_bell ? 1 : 0);
    config_.SetInt(setting::swap_bs_del, swap_bs_del ? 1 : 0);
    config_.SetInt(setting::keypad_mode, keypad_application ? 1 : 0);
    if (cursor_index >= 0 && static_cast<std::size_t>(cursor_index) < std::size(kCursorTypes)) {
        config_.SetInt(setting::cursor_type, kCursorTypes[cursor_index].value);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// SSH2 Advanced

Ssh2AdvancedModel::Ssh2AdvancedModel(SessionConfig& config) : config_(config) {
    percentage = std::clamp<int>(config.GetInt(setting::ssh2_random_generator_percentage),
                                 kMinPercentage, kMaxPercentage);
    random_fill = config.GetInt(setting::ssh_streamFill) != 0;
    compress = config.GetInt(setting::ssh_useCompression) != 0;
    interactive = config.GetInt(setting::ssh2_want_interactive) != 0;
}

void Ssh2AdvancedModel::Accept() {
    config_.SetInt(setting::ssh2_random_generator_percentage,
                   std::clamp(percentage, kMinPercentage, kMaxPercentage));
    config_.SetInt(setting::ssh_streamFill, random_fill ? 1 : 0);
    config_.SetInt(setting::ssh_useCompression, compress ? 1 : 0);
    config_.SetInt(setting::ssh2_want_interactive, interactive ? 1 : 0);
}

// ---------------------------------------------------------------------------------------------
// Select Algorithm

std::string SelectAlgorithmText(const AlgorithmLists& lists) {
    switch (lists.choices) {
        case Choices::kSsh2Cipher:
            return "Select Ciphe&r...";
        case Choices::kSsh2Mac:
            return "Select &MAC...";
        case Choices::kSsh2HostKey:
            return "Select &Host Key...";
        default:
            // A list without a caption of its own still gets a button.
            return "Select Algorithms...";
    }
}

AlgorithmSelectionModel::AlgorithmSelectionModel(SessionConfig& config, const AlgorithmLists& lists)
    : config_(config), lists_(lists) {
    enabled_ = config.GetList(lists.enabled);
    // The disabled list shows every other choice, whatever the record held.
    for (const Choice& choice : SessionConfig::ChoiceList(lists.choices)) {
        if (std::find(enabled_.begin(), enabled_.end(), choice.value) == enabled_.end()) {
            disabled_.push_back(choice.value);
        }
    }
    // Values no choice names (from a damaged file) are not offered.
    std::erase_if(enabled_, [this](std::int32_t v) { return NameOf(v).empty(); });
}

std::string AlgorithmSelectionModel::NameOf(int value) const {
    for (const Choice& choice : SessionConfig::ChoiceList(lists_.choices)) {
        if (choice.value == value) return choice.name;
    }
    return {};
}

std::vector<std::string> AlgorithmSelectionModel::EnabledNames() const {
    std::vector<std::string> names;
    for (std::int32_t value : enabled_)
        names.push_back(NameOf(value));
    return names;
}

std::vector<std::string> AlgorithmSelectionModel::DisabledNames() const {
    std::vector<std::string> names;
    for (std::int32_t value : disabled_)
        names.push_back(NameOf(value));
    return names;
}

namespace {

bool MoveAcross(std::vector<std::int32_t>& from, std::vector<std::int32_t>& to, int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= from.size()) return false;
    to.push_back(from[static_cast<std::size_t>(index)]);
    from.erase(from.begin() + index);
    return true;
}

}  // namespace

bool AlgorithmSelectionModel::Disable(int enabled_index) {
    return MoveAcross(enabled_, disabled_, enabled_index);
}

bool AlgorithmSelectionModel::Enable(int disabled_index) {
    return MoveAcross(disabled_, enabled_, disabled_index);
}

bool AlgorithmSelectionModel::MoveUp(int enabled_index) {
    if (enabled_index < 1 || static_cast<std::size_t>(enabled_index) >= enabled_.size()) {
        return false;
    }
    std::swap(enabled_[enabled_index], enabled_[enabled_index - 1]);
    return true;
}

bool AlgorithmSelectionModel::MoveDown(int enabled_index) {
    return MoveUp(enabled_index + 1);
}

bool AlgorithmSelectionModel::Accept() {
    if (enabled_.empty()) {
        Ui().ShowMessage("Notice", "You can't disable everything!");
        return false;
    }
    config_.SetList(lists_.enabled, enabled_.data(), static_cast<int>(enabled_.size()));
    config_.SetList(lists_.disabled, disabled_.data(), static_cast<int>(disabled_.size()));
    return true;
}

}  // namespace tarnwick
