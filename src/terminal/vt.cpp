#include "terminal/vt.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "core/session_config.h"
#include "platform/user_interface.h"

namespace tarnwick {

namespace {

// Stands in when a terminal has no display: everything is drawn into nothing.
class NullDisplay final : public TerminalDisplay {
  public:
    void SetupImage(int, int, int) override {}
    void ClearCells(int, int, int, int, int) override {}
    void ClearAll(int) override {}
    void MoveRows(int, int, int, int, int, int, int) override {}
    void DrawCell(std::uint32_t, int, int) override {}
    void DrawChar(int, int, int, int, int, int, int, bool) override {}
    void DrawCells(const std::uint32_t*, int, int, int, bool) override {}
    void HideCursor() override {}
    void PlaceCursor(int, int) override {}
    void SetCursorType(int) override {}
    void Flash() override {}
    void Refresh() override {}
};

TerminalDisplay* NoDisplay() {
    static NullDisplay display;
    return &display;
}

}  // namespace

VT::VT(TerminalDisplay* display, const TerminalSettings& settings, SessionConfig* config)
    : IO(kLayerVT, "VT"),
      display_(display != nullptr ? display : NoDisplay()),
      settings_(settings) {
    settings_.Clamp();
    rows_ = settings_.rows;
    columns_ = settings_.columns;
    scrollback_ = settings_.scrollback;
    total_rows_ = rows_ + scrollback_;
    grid_.Allocate(columns_, total_rows_, cell::Blank(kBlack));
    tab_stops_.assign(static_cast<std::size_t>(columns_), 0);
    right_margin_ = columns_ - 1;
    bottom_margin_ = rows_ - 1;
    AttachConfig(config);
    display_->SetupImage(columns_, rows_, scrollback_);
    display_->SetCursorType(settings_.cursor_type);
}

VT::~VT() = default;

void VT::DetachDisplay() {
    LockHolder hold(interpreter_lock_);
    display_ = NoDisplay();
}

// ---------------------------------------------------------------------------------------------
// The layer

int VT::Open(SessionConfig* config) {
    if (config != nullptr) {
        // The grid keeps its size; every other setting is taken afresh.
        TerminalSettings fresh = TerminalSettings::From(config);
        LockHolder hold(interpreter_lock_);
        fresh.rows = rows_;
        fresh.columns = columns_;
        fresh.scrollback = scrollback_;
        settings_ = fresh;
        display_->SetCursorType(settings_.cursor_type);
    }
    Reset(1);
    AttachConfig(config);
    ReceiveByte(13);
    return lower_ != nullptr ? lower_->Open(config) : status::kOk;
}

void VT::Close() {
    if (config_ != nullptr && config_->GetInt(setting::debug) != 0) {
        DisplayString("Disconnecting\r\n");
    }
    if (lower_ != nullptr) lower_->Close();
    DisplayString("Disconnected\r\n");
}

int VT::Receive(const std::uint8_t* data, int length) {
    Feed(data, length);
    return status::kOk;
}

int VT::ProcessChar(int byte) {
    const std::uint8_t b = static_cast<std::uint8_t>(byte);
    Feed(&b, 1);
    return status::kOk;
}

void VT::Feed(const std::uint8_t* data, int length) {
    if (data == nullptr || length <= 0) return;
    std::string replies;
    {
        LockHolder hold(interpreter_lock_);
        if (paused_.load()) {
            LockHolder held(held_lock_);
            held_.insert(held_.end(), data, data + length);
            return;
        }
        BeginChange();
        Interpret(data, length);
        EndChange();
        replies.swap(replies_);
    }
    SendReplies(replies);
}

void VT::SendReplies(std::string& replies) {
    if (replies.empty() || lower_ == nullptr) return;
    // Replies go out after the lock is released: a layer below that answers synchronously (a
    // loop-back peer) may then feed the terminal again without deadlocking.
    (void)lower_->Send(reinterpret_cast<const std::uint8_t*>(replies.data()),
                       static_cast<int>(replies.size()));
}

void VT::BeginChange() {
    display_->HideCursor();
}

void VT::EndChange() {
    display_->PlaceCursor(EffectiveColumn(), scrollback_ + cursor_row_);
}

int VT::Pause() {
    LockHolder hold(interpreter_lock_);
    if (paused_.load()) return status::kAlreadyPaused;
    paused_ = true;
    return status::kOk;
}

int VT::Resume() {
    std::string replies;
    {
        LockHolder hold(interpreter_lock_);
        if (!paused_.load()) return status::kNotPaused;
        paused_ = false;
        std::vector<std::uint8_t> bytes;
        {
            LockHolder held(held_lock_);
            bytes.swap(held_);
        }
        // No byte pauses the terminal again, so the held bytes are replayed in one go.
        if (!bytes.empty()) {
            BeginChange();
            Interpret(bytes.data(), static_cast<int>(bytes.size()));
            EndChange();
        }
        display_->Refresh();
        replies.swap(replies_);
    }
    SendReplies(replies);
    return status::kOk;
}

void VT::DropHeldBytes() {
    LockHolder held(held_lock_);
    held_.clear();
    held_.shrink_to_fit();
}

int VT::FileTransfer(int command, const char* path) {
    return lower_ != nullptr ? lower_->FileTransfer(command, path) : 0;
}

int VT::ReservedRequest() {
    return lower_ != nullptr ? lower_->ReservedRequest() : 0;
}

bool VT::QueryTerminal(TerminalFacts* facts) {
    facts->type = settings_.term_type;
    facts->columns = columns_;
    facts->rows = rows_;
    return true;
}

void VT::Reset(int clear_scrollback) {
    {
        LockHolder hold(interpreter_lock_);
        BeginChange();
        ResetState(clear_scrollback);
        paused_ = false;
        EndChange();
    }
    // Bytes held from before the reset belong to a screen that no longer exists.
    DropHeldBytes();
}

void VT::ResetCommon(bool clear_scrollback) {
    ResetMargins();
    cursor_column_ = 0;
    cursor_row_ = 0;
    ResetTabStops();
    ClearParameters();
    paused_ = false;
    default_fg_ = fg_ = cell::kDefaultForeground;
    default_bg_ = bg_ = cell::kDefaultBackground;
    for (int& g : g_)
        g = kSetASCII;
    active_set_ = 0;
    attributes_ = 0;
    RebuildBlank();
    newline_mode_ = settings_.linefeed_mode;
    keypad_application_ = settings_.keypad_mode;
    auto_wrap_ = settings_.wrap_mode;
    vt52_mode_ = false;
    cursor_keys_normal_ = true;
    origin_mode_ = false;
    column_mode_ = false;
    smooth_scroll_ = false;
    reverse_screen_ = false;
    auto_repeat_ = false;
    unsupported_sequence_ = false;
    saved_ = SavedCursor{};
    ClearScreen(clear_scrollback);
}

void VT::Redraw() {
    LockHolder hold(interpreter_lock_);
    for (int r = 0; r < total_rows_; ++r)
        display_->DrawCells(grid_.Row(r), columns_, 0, r, false);
    display_->Refresh();
}

std::uint32_t VT::GetCell(int column, int row) const {
    if (column < 0 || column >= columns_ || row < 0 || row >= total_rows_) return 0;
    return grid_.Row(row)[column];
}

std::string VT::ScreenLine(int r) const {
    std::string text;
    if (r < 0 || r >= rows_) return text;
    const std::uint32_t* cells = grid_.Row(scrollback_ + r);
    for (int c = 0; c < columns_; ++c)
        text.push_back(static_cast<char>(cell::Character(cells[c])));
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// ---------------------------------------------------------------------------------------------
// Keys

bool VT::KeySequence(int code, std::string& out) const {
    switch (code) {
        case kKeyBackspace:
            out += settings_.swap_bs_del ? '\x7f' : '\x08';
            return true;
        case kKeyDelete:
            out += settings_.swap_bs_del ? '\x08' : '\x7f';
            return true;
        default:
            break;
    }
    if (code >= kKeyLeft && code <= kKeyDown) {
        out += kEsc;
        if (!vt52_mode_) out += cursor_keys_normal_ ? '[' : 'O';
        out += "DCAB"[code - kKeyLeft];
        return true;
    }
    if (code >= kKeyKeypad0 && code <= kKeyKeypadComma) {
        const int index = code - kKeyKeypad0;
        if (keypad_application_) {
            out += kEsc;
            out += vt52_mode_ ? '?' : 'O';
            out += "pqrstuvwxynml"[index];
        } else {
            out += "0123456789.-,"[index];
        }
        return true;
    }
    if (code >= kKeyPF1 && code <= kKeyLastVT100) {
        out += kEsc;
        if (!vt52_mode_) out += 'O';
        out += "PQRS"[code - kKeyPF1];
        return true;
    }
    return false;
}

int VT::KeyInput(int key) {
    const std::int16_t code = static_cast<std::int16_t>(key);
    bool newline_mode;
    {
        LockHolder hold(interpreter_lock_);
        newline_mode = newline_mode_;
        if (code <= 255) {
            LockHolder keys(key_lock_);
            key_queue_.push_back(static_cast<std::uint8_t>(code));
        } else {
            std::string bytes;
            if (KeySequence(code, bytes)) {
                LockHolder keys(key_lock_);
                key_queue_.insert(key_queue_.end(), bytes.begin(), bytes.end());
            }
        }
    }
    return DrainKeys(newline_mode);
}

int VT::Send(const std::uint8_t* data, int length) {
    if (data == nullptr || length <= 0) return status::kOk;
    bool newline_mode;
    {
        LockHolder hold(interpreter_lock_);
        newline_mode = newline_mode_;
        LockHolder keys(key_lock_);
        key_queue_.insert(key_queue_.end(), data, data + length);
    }
    // One drain for the whole write, so pasted text leaves in batches rather than byte by byte.
    return DrainKeys(newline_mode);
}

bool VT::LocalEcho() const {
    if (config_ != nullptr) return config_->GetInt(setting::local_echo) == 1;
    return settings_.local_echo;
}

int VT::DrainKeys(bool newline_mode) {
    int result = status::kOk;
    bool failed = false;
    std::uint8_t batch[kKeyBatch + 1];
    for (;;) {
        int n = 0;
        {
            LockHolder keys(key_lock_);
            while (n < kKeyBatch && !key_queue_.empty()) {
                const std::uint8_t b = key_queue_.front();
                // A carriage return and the line feed it gains stay in one batch.
                if (b == 13 && newline_mode && n + 2 > kKeyBatch) break;
                key_queue_.pop_front();
                batch[n++] = b;
                if (b == 13 && newline_mode) batch[n++] = 10;
            }
        }
        if (n == 0) break;
        if (failed) continue;  // after a failed send the bytes taken are dropped
        if (lower_ != nullptr) {
            result = lower_->Send(batch, n);
            if (result != status::kOk) failed = true;
        }
        if (LocalEcho()) Feed(batch, n);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Grid operations

void VT::CursorRight(int n) {
    cursor_column_ = std::min(cursor_column_ + n, right_margin_);
}

void VT::CursorLeft(int n) {
    // With a wrap pending the cursor is shown in the last column, and moving left starts there:
    // a backspace after the last column lands on the one before it, as hosts expect.
    cursor_column_ = std::max(EffectiveColumn() - n, left_margin_);
}

void VT::CursorUp(int n) {
    cursor_row_ = std::max(cursor_row_ - n, top_margin_);
}

void VT::CursorDown(int n) {
    cursor_row_ = std::min(cursor_row_ + n, bottom_margin_);
}

void VT::MoveCursor(int row, int column) {
    cursor_row_ = std::clamp(row, 0, rows_ - 1);
    cursor_column_ = std::clamp(column, 0, columns_ - 1);
}

void VT::DrawScreenCells(int row, int first, int last) {
    display_->DrawCells(ScreenRow(row) + first, last - first + 1, first, scrollback_ + row, true);
}

void VT::PutRun(const std::uint8_t* characters, int count, std::uint32_t cell_base) {
    while (count > 0) {
        if (cursor_column_ >= columns_) {
            if (auto_wrap_) {
                Index();
                cursor_column_ = left_margin_;
            } else {
                cursor_column_ = columns_ - 1;
            }
        }
        std::uint32_t* row = ScreenRow(cursor_row_);
        const int column = cursor_column_;
        const int take = std::min(count, columns_ - column);
        const int absolute = scrollback_ + cursor_row_;
        // Only changed cells are drawn, in runs.
        int changed_from = -1;
        for (int i = 0; i < take; ++i) {
            const std::uint32_t value = cell_base | characters[i];
            std::uint32_t& slot = row[column + i];
            if (slot != value) {
                slot = value;
                if (changed_from < 0) changed_from = i;
            } else if (changed_from >= 0) {
                display_->DrawCells(row + column + changed_from, i - changed_from,
                                    column + changed_from, absolute, true);
                changed_from = -1;
            }
        }
        if (changed_from >= 0) {
            display_->DrawCells(row + column + changed_from, take - changed_from,
                                column + changed_from, absolute, true);
        }
        cursor_column_ = column + take;
        characters += take;
        count -= take;
        if (count > 0 && !auto_wrap_) {
            // Without auto-wrap every further character lands on the last column, so only the
            // run's last one stays there.
            characters += count - 1;
            count = 1;
        }
    }
}

void VT::Index() {
    if (cursor_row_ > bottom_margin_) {
        // Below the scrolling region a line feed only moves down; it never scrolls the region.
        if (cursor_row_ < rows_ - 1) ++cursor_row_;
        return;
    }
    if (cursor_row_ < bottom_margin_) {
        ++cursor_row_;
        return;
    }
    ScrollUp(1);
}

void VT::ReverseIndex() {
    if (cursor_row_ < top_margin_) {
        // Above the scrolling region a reverse line feed only moves up.
        if (cursor_row_ > 0) --cursor_row_;
        return;
    }
    if (cursor_row_ > top_margin_) {
        --cursor_row_;
        return;
    }
    ScrollDown(1);
}

void VT::ScrollUp(int n) {
    const int colour = cell::Background(blank_);
    if (top_margin_ == 0 && bottom_margin_ == rows_ - 1) {
        // The whole screen scrolls: the top line goes into the scroll-back, the oldest line is
        // lost. The ring turns instead of copying rows.
        const int last = total_rows_ - 1;
        if (n > last) {
            grid_.FillRows(0, last, blank_);
            display_->ClearAll(colour);
            return;
        }
        grid_.Rotate(n);
        grid_.FillRows(total_rows_ - n, last, blank_);
        display_->MoveRows(0, n, columns_ - 1, last, 0, 0, colour);
        return;
    }
    const int a0 = scrollback_ + top_margin_;
    const int a1 = scrollback_ + bottom_margin_;
    if (n >= a1 - a0 + 1) {
        grid_.FillRows(a0, a1, blank_);
        display_->ClearCells(0, a0, columns_ - 1, a1, colour);
        return;
    }
    grid_.RotateBlock(a0, a1, n);
    grid_.FillRows(a1 - n + 1, a1, blank_);
    display_->MoveRows(0, a0 + n, columns_ - 1, a1, 0, a0, colour);
}

void VT::ScrollDown(int n) {
    const int colour = cell::Background(blank_);
    const int a0 = scrollback_ + top_margin_;
    const int a1 = scrollback_ + bottom_margin_;
    if (n >= a1 - a0 + 1) {
        grid_.FillRows(a0, a1, blank_);
        display_->ClearCells(0, a0, columns_ - 1, a1, colour);
        return;
    }
    grid_.RotateBlock(a0, a1, -n);
    grid_.FillRows(a0, a0 + n - 1, blank_);
    display_->MoveRows(0, a0, columns_ - 1, a1 - n, 0, a0 + n, colour);
}

void VT::BlankCells(int row, int first, int last) {
    if (first > last) return;
    const int absolute = scrollback_ + row;
    grid_.FillRow(absolute, first, last, blank_);
    display_->ClearCells(first, absolute, last, absolute, cell::Background(blank_));
}

void VT::BlankRows(int first, int last) {
    if (first > last) return;
    grid_.FillRows(scrollback_ + first, scrollback_ + last, blank_);
    display_->ClearCells(0, scrollback_ + first, columns_ - 1, scrollback_ + last,
                         cell::Background(blank_));
}

void VT::EraseInLine(int mode) {
    const int c = EffectiveColumn();
    switch (mode) {
        case 0:
            BlankCells(cursor_row_, c, columns_ - 1);
            break;
        case 1:
            BlankCells(cursor_row_, 0, c);
            break;
        case 2:
            BlankCells(cursor_row_, 0, columns_ - 1);
            break;
        default:
            break;
    }
}

void VT::EraseInDisplay(int mode) {
    switch (mode) {
        case 0:
            EraseInLine(0);
            BlankRows(cursor_row_ + 1, rows_ - 1);
            break;
        case 1:
            BlankRows(0, cursor_row_ - 1);
            EraseInLine(1);
            break;
        case 2:
            BlankRows(0, rows_ - 1);
            cursor_row_ = top_margin_;
            cursor_column_ = left_margin_;
            break;
        default:
            break;
    }
}

void VT::ClearScreen(bool clear_scrollback) {
    if (clear_scrollback) {
        grid_.FillRows(0, total_rows_ - 1, blank_);
        display_->ClearCells(0, 0, columns_ - 1, total_rows_ - 1, cell::Background(blank_));
    } else {
        BlankRows(0, rows_ - 1);
    }
    cursor_row_ = top_margin_;
    cursor_column_ = left_margin_;
}

int VT::NextTabStop() const {
    for (int c = cursor_column_ + 1; c < columns_; ++c) {
        if (tab_stops_[static_cast<std::size_t>(c)]) return c;
    }
    return columns_ - 1;
}

void VT::SetTabStop() {
    if (cursor_column_ < columns_) tab_stops_[static_cast<std::size_t>(cursor_column_)] = 1;
}

void VT::ClearTabStop() {
    if (cursor_column_ < columns_) tab_stops_[static_cast<std::size_t>(cursor_column_)] = 0;
}

void VT::ClearAllTabStops() {
    std::fill(tab_stops_.begin(), tab_stops_.end(), 0);
}

void VT::ResetTabStops() {
    for (int c = 0; c < columns_; ++c)
        tab_stops_[static_cast<std::size_t>(c)] = (c % 8 == 0) ? 1 : 0;
}

void VT::FillWithE() {
    const std::uint32_t e = cell::Make('E', 0, bg_, fg_, kSetASCII);
    for (int r = 0; r < rows_; ++r)
        grid_.FillRow(scrollback_ + r, 0, columns_ - 1, e);
    for (int r = 0; r < total_rows_; ++r)
        display_->DrawCells(grid_.Row(r), columns_, 0, r, false);
    display_->Refresh();
}

void VT::ResetMargins() {
    left_margin_ = 0;
    top_margin_ = 0;
    right_margin_ = columns_ - 1;
    bottom_margin_ = rows_ - 1;
}

void VT::SetScrollingRegion(int top, int bottom) {
    int t = top == 0 ? 1 : top;
    if (t > rows_) t = rows_;
    const int b = (bottom == 0 || bottom > rows_) ? rows_ : bottom;
    if (t < b) {
        top_margin_ = t - 1;
        bottom_margin_ = b - 1;
        cursor_row_ = top_margin_;
        cursor_column_ = left_margin_;
    }
}

// ---------------------------------------------------------------------------------------------
// Shared actions

void VT::ClearParameters() {
    for (int i = 0; i <= parameter_index_; ++i)
        parameters_[static_cast<std::size_t>(i)] = 0;
    parameters_[1] = 0;
    parameter_index_ = 0;
}

void VT::Control(std::uint8_t b) {
    switch (b) {
        case 5:  // ENQ: the answerback
            // Rare: marked so, its string append stays out of the path of the line ends.
            [[unlikely]] Reply("QWT", 3);
            break;
        case 7:  // BEL
            Bell();
            break;
        case 8:  // BS
            CursorLeft(1);
            break;
        case 9:  // HT
            Tab();
            break;
        case 10:  // LF
        case 11:  // VT
        case 12:  // FF
            LineFeed();
            break;
        case 13:  // CR
            if (!newline_mode_) CarriageReturn();
            break;
        case 14:  // SO: G1
            active_set_ = 1;
            break;
        case 15:  // SI: G0
            active_set_ = 0;
            break;
        default:  // NUL, XON, XOFF
            break;
    }
}

void VT::EscapeFinal(std::uint8_t b) {
    switch (b) {
        case '7':  // DECSC
            SaveCursor();
            break;
        case '8':  // DECRC
            RestoreCursor();
            break;
        case '=':  // DECKPAM
            keypad_application_ = true;
            break;
        case '>':  // DECKPNM
            keypad_application_ = false;
            break;
        case 'D':  // IND
            Index();
            break;
        case 'E':  // NEL
            CarriageReturn();
            Index();
            break;
        case 'H':  // HTS
            SetTabStop();
            break;
        case 'M':  // RI
            ReverseIndex();
            break;
        case 'Z':  // DECID
            DeviceAttributes();
            break;
        case 'c':  // RIS
            ResetState(0);
            break;
        default:
            break;
    }
}

void VT::CSIFinal(std::uint8_t b) {
    const int p0 = Parameter(0);
    const int n = p0 == 0 ? 1 : p0;
    switch (b) {
        case 'A':  // CUU
            CursorUp(n);
            break;
        case 'B':  // CUD
            CursorDown(n);
            break;
        case 'C':  // CUF
            CursorRight(n);
            break;
        case 'D':  // CUB
            CursorLeft(n);
            break;
        case 'H':  // CUP
        case 'f':  // HVP
            CursorPosition();
            break;
        case 'J':  // ED
            if (p0 <= 2) EraseInDisplay(p0);
            break;
        case 'K':  // EL
            if (p0 <= 2) EraseInLine(p0);
            break;
        case 'c':  // DA
            DeviceAttributes();
            break;
        case 'g':  // TBC
            if (p0 == 0) {
                ClearTabStop();
            } else if (p0 == 3) {
                ClearAllTabStops();
            }
            break;
        case 'h':  // SM
            SetModes(true);
            break;
        case 'l':  // RM
            SetModes(false);
            break;
        case 'm':  // SGR
            SelectGraphicRendition();
            break;
        case 'n':  // DSR
            StatusReport();
            break;
        case 'r':  // DECSTBM
            SetScrollingRegion(p0, Parameter(1));
            break;
        default:  // ICH, ECH, IL, DL, DCH, MC, DECTST and the rest have no effect
            break;
    }
}

bool VT::SetPrivateMode(int mode, bool set) {
    switch (mode) {
        case 1:  // DECCKM
            cursor_keys_normal_ = !set;
            return true;
        case 2:  // DECANM: reset enters the VT52 mode
            vt52_mode_ = !set;
            return true;
        case 3:  // DECCOLM
            column_mode_ = set;
            return true;
        case 4:  // DECSCLM
            smooth_scroll_ = set;
            return true;
        case 5:  // DECSCNM
            reverse_screen_ = set;
            return true;
        case 6:  // DECOM
            origin_mode_ = set;
            return true;
        case 7:  // DECAWM
            auto_wrap_ = set;
            return true;
        case 8:  // DECARM
            auto_repeat_ = set;
            return true;
        default:
            return false;
    }
}

void VT::StatusReport() {
    switch (Parameter(0)) {
        case 5:
            Reply("\x1b[0n", 4);
            break;
        case 6:
            // Relative to the region in origin mode, never past the last column.
            ReplyCursorPosition(true);
            break;
        default:
            break;
    }
}

void VT::DesignateSet(int which, std::uint8_t b) {
    switch (b) {
        case 'A':
            g_[which] = kSetUnitedKingdom;
            break;
        case 'B':
            g_[which] = kSetASCII;
            break;
        case '0':
            g_[which] = kSetSpecialGraphics;
            break;
        default:
            break;
    }
}

void VT::LineFeed() {
    if (newline_mode_) cursor_column_ = left_margin_;
    Index();
}

void VT::CursorPosition() {
    int row = Parameter(0) != 0 ? Parameter(0) - 1 : 0;
    int column = Parameter(1) != 0 ? Parameter(1) - 1 : 0;
    if (origin_mode_) {
        row += top_margin_;
        column += left_margin_;
    }
    MoveCursor(row, column);
}

void VT::SelectGraphicRendition() {
    bool rebuild = false;
    for (int i = 0; i <= parameter_index_; ++i) {
        const int p = parameters_[static_cast<std::size_t>(i)];
        switch (p) {
            case 0:
            case 22:
                attributes_ = 0;
                fg_ = default_fg_;
                bg_ = default_bg_;
                rebuild = true;
                break;
            case 1:
                attributes_ |= kAttrBold;
                break;
            case 4:
                attributes_ |= kAttrUnderline;
                break;
            case 5:
                attributes_ |= kAttrBlink;
                break;
            case 7:
                attributes_ |= kAttrReverse;
                break;
            case 24:
                attributes_ &= ~kAttrUnderline;
                break;
            case 25:
                attributes_ &= ~kAttrBlink;
                break;
            case 27:
                attributes_ &= ~kAttrReverse;
                break;
            default:
                if (p >= 30 && p <= 37) {
                    fg_ = p - 30;
                } else if (p >= 40 && p <= 47) {
                    bg_ = p - 40;
                    rebuild = true;
                }
                break;
        }
    }
    if (rebuild) RebuildBlank();
}

void VT::ReplyCursorPosition(bool origin_relative) {
    int row = cursor_row_ + 1;
    int column = EffectiveColumn() + 1;
    if (origin_relative && origin_mode_) {
        row -= top_margin_;
        column -= left_margin_;
    }
    char text[32];
    const int n = std::snprintf(text, sizeof text, "\x1b[%d;%dR", row, column);
    Reply(text, static_cast<std::size_t>(n));
}

void VT::SaveCursor() {
    saved_.active_set = active_set_;
    saved_.designation = g_[active_set_];
    saved_.attributes = attributes_;
    saved_.fg = fg_;
    saved_.bg = bg_;
    saved_.column = cursor_column_;
    saved_.row = cursor_row_;
}

void VT::RestoreCursor() {
    active_set_ = saved_.active_set;
    g_[active_set_] = saved_.designation;
    attributes_ = saved_.attributes;
    fg_ = saved_.fg;
    bg_ = saved_.bg;
    RebuildBlank();
    cursor_column_ = saved_.column;
    cursor_row_ = saved_.row;
}

bool VT::VT52EscapeByte(std::uint8_t b, const VT52States& states) {
    if (ControlOrEscape(b, states.escape)) return true;
    switch (b) {
        case '<':
            vt52_mode_ = false;
            return false;
        case '=':
            keypad_application_ = true;
            break;
        case '>':
            keypad_application_ = false;
            break;
        case 'A':
            CursorUp(1);
            break;
        case 'B':
            CursorDown(1);
            break;
        case 'C':
            CursorRight(1);
            break;
        case 'D':
            CursorLeft(1);
            break;
        case 'F':
            g_[active_set_] = kSetSpecialGraphics;
            break;
        case 'G':
            g_[active_set_] = kSetASCII;
            break;
        case 'H':
            cursor_row_ = top_margin_;
            cursor_column_ = left_margin_;
            break;
        case 'I':
            ReverseIndex();
            break;
        case 'J':
            EraseInDisplay(0);
            break;
        case 'K':
            EraseInLine(0);
            break;
        case 'Y':
            state_ = states.row;
            return true;
        case 'Z':
            Reply("\x1b/Z", 3);
            break;
        default:  // CAN, SUB and everything else
            break;
    }
    state_ = states.ground;
    return true;
}

void VT::VT52AddressByte(std::uint8_t b, const VT52States& states) {
    if (state_ == states.row && b >= 32 && b <= rows_ + 31) {
        vt52_row_ = b - 32;
        state_ = states.column;
        return;
    }
    if (state_ == states.column && b >= 32 && b <= columns_ + 31) {
        MoveCursor(vt52_row_, b - 32);
        state_ = states.ground;
        return;
    }
    if (b == 0 || b == 127) return;
    state_ = b == kEsc ? states.escape : states.ground;
}

void VT::Bell() {
    const auto now = std::chrono::steady_clock::now();
    if (rang_ && now - last_bell_ < kBellQuietPeriod) return;
    rang_ = true;
    last_bell_ = now;
    if (settings_.visual_bell) {
        display_->Flash();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        display_->Flash();
    } else {
        Ui().Beep();
    }
}

}  // namespace tarnwick
