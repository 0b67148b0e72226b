// Shared helpers of the terminal tests: a terminal on a memory display with a recording layer
// below it, fed with byte strings.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/recording_layer.h"
#include "terminal/memory_display.h"
#include "terminal/vt100.h"
#include "terminal/vt240.h"

namespace tarnwick::testing {

// Every cell of the model must equal the display's image: the display is a mirror.
inline ::testing::AssertionResult DisplayMirrorsModel(const VT& vt, const MemoryDisplay& display) {
    const int total = vt.GetRows() + vt.GetScrollback();
    for (int r = 0; r < total; ++r) {
        for (int c = 0; c < vt.GetColumns(); ++c) {
            if (vt.GetCell(c, r) != display.Cell(c, r)) {
                return ::testing::AssertionFailure()
                       << "cell " << c << "," << r << ": model " << std::hex << vt.GetCell(c, r)
                       << " display " << display.Cell(c, r);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

template <typename Terminal>
class TerminalHarness {
  public:
    explicit TerminalHarness(TerminalSettings settings = {}) {
        settings.visual_bell = false;
        vt = std::make_unique<Terminal>(&display, settings);
        lower = new RecordingLayer(kLayerTCPIP, "Recorder");
        EXPECT_EQ(vt->InsertBelow(lower), 0);
    }
    void Feed(const std::string& bytes) {
        vt->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    }
    std::string Line(int r) const { return vt->ScreenLine(r); }
    std::uint32_t ScreenCell(int c, int r) const { return vt->GetCell(c, vt->GetScrollback() + r); }
    // What the terminal sent down since the last call.
    std::string TakeSent() {
        std::string s = lower->Sent();
        lower->ClearRecords();
        return s;
    }

    MemoryDisplay display;
    std::unique_ptr<Terminal> vt;
    RecordingLayer* lower;  // owned by vt
};

}  // namespace tarnwick::testing
