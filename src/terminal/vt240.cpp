#include "terminal/vt240.h"

namespace tarnwick {

VT240::VT240(TerminalDisplay* display, SessionConfig* config) : VT(display, config) {
    Reset(1);
}

VT240::VT240(TerminalDisplay* display, const TerminalSettings& settings)
    : VT(display, settings, nullptr) {
    Reset(1);
}

void VT240::ResetState(int clear_scrollback) {
    ResetCommon(clear_scrollback != 0);
    protected_ = false;
    keyboard_locked_ = false;
    insert_mode_ = false;
    send_receive_ = true;
    cursor_visible_ = true;
    graphics_mode_ = true;
    print_form_feed_ = false;
    print_extent_ = false;
    intermediate_ = 0;
    // 8-bit controls only when the chain below carries 8-bit data.
    level_ = (lower_ != nullptr && lower_->Is8BitClean()) ? kLevel8Bit : kLevel7Bit;
    state_ = Ground();
    saved_modes_ = SavedModes{};
    saved_modes_.auto_wrap = auto_wrap_;
}

void VT240::Interpret(const std::uint8_t* data, int length) {
    int i = 0;
    while (i < length) {
        if (state_ == kGround || state_ == kGround100 || state_ == kVT52Ground) {
            int j = i;
            while (j < length && kPrintable[data[j]])
                ++j;
            if (j > i) {
                PutRun(data + i, j - i, Base());
                i = j;
                continue;
            }
        } else if (state_ == kCSI || state_ == kCSIPrivate || state_ == kCSIGreater) {
            i = TakeParameters(data, i, length);
            if (i >= length) break;
        }
        Step(data[i++]);
    }
}

void VT240::Step(std::uint8_t b) {
    switch (state_) {
        case kGround:
        case kGround100:
        case kVT52Ground:
            GroundByte(b);
            return;
        case kEscape:
        case kEscape100:
            EscapeByte(b);
            return;
        case kCSI:
        case kCSIPrivate:
        case kCSIGreater:
        case kCSIQuote:
        case kCSIBang:
            SequenceByte(b);
            return;
        case kDesignateG0:
        case kDesignateG0 + 1:
        case kDesignateG0 + 2:
        case kDesignateG0 + 3:
            DesignateByte(b, state_ - kDesignateG0);
            return;
        case kHash:
            HashByte(b);
            return;
        case kEscapeSpace:
            EscapeSpaceByte(b);
            return;
        case kVT52Escape:
            if (!VT52EscapeByte(b, kVT52States)) state_ = Ground();
            return;
        case kVT52Row:
        case kVT52Column:
            VT52AddressByte(b, kVT52States);
            return;
        case kDCS:
        case kDCSEscape:
            DCSByte(b);
            return;
        case kEscapeIntermediate:
            EscapeIntermediateByte(b);
            return;
        default:
            state_ = Ground();
            return;
    }
}

void VT240::GroundByte(std::uint8_t b) {
    if (ControlOrEscape(b, EscapeState())) return;
    switch (b) {
        case 132:  // IND
        case 133:  // NEL
        case 136:  // HTS
        case 141:  // RI
        case 142:  // SS2
        case 143:  // SS3
        case 144:  // DCS
        case 155:  // CSI
        case 156:  // ST outside a string: nothing to end, the next byte is ordinary input
            // An 8-bit control acts as the escape sequence of its 7-bit form (ESC and the byte
            // less 0x40); one that completes there leaves the terminal in this ground state.
            EscapeByte(static_cast<std::uint8_t>(b - 0x40));
            return;
        default:
            PutChar(b, Base());
            return;
    }
}

void VT240::EscapeByte(std::uint8_t b) {
    if (ControlOrEscape(b, EscapeState())) return;
    switch (b) {
        case '#':
            state_ = kHash;
            return;
        case '(':
        case ')':
        case '*':
        case '+':
            intermediate_ = 0;
            state_ = kDesignateG0 + (b == '(' ? 0 : b == ')' ? 1 : b == '*' ? 2 : 3);
            return;
        case ' ':
            state_ = kEscapeSpace;
            return;
        case 'P':  // DCS
            state_ = kDCS;
            return;
        case '/':
            state_ = kEscapeIntermediate;
            return;
        case '[':
            StartCSI(kCSI);
            return;
        case 'n':  // LS2
            if (VT200Level()) active_set_ = 2;
            break;
        case 'o':  // LS3
            if (VT200Level()) active_set_ = 3;
            break;
        default:  // the finals of every VT; SS2, SS3, ST, LS1R-LS3R, CAN, SUB have no effect
            EscapeFinal(b);
            break;
    }
    state_ = Ground();
}

void VT240::EscapeIntermediateByte(std::uint8_t b) {
    if (ControlOrEscape(b, EscapeState()) || (b >= 0x20 && b <= 0x2F)) return;
    state_ = Ground();
}

void VT240::DesignateByte(std::uint8_t b, int which) {
    if (ControlOrEscape(b, EscapeState())) return;
    if (b >= 0x20 && b <= 0x2F) {
        if (intermediate_ == 0) intermediate_ = b;
        return;
    }
    // A final after an intermediate names a set this terminal does not have.
    if (intermediate_ == 0) {
        if (b == '<') {
            if (VT200Level()) g_[which] = kSetSupplemental;
        } else {
            DesignateSet(which, b);
        }
    }
    intermediate_ = 0;
    state_ = Ground();
}

void VT240::HashByte(std::uint8_t b) {
    if (ControlOrEscape(b, EscapeState())) return;
    if (b == '8') FillWithE();
    state_ = Ground();
}

void VT240::EscapeSpaceByte(std::uint8_t b) {
    if (ControlOrEscape(b, EscapeState())) return;
    if (b == 'F') {
        level_ = kLevel7Bit;
    } else if (b == 'G') {
        level_ = kLevel8Bit;
    }
    state_ = Ground();
}

void VT240::SequenceByte(std::uint8_t b) {
    if (b > 127) {
        state_ = Ground();
        return;
    }
    if (ControlOrEscape(b, EscapeState())) return;
    if ((b >= '0' && b <= '9') || b == ';') {
        if (state_ == kCSIQuote || state_ == kCSIBang) {
            unsupported_sequence_ = true;
        } else if (b == ';') {
            NextParameter();
        } else {
            ParameterDigit(b);
        }
        return;
    }
    if (state_ == kCSI) {
        switch (b) {
            case '?':
                state_ = kCSIPrivate;
                return;
            case '>':
                state_ = kCSIGreater;
                return;
            case '"':
                state_ = kCSIQuote;
                return;
            case '!':
                state_ = kCSIBang;
                return;
            default:
                break;
        }
    }
    if (b < 0x40) {
        // Other intermediates and private markers: read on to the final, then ignore it.
        if (b >= 0x20) {
            unsupported_sequence_ = true;
            return;
        }
        state_ = Ground();  // other control bytes (CAN and SUB among them) end the sequence
        return;
    }
    if (!unsupported_sequence_) Final(b);
    state_ = Ground();
}

void VT240::Final(std::uint8_t b) {
    switch (state_) {
        case kCSI:
            CSIFinal(b);
            break;
        case kCSIPrivate:
            PrivateFinal(b);
            break;
        case kCSIGreater:
            if (b == 'c') Reply("\x1b[>2;10;0c", 10);
            break;
        case kCSIQuote:
            if (b == 'p') {
                SetConformanceLevel();
            } else if (b == 'q' && VT200Level()) {  // DECSCA
                protected_ = Parameter(0) == 1;
            }
            break;
        case kCSIBang:
            if (b == 'p') ResetState(0);  // DECSTR
            break;
        default:
            break;
    }
}

void VT240::PrivateFinal(std::uint8_t b) {
    switch (b) {
        case 'h':
            SetPrivateModes(true);
            break;
        case 'l':
            SetPrivateModes(false);
            break;
        case 'J':  // DECSED
            if (VT200Level()) SelectiveEraseDisplay(Parameter(0));
            break;
        case 'K':  // DECSEL
            if (VT200Level()) SelectiveEraseLine(Parameter(0));
            break;
        case 'n':
            StatusReport();
            break;
        default:
            break;
    }
}

void VT240::SetModes(bool set) {
    for (int i = 0; i < ParameterCount(); ++i) {
        switch (Parameter(i)) {
            case 2:  // KAM
                keyboard_locked_ = set;
                break;
            case 4:  // IRM
                insert_mode_ = set;
                break;
            case 12:  // SRM
                send_receive_ = set;
                break;
            case 20:  // LNM
                newline_mode_ = set;
                break;
            default:
                break;
        }
    }
}

void VT240::SetPrivateModes(bool set) {
    for (int i = 0; i < ParameterCount(); ++i) {
        const int mode = Parameter(i);
        switch (mode) {
            case 18:
                print_form_feed_ = set;
                break;
            case 19:
                print_extent_ = set;
                break;
            case 25:
                cursor_visible_ = set;
                break;
            case 38:
                graphics_mode_ = set;
                break;
            default:
                SetPrivateMode(mode, set);
                break;
        }
    }
}

void VT240::StatusReport() {
    switch (Parameter(0)) {
        case 15:  // printer
            Reply("\x1b[?13n", 6);
            break;
        case 25:  // user-defined keys
            Reply("\x1b[?20n", 6);
            break;
        case 26:  // keyboard
            Reply("\x1b[?27;1n", 8);
            break;
        default:
            VT::StatusReport();
            break;
    }
}

void VT240::DeviceAttributes() {
    if (VT200Level()) {
        Reply("\x1b[?62;1;6c", 10);
    } else {
        Reply("\x1b[?1;0c", 7);
    }
}

void VT240::SetConformanceLevel() {
    const int p0 = Parameter(0);
    if (ParameterCount() == 1) {
        if (p0 == 61) {
            level_ = kLevelVT100;
        } else if (p0 == 62) {
            level_ = kLevel8Bit;
        }
    } else if (ParameterCount() == 2 && p0 == 62) {
        const int p1 = Parameter(1);
        if (p1 == 1) {
            level_ = kLevel7Bit;
        } else if (p1 == 0 || p1 == 2) {
            level_ = kLevel8Bit;
        }
    }
}

void VT240::EraseErasable(int row, int first, int last) {
    std::uint32_t* cells = ScreenRow(row);
    int c = first;
    while (c <= last) {
        if (!cell::Erasable(cells[c])) {
            ++c;
            continue;
        }
        int end = c;
        while (end + 1 <= last && cell::Erasable(cells[end + 1]))
            ++end;
        BlankCells(row, c, end);
        c = end + 1;
    }
}

void VT240::SelectiveEraseLine(int mode) {
    const int c = EffectiveColumn();
    switch (mode) {
        case 0:
            EraseErasable(cursor_row_, c, columns_ - 1);
            break;
        case 1:
            EraseErasable(cursor_row_, 0, c);
            break;
        case 2:  // the whole line goes, protected cells too
            BlankCells(cursor_row_, 0, columns_ - 1);
            break;
        default:
            break;
    }
}

void VT240::SelectiveEraseDisplay(int mode) {
    switch (mode) {
        case 0:
            SelectiveEraseLine(0);
            for (int r = cursor_row_ + 1; r < rows_; ++r)
                EraseErasable(r, 0, columns_ - 1);
            break;
        case 1:
            for (int r = 0; r < cursor_row_; ++r)
                EraseErasable(r, 0, columns_ - 1);
            SelectiveEraseLine(1);
            break;
        case 2:  // the whole screen goes, protected cells too, and the cursor stays
            BlankRows(0, rows_ - 1);
            break;
        default:
            break;
    }
}

void VT240::SaveCursor() {
    VT::SaveCursor();
    saved_modes_.auto_wrap = auto_wrap_;
    saved_modes_.origin_mode = origin_mode_;
    saved_modes_.protect = protected_;
}

void VT240::RestoreCursor() {
    VT::RestoreCursor();
    auto_wrap_ = saved_modes_.auto_wrap;
    origin_mode_ = saved_modes_.origin_mode;
    protected_ = saved_modes_.protect;
}

void VT240::DCSByte(std::uint8_t b) {
    if (state_ == kDCS) {
        if (b == 156 || b == 24 || b == 26) {
            // ST ends the string; CAN and SUB abandon it.
            state_ = Ground();
        } else if (b == kEsc) {
            state_ = kDCSEscape;
        }
        return;
    }
    // ESC inside the string: ESC \ is the 7-bit string terminator; any other byte abandons the
    // string and is taken as the final of the escape sequence the ESC began.
    if (b == '\\') {
        state_ = Ground();
        return;
    }
    state_ = EscapeState();
    EscapeByte(b);
}

bool VT240::KeySequence(int code, std::string& out) const {
    if (code < kKeyFind || code > kKeyF20) return VT::KeySequence(code, out);
    if (level_ == kLevelVT100) {
        // Only F12 and F13 have a meaning there: backspace and line feed.
        if (code == 296) {
            out += '\x08';
            return true;
        }
        if (code == 297) {
            out += '\x0a';
            return true;
        }
        return false;
    }
    static constexpr int kNumbers[] = {1,  2,  3,  4,  5,  6,  0,  0,  0,  0,  0,  17, 18,
                                       19, 20, 21, 23, 24, 25, 26, 28, 29, 31, 32, 33, 34};
    const int number = kNumbers[code - kKeyFind];
    if (number == 0) return false;  // 285-289
    out += "\x1b[";
    out += std::to_string(number);
    out += '~';
    return true;
}

}  // namespace tarnwick
