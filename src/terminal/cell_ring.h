// Rows of cells kept as a ring with a row-index table, so that scrolling never copies cells:
// scrolling the whole buffer moves the ring's base (one addition, whatever the number of rows),
// and scrolling a block of rows rotates that block's entries of the index table. The screen
// model and the memory display both keep their cells in one.
//
// Rows are addressed logically, 0 being the first (for the screen model: the oldest scroll-back
// line). After a scroll the rows that were pushed out reappear at the other end with stale
// contents; the caller fills them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarnwick {

class CellRing {
  public:
    CellRing() = default;

    // Sizes the ring to rows x columns cells, every one of them fill. Both must be at least 1.
    void Allocate(int columns, int rows, std::uint32_t fill) {
        columns_ = columns;
        rows_ = rows;
        base_ = 0;
        cells_.assign(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows), fill);
        slots_.resize(static_cast<std::size_t>(rows));
        for (int i = 0; i < rows; ++i)
            slots_[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(i);
        scratch_.reserve(static_cast<std::size_t>(rows));
    }

    int columns() const { return columns_; }
    int rows() const { return rows_; }

    std::uint32_t* Row(int row) { return cells_.data() + Offset(row); }
    const std::uint32_t* Row(int row) const { return cells_.data() + Offset(row); }

    void FillRow(int row, int first_column, int last_column, std::uint32_t value) {
        std::uint32_t* cells = Row(row);
        std::fill(cells + first_column, cells + last_column + 1, value);
    }
    void FillRows(int first_row, int last_row, std::uint32_t value) {
        for (int r = first_row; r <= last_row; ++r)
            FillRow(r, 0, columns_ - 1, value);
    }

    // Every row moves up by n (0 < n < rows): row r shows what row r + n showed; the first n rows
    // become the last n.
    void Rotate(int n) {
        base_ += n % rows_;
        if (base_ >= rows_) base_ -= rows_;
    }

    // Rows first..last move up by n (n > 0) or down by -n (n < 0) among themselves, |n| smaller
    // than the block; the rows moved out of the block reappear at its other end.
    void RotateBlock(int first, int last, int n) {
        const int height = last - first + 1;
        if (height <= 1 || n == 0) return;
        int shift = n % height;
        if (shift < 0) shift += height;
        scratch_.resize(static_cast<std::size_t>(height));
        for (int i = 0; i < height; ++i)
            scratch_[static_cast<std::size_t>(i)] = slots_[Slot(first + i)];
        for (int i = 0; i < height; ++i) {
            int from = i + shift;
            if (from >= height) from -= height;
            slots_[Slot(first + i)] = scratch_[static_cast<std::size_t>(from)];
        }
    }

  private:
    std::size_t Slot(int row) const {
        int slot = base_ + row;
        if (slot >= rows_) slot -= rows_;
        return static_cast<std::size_t>(slot);
    }
    std::size_t Offset(int row) const {
        return static_cast<std::size_t>(slots_[Slot(row)]) * static_cast<std::size_t>(columns_);
    }

    int columns_ = 0;
    int rows_ = 0;
    int base_ = 0;
    std::vector<std::uint32_t> cells_;
    std::vector<std::uint32_t> slots_;
    std::vector<std::uint32_t> scratch_;
};

}  // namespace tarnwick
