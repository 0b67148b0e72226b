#include "terminal/memory_display.h"

#include <algorithm>

namespace tarnwick {

void MemoryDisplay::SetupImage(int columns, int rows, int scrollback) {
    columns_ = std::max(columns, 1);
    rows_ = std::max(rows, 1);
    scrollback_ = std::max(scrollback, 0);
    total_rows_ = rows_ + scrollback_;
    image_.Allocate(columns_, total_rows_, cell::Blank(kWhite));
    changed_.assign(static_cast<std::size_t>(total_rows_), 0);
    all_changed_ = true;
    cursor_column_ = cursor_row_ = 0;
    cursor_shown_ = false;
    inverted_ = false;
    ++setups_;
}

bool MemoryDisplay::Clip(int& c0, int& r0, int& c1, int& r1) const {
    if (total_rows_ == 0) return false;
    c0 = std::max(c0, 0);
    r0 = std::max(r0, 0);
    c1 = std::min(c1, columns_ - 1);
    r1 = std::min(r1, total_rows_ - 1);
    return c0 <= c1 && r0 <= r1;
}

void MemoryDisplay::MarkRow(int r) {
    changed_[static_cast<std::size_t>(r)] = 1;
}

void MemoryDisplay::MarkRows(int r0, int r1) {
    for (int r = r0; r <= r1; ++r)
        MarkRow(r);
}

void MemoryDisplay::ClearCells(int c0, int r0, int c1, int r1, int colour) {
    if (!Clip(c0, r0, c1, r1)) return;
    const std::uint32_t blank = cell::Blank(colour);
    for (int r = r0; r <= r1; ++r)
        image_.FillRow(r, c0, c1, blank);
    MarkRows(r0, r1);
}

void MemoryDisplay::ClearAll(int colour) {
    if (total_rows_ == 0) return;
    image_.FillRows(0, total_rows_ - 1, cell::Blank(colour));
    all_changed_ = true;
}

void MemoryDisplay::MoveRows(int c0, int r0, int c1, int r1, int c_dest, int r_dest, int colour) {
    if (!Clip(c0, r0, c1, r1)) return;
    ++moves_;
    const int height = r1 - r0 + 1;
    const int width = c1 - c0 + 1;
    // Keep the destination inside the image; a block that would leave it is cut.
    int d0 = r_dest;
    int first = 0;  // first source row (relative) that lands inside
    int last = height - 1;
    if (d0 < 0) first = -d0;
    if (r_dest + height - 1 > total_rows_ - 1) last = total_rows_ - 1 - r_dest;
    const int dc = std::max(c_dest, 0);
    const int shift_c = dc - c_dest;  // columns cut on the left
    const int copy_width = std::min(width - shift_c, columns_ - dc);
    const std::uint32_t blank = cell::Blank(colour);
    const bool full_width = c0 == 0 && c1 == columns_ - 1 && c_dest == 0;

    const int n = r0 - r_dest;  // > 0: up
    if (full_width && first == 0 && last == height - 1 && n > -height && n < height) {
        // Overlapping full-width rows: rotate the row table of their union.
        const int lo = std::min(r0, r_dest);
        const int hi = std::max(r1, r_dest + height - 1);
        if (n != 0) {
            if (lo == 0 && hi == total_rows_ - 1 && n > 0) {
                // A whole-buffer scroll only moves the ring's origin.
                image_.Rotate(n);
                all_changed_ = true;
            } else {
                image_.RotateBlock(lo, hi, n);
                MarkRows(lo, hi);
            }
            // Fill what the destination does not cover.
            if (n > 0) {
                image_.FillRows(hi - n + 1, hi, blank);
            } else {
                image_.FillRows(lo, lo - n - 1, blank);
            }
        }
        return;
    }

    // General case: copy cell by cell through a temporary block.
    if (first > last || copy_width <= 0) {
        for (int r = r0; r <= r1; ++r)
            image_.FillRow(r, c0, c1, blank);
        MarkRows(r0, r1);
        return;
    }
    std::vector<std::uint32_t> block(static_cast<std::size_t>(height) *
                                     static_cast<std::size_t>(width));
    for (int i = 0; i < height; ++i) {
        const std::uint32_t* src = image_.Row(r0 + i) + c0;
        std::copy(src, src + width, block.begin() + static_cast<std::ptrdiff_t>(i) * width);
    }
    for (int r = r0; r <= r1; ++r)
        image_.FillRow(r, c0, c1, blank);
    for (int i = first; i <= last; ++i) {
        std::uint32_t* dst = image_.Row(r_dest + i) + dc;
        const std::uint32_t* src = block.data() + static_cast<std::ptrdiff_t>(i) * width + shift_c;
        std::copy(src, src + copy_width, dst);
        MarkRow(r_dest + i);
    }
    MarkRows(r0, r1);
}

void MemoryDisplay::DrawCell(std::uint32_t value, int c, int r) {
    if (c < 0 || c >= columns_ || r < 0 || r >= total_rows_) return;
    image_.Row(r)[c] = value;
    MarkRow(r);
}

void MemoryDisplay::DrawChar(int character, int attributes, int background, int foreground, int set,
                             int c, int r, bool) {
    DrawCell(
        cell::Make(static_cast<std::uint8_t>(character), attributes, background, foreground, set),
        c, r);
}

void MemoryDisplay::DrawCells(const std::uint32_t* cells, int count, int c, int r, bool) {
    if (r < 0 || r >= total_rows_ || count <= 0) return;
    int first = std::max(c, 0);
    int end = std::min(c + count, columns_);
    if (first >= end) return;
    std::copy(cells + (first - c), cells + (end - c), image_.Row(r) + first);
    MarkRow(r);
}

void MemoryDisplay::PlaceCursor(int c, int r) {
    cursor_column_ = c;
    cursor_row_ = r;
    cursor_shown_ = true;
}

void MemoryDisplay::Flash() {
    inverted_ = !inverted_;
    ++flashes_;
}

std::uint32_t MemoryDisplay::Cell(int c, int r) const {
    if (c < 0 || c >= columns_ || r < 0 || r >= total_rows_) return 0;
    return image_.Row(r)[c];
}

std::string MemoryDisplay::RowText(int r) const {
    std::string text;
    if (r < 0 || r >= total_rows_) return text;
    const std::uint32_t* cells = image_.Row(r);
    text.reserve(static_cast<std::size_t>(columns_));
    for (int c = 0; c < columns_; ++c)
        text.push_back(static_cast<char>(cell::Character(cells[c])));
    return text;
}

std::string MemoryDisplay::ScreenLine(int r) const {
    std::string text = RowText(scrollback_ + r);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

std::vector<int> MemoryDisplay::TakeChangedRows() {
    std::vector<int> rows;
    for (int r = 0; r < total_rows_; ++r) {
        if (all_changed_ || changed_[static_cast<std::size_t>(r)]) rows.push_back(r);
        changed_[static_cast<std::size_t>(r)] = 0;
    }
    all_changed_ = false;
    return rows;
}

}  // namespace tarnwick
