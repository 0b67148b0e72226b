// The drawing side of a session: it keeps an image of the whole buffer (scroll-back and screen)
// that the screen model updates cell by cell as the interpreter changes the grid. The Qt view
// paints pixels; the memory display (memory_display.h) keeps cells for the tests and the console
// front end.
//
// Rows are absolute row-table indexes, scroll-back included (0 is the oldest scroll-back line);
// rectangles are inclusive cell ranges. Colours are the indexes 0-7 of cell.h.
#pragma once

#include <cstdint>

#include "terminal/cell.h"

namespace tarnwick {

// Cursor shapes of the `cursor_type` setting.
enum CursorType : int {
    kCursorBlinkingBlock = 0,
    kCursorSolidBlock = 1,
    kCursorBlinkingUnderscore = 2,
    kCursorSolidUnderscore = 3,
};

class TerminalDisplay {
  public:
    virtual ~TerminalDisplay() = default;

    // Sizes the image for the terminal's grid (the terminal calls it once, when it is built) and
    // clears it to colour 7.
    virtual void SetupImage(int columns, int rows, int scrollback) = 0;

    // Fills the cells c0..c1 x r0..r1 with blanks of the given background colour.
    virtual void ClearCells(int c0, int r0, int c1, int r1, int colour) = 0;
    virtual void ClearAll(int colour) = 0;
    // Moves the image of the block c0..c1 x r0..r1 so that its top-left corner lands on
    // (c_dest, r_dest), then fills the part of the source the destination does not cover with
    // blanks of colour. The terminal uses it for every scroll, so it doubles as the scroll hint.
    virtual void MoveRows(int c0, int r0, int c1, int r1, int c_dest, int r_dest, int colour) = 0;

    // Draws one cell value without showing it yet (a Refresh follows).
    virtual void DrawCell(std::uint32_t cell, int c, int r) = 0;
    // Draws one character; present asks for it to be shown at once.
    virtual void DrawChar(int character, int attributes, int background, int foreground, int set,
                          int c, int r, bool present) = 0;
    // Draws count consecutive cells of row r from column c on: the fast path for runs of text.
    // The default draws them one by one.
    virtual void DrawCells(const std::uint32_t* cells, int count, int c, int r, bool present) {
        for (int i = 0; i < count; ++i) {
            if (present) {
                const std::uint32_t v = cells[i];
                DrawChar(cell::Character(v), cell::Attributes(v), cell::Background(v),
                         cell::Foreground(v), cell::Set(v), c + i, r, true);
            } else {
                DrawCell(cells[i], c + i, r);
            }
        }
    }

    virtual void HideCursor() = 0;
    virtual void PlaceCursor(int c, int r) = 0;
    // The cursor's shape, from the session's `cursor_type` setting.
    virtual void SetCursorType(int type) = 0;

    // Inverts the whole image and shows it (the visual bell flashes twice).
    virtual void Flash() = 0;
    // Shows the whole image.
    virtual void Refresh() = 0;
};

}  // namespace tarnwick
