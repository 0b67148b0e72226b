// What the console front end shows, as a grid of styled characters, and the writer that turns
// a frame into the escape sequences that update the host terminal from the previous frame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick {

class MemoryDisplay;

struct FrameCell {
    static constexpr std::uint8_t kDefaultColour = 9;
    static constexpr std::uint8_t kBold = 1, kUnderline = 2, kBlink = 4, kReverse = 8;

    char32_t ch = U' ';
    std::uint8_t fg = kDefaultColour;  // 0-7, or the host's default
    std::uint8_t bg = kDefaultColour;
    std::uint8_t attrs = 0;

    bool operator==(const FrameCell& o) const {
        return ch == o.ch && fg == o.fg && bg == o.bg && attrs == o.attrs;
    }
};

struct Frame {
    int rows = 0;
    int columns = 0;
    std::vector<FrameCell> cells;
    // Where the host cursor goes; hidden when row < 0.
    int cursor_row = -1;
    int cursor_column = 0;
    int cursor_shape = 0;  // the session's cursor type

    void Resize(int r, int c);
    FrameCell& At(int r, int c) { return cells[static_cast<std::size_t>(r * columns + c)]; }
    const FrameCell& At(int r, int c) const {
        return cells[static_cast<std::size_t>(r * columns + c)];
    }
    // Writes text (UTF-8) at row r from column c on, clipped to the frame.
    void Text(int r, int c, const std::string& utf8, std::uint8_t attrs = 0);
    void FillRow(int r, std::uint8_t attrs);
};

// Copies the visible part of a session's screen into rows [0, height) of the frame. The window
// follows the cursor when the session's screen is larger than the space given; top and left keep
// the window's position between calls.
void ComposeSessionScreen(const MemoryDisplay& display, Frame& frame, int height, int& top,
                          int& left);

class FrameWriter {
  public:
    // The bytes that bring the host terminal from the last frame written to this one.
    std::string Update(const Frame& frame);
    // Forget what the host shows, so the next update redraws everything.
    void Invalidate() { previous_ = Frame(); }

  private:
    Frame previous_;
};

std::string EncodeUtf8(char32_t c);

}  // namespace tarnwick
