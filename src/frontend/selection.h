// Text selection in a session's buffer and the text that crosses the clipboard, without a toolkit.
// A selection runs in reading order from its anchor to its end cell, rows counted from the oldest
// scroll-back line, so it may start in the history and end on the screen.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

class MemoryDisplay;

struct CellPosition {
    int column = 0;
    int row = 0;  // absolute: 0 is the oldest scroll-back line
};

class Selection {
  public:
    // The mouse went down on a cell: anchor and end are both that cell.
    void Start(CellPosition cell);
    // The mouse moved to a cell (anchor stays).
    void Extend(CellPosition cell);
    void Clear() { active_ = false; }
    bool Active() const { return active_; }

    // Anchor and end in reading order.
    CellPosition First() const;
    CellPosition Last() const;
    // The selected columns of row r out of `columns`; false when the row is not selected.
    bool RowSpan(int row, int columns, int& first_column, int& last_column) const;

    // The selected text as UTF-8: each row's cells from the first selected column to the last,
    // trailing blanks dropped, rows joined by CR LF. Cells show as the characters they stand for
    // in their character set (line drawing, the pound sign).
    std::string Text(const MemoryDisplay& cells) const;

  private:
    bool active_ = false;
    CellPosition anchor_;
    CellPosition end_;
};

// Clipboard text (UTF-8) as the bytes a paste types: a line ends in a carriage return alone, as
// the Return key would send it. CR LF and a lone LF both become CR.
std::string PasteBytes(std::string_view text);

}  // namespace tarnwick
