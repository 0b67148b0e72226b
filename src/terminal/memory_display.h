// A display that keeps its image as cells in memory: what the terminal asked it to draw, the
// cursor, and counts of flashes, refreshes and scrolls. The tests compare it with the screen
// model; the console front end reads it and redraws the rows it marks as changed.
//
// Every operation checks its coordinates against the image, so a caller's mistake cannot write
// outside it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "terminal/cell_ring.h"
#include "terminal/terminal_display.h"

namespace tarnwick {

class MemoryDisplay final : public TerminalDisplay {
  public:
    MemoryDisplay() = default;

    void SetupImage(int columns, int rows, int scrollback) override;
    void ClearCells(int c0, int r0, int c1, int r1, int colour) override;
    void ClearAll(int colour) override;
    void MoveRows(int c0, int r0, int c1, int r1, int c_dest, int r_dest, int colour) override;
    void DrawCell(std::uint32_t cell, int c, int r) override;
    void DrawChar(int character, int attributes, int background, int foreground, int set, int c,
                  int r, bool present) override;
    void DrawCells(const std::uint32_t* cells, int count, int c, int r, bool present) override;
    void HideCursor() override { cursor_shown_ = false; }
    void PlaceCursor(int c, int r) override;
    void SetCursorType(int type) override { cursor_type_ = type; }
    void Flash() override;
    void Refresh() override { ++refreshes_; }

    int columns() const { return columns_; }
    int total_rows() const { return total_rows_; }
    int rows() const { return rows_; }
    int scrollback() const { return scrollback_; }

    // The cell at column c of absolute row r, 0 outside the image.
    std::uint32_t Cell(int c, int r) const;
    // The characters of absolute row r as bytes (trailing blanks included).
    std::string RowText(int r) const;
    // The characters of visible row r (0 is the top of the screen), trailing spaces removed.
    std::string ScreenLine(int r) const;

    int cursor_column() const { return cursor_column_; }
    int cursor_row() const { return cursor_row_; }  // absolute row
    bool cursor_shown() const { return cursor_shown_; }
    int cursor_type() const { return cursor_type_; }
    bool inverted() const { return inverted_; }
    int flashes() const { return flashes_; }
    int refreshes() const { return refreshes_; }
    int moves() const { return moves_; }  // MoveRows calls
    int setups() const { return setups_; }

    // Rows changed since the last call (absolute rows in ascending order), for a front end that
    // redraws only what changed. A whole-buffer scroll marks every row.
    std::vector<int> TakeChangedRows();

  private:
    bool Clip(int& c0, int& r0, int& c1, int& r1) const;
    void MarkRow(int r);
    void MarkRows(int r0, int r1);

    int columns_ = 0;
    int rows_ = 0;
    int scrollback_ = 0;
    int total_rows_ = 0;
    CellRing image_;
    std::vector<std::uint8_t> changed_;
    bool all_changed_ = false;
    int cursor_column_ = 0;
    int cursor_row_ = 0;
    bool cursor_shown_ = false;
    int cursor_type_ = kCursorBlinkingBlock;
    bool inverted_ = false;
    int flashes_ = 0;
    int refreshes_ = 0;
    int moves_ = 0;
    int setups_ = 0;
};

}  // namespace tarnwick
