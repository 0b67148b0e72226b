#include "terminal/vt100.h"

#include <cstdio>

namespace tarnwick {

VT100::VT100(TerminalDisplay* display, SessionConfig* config) : VT(display, config) {
    Reset(1);
}

VT100::VT100(TerminalDisplay* display, const TerminalSettings& settings)
    : VT(display, settings, nullptr) {
    Reset(1);
}

void VT100::ResetState(int clear_scrollback) {
    ResetCommon(clear_scrollback != 0);
    state_ = kGround;
    smooth_scroll_ = settings_.vt_aux_mode;
    interlace_ = false;
    report_flag_ = false;
}

void VT100::Interpret(const std::uint8_t* data, int length) {
    int i = 0;
    while (i < length) {
        if (state_ == kGround || state_ == kVT52Ground) {
            // Fast path: a run of printable bytes goes to the grid in one call.
            int j = i;
            while (j < length && kPrintable[data[j]])
                ++j;
            if (j > i) {
                PutRun(data + i, j - i, Base());
                i = j;
                continue;
            }
        } else if (state_ == kCSI) {
            i = TakeParameters(data, i, length);
            if (i >= length) break;
        }
        Step(data[i++]);
    }
}

void VT100::Step(std::uint8_t b) {
    switch (state_) {
        case kGround:
        case kVT52Ground:
            if (ControlOrEscape(b, state_ == kGround ? kEscape : kVT52Escape)) return;
            PutChar(b, Base());
            return;
        case kEscape:
            EscapeByte(b);
            return;
        case kVT52Escape:
            if (!VT52EscapeByte(b, kVT52States)) state_ = kGround;
            return;
        case kVT52Row:
        case kVT52Column:
            VT52AddressByte(b, kVT52States);
            return;
        case kDesignateG0:
            DesignateByte(b, 0);
            return;
        case kDesignateG1:
            DesignateByte(b, 1);
            return;
        case kHash:
            HashByte(b);
            return;
        case kCSI:
            CSIByte(b);
            return;
        default:
            state_ = kGround;
            return;
    }
}

void VT100::EscapeByte(std::uint8_t b) {
    if (b == '[') {  // CSI, by far the most frequent
        StartCSI(kCSI);
        return;
    }
    if (ControlOrEscape(b, kEscape)) return;
    switch (b) {
        case '#':
            state_ = kHash;
            return;
        case '(':
            state_ = kDesignateG0;
            return;
        case ')':
            state_ = kDesignateG1;
            return;
        default:
            EscapeFinal(b);
            break;
    }
    state_ = kGround;
}

void VT100::DesignateByte(std::uint8_t b, int which) {
    if (ControlOrEscape(b, kEscape)) return;
    switch (b) {
        case '1':
            g_[which] = kSetAltROM;
            break;
        case '2':
            g_[which] = kSetAltROMGraphics;
            break;
        default:
            DesignateSet(which, b);
            break;
    }
    state_ = kGround;
}

void VT100::HashByte(std::uint8_t b) {
    if (ControlOrEscape(b, kEscape)) return;
    if (b == '8') FillWithE();  // DECALN
    state_ = kGround;
}

void VT100::CSIByte(std::uint8_t b) {
    if (b > 127) {
        state_ = kGround;
        return;
    }
    if (ControlOrEscape(b, kEscape)) return;
    if (b >= '0' && b <= '9') {
        ParameterDigit(b);
        return;
    }
    switch (b) {
        case '?':  // private sequences are taken like the plain ones
            return;
        case ';':
            NextParameter();
            return;
        default:
            break;
    }
    if ((b >= 0x20 && b <= 0x2F) || b == ':' || b == '<' || b == '=' || b == '>') {
        unsupported_sequence_ = true;
        return;
    }
    if (b >= 0x40 && b <= 0x7E && !unsupported_sequence_) {
        if (b == 'x') {  // DECREQTPARM
            ParameterRequest();
        } else {
            CSIFinal(b);
        }
    }
    // A reset DECANM ends the sequence in the VT52 mode.
    state_ = vt52_mode_ ? kVT52Ground : kGround;
}

void VT100::ParameterRequest() {
    const int p0 = Parameter(0);
    if (p0 == 0) {
        report_flag_ = true;
    } else if (p0 == 1) {
        report_flag_ = false;
    }
    ParameterReport();
}

void VT100::DeviceAttributes() {
    Reply("\x1b[?1;0c", 7);
}

void VT100::SetModes(bool set) {
    // The private marker is not told apart: every mode is set the same way with or without it.
    for (int i = 0; i < ParameterCount(); ++i) {
        const int mode = Parameter(i);
        if (mode == 9) {  // DECINLM
            interlace_ = set;
        } else if (mode == 20) {  // LNM
            newline_mode_ = set;
        } else {
            SetPrivateMode(mode, set);
        }
    }
}

void VT100::ParameterReport() {
    int parity;
    switch (lower_ != nullptr ? lower_->GetParity() : 0) {
        case 1:
            parity = 4;
            break;
        case 2:
            parity = 5;
            break;
        default:
            parity = 1;
            break;
    }
    const int eight_bit = (lower_ == nullptr || lower_->Is8BitClean()) ? 1 : 2;
    const int speed = lower_ != nullptr ? lower_->GetLineSpeed() : 38400;
    int code = 0;
    if (speed >= 19200) {
        code = 120;
    } else {
        static constexpr int kSpeeds[][2] = {
            {50, 0},    {75, 8},    {110, 16},  {150, 32},  {200, 40},  {300, 48},   {600, 56},
            {1200, 64}, {1800, 72}, {2000, 80}, {2400, 88}, {3600, 96}, {4800, 104}, {9600, 112}};
        for (const auto& entry : kSpeeds) {
            if (entry[0] == speed) code = entry[1];
        }
    }
    char text[48];
    const int n =
        std::snprintf(text, sizeof text, "%c[%c;%c;%c;%d;%d;1;0x", 27, report_flag_ ? '2' : '3',
                      '0' + parity, '0' + eight_bit, code, code);
    Reply(text, static_cast<std::size_t>(n));
}

}  // namespace tarnwick
