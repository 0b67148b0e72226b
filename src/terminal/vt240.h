// VT240: the larger terminal. Beside what VT100 does it has a conformance level with 7-bit and
// 8-bit control forms, four character-set designations (with the DEC supplemental set), 8-bit
// control characters, device-control strings, selective erase, more reports and more keys.
#pragma once

#include <cstdint>

#include "terminal/vt.h"

namespace tarnwick {

class VT240 : public VT {
  public:
    enum State : int {
        kGround = 0,     // VT200 levels
        kEscape = 1,     // VT200 levels
        kGround100 = 2,  // VT100 level
        kEscape100 = 3,  // VT100 level
        kCSI = 4,
        kCSIPrivate = 5,   // CSI ?
        kDesignateG0 = 6,  // to kDesignateG0 + 3
        kCSIGreater = 10,  // CSI >
        kHash = 11,        // ESC #
        kCSIQuote = 12,    // CSI "
        kEscapeSpace = 13,
        kCSIBang = 14,  // CSI !
        kVT52Ground = 15,
        kVT52Escape = 16,
        kVT52Row = 17,
        kVT52Column = 18,
        kDCS = 19,
        kDCSEscape = 20,
        // ESC followed by an intermediate: the sequence's final byte is read and ignored.
        kEscapeIntermediate = 21,
    };

    // Conformance levels.
    enum ConformanceLevels : int {
        kLevel8Bit = 0,  // VT200 level, 8-bit controls
        kLevel7Bit = 1,  // VT200 level, 7-bit controls
        kLevelVT100 = 2,
    };

    VT240(TerminalDisplay* display, SessionConfig* config);
    VT240(TerminalDisplay* display, const TerminalSettings& settings);

    int ConformanceLevel() const { return level_; }
    int Designation(int g) const { return g_[g & 3]; }
    bool Protected() const { return protected_; }
    bool InsertMode() const { return insert_mode_; }
    bool KeyboardLocked() const { return keyboard_locked_; }
    bool SendReceive() const { return send_receive_; }

  protected:
    void Interpret(const std::uint8_t* data, int length) override;
    void ResetState(int clear_scrollback) override;
    bool KeySequence(int code, std::string& out) const override;
    void SaveCursor() override;
    void RestoreCursor() override;
    void DeviceAttributes() override;
    void StatusReport() override;
    // SM and RM: KAM, IRM, SRM and LNM.
    void SetModes(bool set) override;

  private:
    // 8-bit IND, NEL, HTS, RI, SS2, SS3, DCS, CSI and ST act; the other 8-bit controls print.
    static constexpr ByteTable kPrintable =
        PrintableBytes({132, 133, 136, 141, 142, 143, 144, 155, 156});
    static constexpr VT52States kVT52States{kVT52Ground, kVT52Escape, kVT52Row, kVT52Column};

    // What DECSC saves here beside the cursor of every VT.
    struct SavedModes {
        bool auto_wrap = true;
        bool origin_mode = false;
        bool protect = false;
    };

    int Ground() const {
        return vt52_mode_ ? kVT52Ground : (level_ == kLevelVT100 ? kGround100 : kGround);
    }
    int EscapeState() const {
        return vt52_mode_ ? kVT52Escape : (level_ == kLevelVT100 ? kEscape100 : kEscape);
    }
    bool VT200Level() const { return level_ != kLevelVT100; }
    std::uint32_t Base() const {
        return CellBase(g_[active_set_]) | (protected_ ? 0u : cell::kErasable);
    }

    void Step(std::uint8_t b);
    void GroundByte(std::uint8_t b);
    void EscapeByte(std::uint8_t b);
    void DesignateByte(std::uint8_t b, int which);
    void HashByte(std::uint8_t b);
    void EscapeSpaceByte(std::uint8_t b);
    void EscapeIntermediateByte(std::uint8_t b);
    void SequenceByte(std::uint8_t b);
    void Final(std::uint8_t b);
    void PrivateFinal(std::uint8_t b);
    void DCSByte(std::uint8_t b);
    void SetPrivateModes(bool set);
    void SetConformanceLevel();
    void SelectiveEraseLine(int mode);
    void SelectiveEraseDisplay(int mode);
    // Erases the erasable cells first..last of screen row r.
    void EraseErasable(int row, int first, int last);

    bool protected_ = false;
    int level_ = kLevel7Bit;
    bool keyboard_locked_ = false;
    bool insert_mode_ = false;
    bool send_receive_ = true;
    bool print_form_feed_ = false;
    bool print_extent_ = false;
    bool cursor_visible_ = true;
    bool graphics_mode_ = true;
    std::uint8_t intermediate_ = 0;
    SavedModes saved_modes_;
};

}  // namespace tarnwick
