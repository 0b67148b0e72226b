// VT: the terminal layer at the top of every chain (type code 7, name "VT"). It owns the session's
// character grid (scroll-back above the screen), the cursor, the scrolling region, the tab stops
// and the drawing colours, and offers the grid operations the interpreters (VT100, VT240) are
// built from. Every change to the grid is mirrored at once to the session's TerminalDisplay.
//
// It also carries what both interpreters share as a layer: the interpreter lock, pausing with held
// bytes, replies to the host, the bell, and the key queue with its drain (batches, new-line
// handling, local echo). And what they share in reading the host's bytes: the control bytes, the
// escape and control sequences both know, the private modes, the saved cursor, the VT52 mode
// and the reset; each interpreter keeps its parser states and what only it does, and reaches the
// rest through these operations and a few hooks (DeviceAttributes, StatusReport, SetModes).
//
// The grid keeps its rows in a ring (cell_ring.h): a line feed at the bottom of the screen costs
// the same whatever the scroll-back size, and GetCell still counts rows from the oldest
// scroll-back line.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/io.h"
#include "platform/lock.h"
#include "terminal/cell.h"
#include "terminal/cell_ring.h"
#include "terminal/terminal_display.h"
#include "terminal/terminal_settings.h"

namespace tarnwick {

// Key codes of KeyInput beyond the bytes 0-255.
enum KeyCode : int {
    kKeyBackspace = 256,
    kKeyDelete = 257,
    kKeyLeft = 258,
    kKeyRight = 259,
    kKeyUp = 260,
    kKeyDown = 261,
    kKeyKeypad0 = 262,  // to kKeyKeypad0 + 9
    kKeyKeypadPeriod = 272,
    kKeyKeypadMinus = 273,
    kKeyKeypadComma = 274,
    kKeyPF1 = 275,  // to kKeyPF1 + 3
    kKeyLastVT100 = 278,
    kKeyFind = 279,
    kKeyInsert = 280,
    kKeyRemove = 281,
    kKeySelect = 282,
    kKeyPrev = 283,
    kKeyNext = 284,
    kKeyF6 = 290,  // F6 to F20 are 290 to 304 (with gaps in the sequences, not the codes)
    kKeyF20 = 304,
};

class VT : public IO {
  public:
    static constexpr int kMaxParameters = 100;
    // A number in a control sequence never grows beyond this; more digits keep the value.
    static constexpr int kMaxParameterValue = 65535;
    // Bytes per Send when the key queue is drained.
    static constexpr int kKeyBatch = 255;
    // Bells closer together than this are merged, so a flood of BEL bytes cannot stall the
    // terminal (each visual bell waits 10 ms between its two flashes).
    static constexpr std::chrono::milliseconds kBellQuietPeriod{100};

    // display may be nullptr (nothing is drawn). config may be nullptr (the defaults of
    // TerminalSettings); the terminal keeps a reference on it, like Open does.
    VT(TerminalDisplay* display, const TerminalSettings& settings, SessionConfig* config);
    // The grid size and the initial modes from config (the defaults without one).
    VT(TerminalDisplay* display, SessionConfig* config)
        : VT(display, TerminalSettings::From(config), config) {}
    ~VT() override;

    // IO
    [[nodiscard]] int Open(SessionConfig* config) override;
    void Close() override;
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override { return Receive(data, length); }
    // Bytes written to the terminal (pasted text, text sends) take the path of typed keys.
    int Send(const std::uint8_t* data, int length) override;
    int KeyInput(int key) override;
    int Pause() override;
    int Resume() override;
    int IsTerminal() override { return 1; }
    int FileTransfer(int command, const char* path) override;
    int ReservedRequest() override;
    bool QueryTerminal(TerminalFacts* facts) override;

    // The interpreter's full reset; clears the screen, and the scroll-back too when
    // clear_scrollback is nonzero.
    void Reset(int clear_scrollback);
    // Sends every cell of every row (scroll-back included) to the display, then refreshes it.
    void Redraw();
    int GetColumns() const { return columns_; }
    int GetRows() const { return rows_; }
    // The cell at column, row (row 0 is the oldest scroll-back line); 0 outside the grid.
    std::uint32_t GetCell(int column, int row) const;
    // Interprets one byte from the host.
    int ProcessChar(int byte);

    // From now on nothing is drawn: the session keeps its display (and the last screen) while this
    // terminal and its chain wait to be destroyed.
    void DetachDisplay();

    int GetScrollback() const { return scrollback_; }
    const char* GetTermType() const { return settings_.term_type.c_str(); }

    // State for tests and front ends. The cursor row counts from the top of the screen; the
    // column may equal GetColumns() while a wrap is pending.
    int CursorColumn() const { return cursor_column_; }
    int CursorRow() const { return cursor_row_; }
    int TopMargin() const { return top_margin_; }
    int BottomMargin() const { return bottom_margin_; }
    bool IsPaused() const { return paused_.load(); }
    bool NewLineMode() const { return newline_mode_; }
    bool KeypadApplicationMode() const { return keypad_application_; }
    bool CursorKeysApplicationMode() const { return !cursor_keys_normal_; }
    bool VT52Mode() const { return vt52_mode_; }
    bool AutoWrap() const { return auto_wrap_; }
    bool OriginMode() const { return origin_mode_; }
    int Foreground() const { return fg_; }
    int Background() const { return bg_; }
    // The character set in use: G0 to G3.
    int ActiveSet() const { return active_set_; }
    int ParserState() const { return state_; }
    // The characters of screen row r (0 is the top of the screen), trailing spaces removed.
    std::string ScreenLine(int r) const;

  protected:
    static constexpr std::uint8_t kEsc = 27;

    // The interpreter: runs under the interpreter lock while the terminal is not paused.
    virtual void Interpret(const std::uint8_t* data, int length) = 0;
    // The subclass's full reset (under the interpreter lock).
    virtual void ResetState(int clear_scrollback) = 0;
    // The part of the full reset both interpreters share: margins, cursor, tab stops, colours and
    // attributes, character sets, the modes VT keeps (some from the settings) and the saved
    // cursor; then the screen is cleared. The parser state is the interpreter's to set.
    void ResetCommon(bool clear_scrollback);
    // The bytes of key codes 256 and above; false for codes the terminal ignores.
    virtual bool KeySequence(int code, std::string& out) const;
    // DECSC and DECRC: the cursor, the attributes and colours, the active character set and its
    // designation. An interpreter that keeps more adds it.
    virtual void SaveCursor();
    virtual void RestoreCursor();
    // The answer to DECID and DA.
    virtual void DeviceAttributes() = 0;
    // DSR from parameter 0: the operating status (5) and the cursor position (6). An interpreter
    // with more reports adds them.
    virtual void StatusReport();
    // SM and RM without a private marker, from every parameter.
    virtual void SetModes(bool set) = 0;

    // Grid operations. Rows are screen rows unless named absolute.
    void CursorRight(int n);
    void CursorLeft(int n);
    void CursorUp(int n);
    void CursorDown(int n);
    // Moves the cursor to row, column, each limited to the screen.
    void MoveCursor(int row, int column);
    // Writes a run of characters with the colours, attributes and set in cell_base (a cell value
    // whose character byte is 0), wrapping or overwriting the last column by the auto-wrap mode.
    void PutRun(const std::uint8_t* characters, int count, std::uint32_t cell_base);
    void PutChar(std::uint8_t character, std::uint32_t cell_base) {
        PutRun(&character, 1, cell_base);
    }
    void Index();
    void ReverseIndex();
    void CarriageReturn() { cursor_column_ = left_margin_; }
    void EraseInLine(int mode);
    void EraseInDisplay(int mode);
    void ClearScreen(bool clear_scrollback);
    int NextTabStop() const;
    void SetTabStop();
    void ClearTabStop();
    void ClearAllTabStops();
    void ResetTabStops();
    void FillWithE();
    int EffectiveColumn() const {
        return cursor_column_ < columns_ ? cursor_column_ : columns_ - 1;
    }
    // The scrolling region from the parameters of "r".
    void SetScrollingRegion(int top, int bottom);
    void ResetMargins();
    // The blank row follows the current background colour.
    void RebuildBlank() { blank_ = cell::Blank(bg_); }
    // Erases cells first..last of screen row r to the blank cell.
    void BlankCells(int row, int first, int last);
    // Erases screen rows first..last.
    void BlankRows(int first, int last);
    std::uint32_t* ScreenRow(int row) { return grid_.Row(scrollback_ + row); }
    // Tells the display that cells first..last of screen row r changed.
    void DrawScreenCells(int row, int first, int last);

    // Control sequence parameters.
    void ClearParameters();
    void ParameterDigit(std::uint8_t digit) {
        int& p = parameters_[static_cast<std::size_t>(parameter_index_)];
        const int value = p * 10 + (digit - '0');
        p = value > kMaxParameterValue ? kMaxParameterValue : value;
    }
    void NextParameter() {
        if (parameter_index_ >= kMaxParameters - 1) return;  // further separators are ignored
        ++parameter_index_;
        parameters_[static_cast<std::size_t>(parameter_index_)] = 0;
    }
    // Takes the digits and separators at data[i...] into the parameters; returns the index of
    // the first other byte. The hot part of every control sequence.
    int TakeParameters(const std::uint8_t* data, int i, int length) {
        int index = parameter_index_;
        int value = parameters_[static_cast<std::size_t>(index)];
        while (i < length) {
            const std::uint8_t b = data[i];
            if (static_cast<unsigned>(b - '0') < 10u) {
                value = value * 10 + (b - '0');
                if (value > kMaxParameterValue) value = kMaxParameterValue;
            } else if (b == ';') {
                if (index < kMaxParameters - 1) {
                    parameters_[static_cast<std::size_t>(index)] = value;
                    ++index;
                    value = 0;
                }
            } else {
                break;
            }
            ++i;
        }
        parameters_[static_cast<std::size_t>(index)] = value;
        parameter_index_ = index;
        return i;
    }
    int Parameter(int i) const {
        return i <= parameter_index_ ? parameters_[static_cast<std::size_t>(i)] : 0;
    }
    int ParameterCount() const { return parameter_index_ + 1; }

    // The control bytes that act in every state: NUL, ENQ, BEL to SI, XON and XOFF (NUL, XON and
    // XOFF by doing nothing).
    static constexpr std::uint32_t kActingControls =
        (1u << 0) | (1u << 5) | (0x1FFu << 7) | (1u << 17) | (1u << 19);
    static constexpr bool IsActingControl(std::uint8_t b) {
        return b < 32 && ((kActingControls >> b) & 1u) != 0;
    }
    // Acts on an acting control byte.
    void Control(std::uint8_t b);
    // The bytes ground writes to the screen as they are: all but the acting control bytes, ESC,
    // DEL and the 8-bit controls the interpreter acts on.
    using ByteTable = std::array<bool, 256>;
    static constexpr ByteTable PrintableBytes(std::initializer_list<int> eight_bit_controls) {
        ByteTable table{};
        for (int b = 0; b < 256; ++b) {
            const auto byte = static_cast<std::uint8_t>(b);
            table[byte] = !IsActingControl(byte) && byte != kEsc && byte != 127;
        }
        for (int b : eight_bit_controls)
            table[static_cast<std::size_t>(b)] = false;
        return table;
    }
    // The bytes that mean the same in ground and inside every escape or control sequence: the
    // acting control bytes act, DEL is ignored and ESC begins an escape sequence (escape_state,
    // the interpreter's state for it). False for any other byte.
    bool ControlOrEscape(std::uint8_t b, int escape_state) {
        if (b >= 0x20) return b == 127;
        if (IsActingControl(b)) {
            Control(b);
            return true;
        }
        if (b != kEsc) return false;
        state_ = escape_state;
        return true;
    }

    // Shared actions of both interpreters.
    void LineFeed();
    void Tab() { cursor_column_ = NextTabStop(); }
    void CursorPosition();          // CUP / HVP from parameters 0 and 1
    void SelectGraphicRendition();  // SGR from every parameter
    void Bell();
    // Queues bytes for the host; they are sent once the lock is released.
    void Reply(const char* bytes, std::size_t length) { replies_.append(bytes, length); }
    void Reply(const std::string& bytes) { replies_ += bytes; }
    void ReplyCursorPosition(bool origin_relative);
    std::uint32_t CellBase(int set) const { return cell::Make(0, attributes_, bg_, fg_, set); }

    // Acts on the escape sequences both interpreters know by their final byte alone (DECSC,
    // DECRC, DECKPAM, DECKPNM, IND, NEL, HTS, RI, DECID, RIS); any other final has no effect.
    void EscapeFinal(std::uint8_t b);
    // Begins a control sequence (in the interpreter's state csi_state): no parameters yet and
    // nothing unsupported seen.
    void StartCSI(int csi_state) {
        ClearParameters();
        unsupported_sequence_ = false;
        state_ = csi_state;
    }
    // Acts on the finals of plain control sequences both interpreters know: cursor movement and
    // addressing, ED, EL, TBC, SGR, DECSTBM, DA, DSR, SM and RM. Any other final has no effect.
    void CSIFinal(std::uint8_t b);
    // Sets or resets one of the private modes (CSI ? h and l) both interpreters have (DECCKM,
    // DECANM, DECCOLM, DECSCLM, DECSCNM, DECOM, DECAWM, DECARM); false for any other mode.
    bool SetPrivateMode(int mode, bool set);
    // Designates to G0-G3 the sets every VT100 has, by their final byte ("A" United Kingdom,
    // "B" ASCII, "0" special graphics); any other final has no effect.
    void DesignateSet(int which, std::uint8_t b);

    // What DECSC saves in every interpreter.
    struct SavedCursor {
        int active_set = 0;
        int designation = kSetASCII;
        int attributes = 0;
        int fg = cell::kDefaultForeground;
        int bg = cell::kDefaultBackground;
        int column = 0;
        int row = 0;
    };

    // The VT52 mode, alike in both interpreters; each names its own state codes for it.
    struct VT52States {
        int ground;
        int escape;
        int row;     // after ESC Y
        int column;  // after ESC Y and the row
    };
    // The byte after ESC. False when it leaves the VT52 mode ("<"): the interpreter then goes to
    // its own ground state.
    bool VT52EscapeByte(std::uint8_t b, const VT52States& states);
    // The row and column bytes of a direct cursor address.
    void VT52AddressByte(std::uint8_t b, const VT52States& states);

    TerminalDisplay* display_;
    TerminalSettings settings_;
    int rows_;
    int columns_;
    int scrollback_;
    int total_rows_;
    CellRing grid_;
    std::uint32_t blank_ = cell::Blank(kBlack);
    int cursor_column_ = 0;
    int cursor_row_ = 0;
    int left_margin_ = 0;
    int top_margin_ = 0;
    int right_margin_ = 0;
    int bottom_margin_ = 0;
    // One flag per column: any column may hold a stop, so tabs work across wide screens.
    std::vector<std::uint8_t> tab_stops_;
    int default_fg_ = cell::kDefaultForeground;
    int default_bg_ = cell::kDefaultBackground;
    int fg_ = cell::kDefaultForeground;
    int bg_ = cell::kDefaultBackground;
    int attributes_ = 0;
    // The designations of G0 to G3 (a VT100 has only G0 and G1) and the one in use.
    int g_[4] = {kSetASCII, kSetASCII, kSetASCII, kSetASCII};
    int active_set_ = 0;
    int state_ = 0;
    int vt52_row_ = 0;
    SavedCursor saved_;
    std::array<int, kMaxParameters> parameters_{};
    int parameter_index_ = 0;

    // Modes both interpreters keep and the key translation reads.
    bool newline_mode_ = false;
    bool keypad_application_ = false;
    bool vt52_mode_ = false;
    bool cursor_keys_normal_ = true;
    bool origin_mode_ = false;
    bool auto_wrap_ = true;
    // Modes both interpreters keep without acting on them.
    bool column_mode_ = false;
    bool smooth_scroll_ = false;
    bool reverse_screen_ = false;
    bool auto_repeat_ = false;
    // A control sequence with an intermediate or private marker the terminal does not know is
    // read to its final byte and then ignored, instead of spilling its final onto the screen.
    bool unsupported_sequence_ = false;

    std::atomic<bool> paused_{false};
    Lock interpreter_lock_;

  private:
    struct KeyModes;
    void DropHeldBytes();
    // Processes data under the lock (or holds it while paused), then sends the replies.
    void Feed(const std::uint8_t* data, int length);
    void SendReplies(std::string& replies);
    void BeginChange();
    void EndChange();
    int DrainKeys(bool newline_mode);
    bool LocalEcho() const;
    void ScrollUp(int n);
    void ScrollDown(int n);

    Lock held_lock_;
    std::vector<std::uint8_t> held_;
    Lock key_lock_;
    std::deque<std::uint8_t> key_queue_;
    std::string replies_;
    std::chrono::steady_clock::time_point last_bell_{};
    bool rang_ = false;
};

}  // namespace tarnwick
