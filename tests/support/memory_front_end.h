// A front end for session tests: every session draws into a memory display, and the test can read
// a session's screen as text.
#pragma once

#include <memory>
#include <string>

#include "session/session.h"
#include "terminal/memory_display.h"

namespace tarnwick::testing {

class MemoryFrontEnd : public SessionFrontEnd {
  public:
    std::unique_ptr<TerminalDisplay> CreateDisplay(Session&) override {
        return std::make_unique<MemoryDisplay>();
    }
    void SessionUpdated(Session*) override { ++updates; }
    void CurrentChanged(Session* s) override { last_current = s; }

    int updates = 0;
    Session* last_current = nullptr;
};

// The visible screen of a session, one line per row, trailing blanks removed.
inline std::string ScreenText(Session* session) {
    auto* display = static_cast<MemoryDisplay*>(session->GetDisplay());
    std::string text;
    for (int r = 0; r < display->rows(); ++r)
        text += display->ScreenLine(r) + "\n";
    return text;
}

}  // namespace tarnwick::testing
