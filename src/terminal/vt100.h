// VT100: interprets the host's byte stream as a VT100 in ANSI mode, with the VT52 compatibility
// mode, and answers the host's status requests through the layer below.
#pragma once

#include <cstdint>

#include "terminal/vt.h"

namespace tarnwick {

class VT100 : public VT {
  public:
    // Parser states.
    enum State : int {
        kGround = 0,
        kEscape = 1,
        kVT52Ground = 2,
        kVT52Escape = 3,
        kVT52Row = 4,
        kVT52Column = 5,
        kDesignateG0 = 6,
        kDesignateG1 = 7,
        kHash = 8,
        kCSI = 9,
    };

    // Reads the grid size and the initial modes from config (the defaults without one).
    VT100(TerminalDisplay* display, SessionConfig* config);
    VT100(TerminalDisplay* display, const TerminalSettings& settings);

    int G0() const { return g_[0]; }
    int G1() const { return g_[1]; }
    int Attributes() const { return attributes_; }
    bool ReportFlag() const { return report_flag_; }
    bool SmoothScroll() const { return smooth_scroll_; }

  protected:
    void Interpret(const std::uint8_t* data, int length) override;
    void ResetState(int clear_scrollback) override;
    void DeviceAttributes() override;
    void SetModes(bool set) override;

  private:
    static constexpr ByteTable kPrintable = PrintableBytes({});
    static constexpr VT52States kVT52States{kVT52Ground, kVT52Escape, kVT52Row, kVT52Column};

    void Step(std::uint8_t b);
    void EscapeByte(std::uint8_t b);
    void DesignateByte(std::uint8_t b, int which);
    void HashByte(std::uint8_t b);
    void CSIByte(std::uint8_t b);
    // DECREQTPARM.
    void ParameterRequest();
    void ParameterReport();
    std::uint32_t Base() const { return CellBase(g_[active_set_]); }

    bool interlace_ = false;
    bool report_flag_ = false;
};

}  // namespace tarnwick
