#include "frontend/selection.h"

#include <algorithm>

#include "platform/text.h"
#include "terminal/cell.h"
#include "terminal/memory_display.h"

namespace tarnwick {

namespace {

bool Before(CellPosition a, CellPosition b) {
    return a.row < b.row || (a.row == b.row && a.column < b.column);
}

}  // namespace

void Selection::Start(CellPosition cell) {
    active_ = true;
    anchor_ = cell;
    end_ = cell;
}

void Selection::Extend(CellPosition cell) {
    if (active_) end_ = cell;
}

CellPosition Selection::First() const {
    return Before(end_, anchor_) ? end_ : anchor_;
}

CellPosition Selection::Last() const {
    return Before(end_, anchor_) ? anchor_ : end_;
}

bool Selection::RowSpan(int row, int columns, int& first_column, int& last_column) const {
    if (!active_ || columns <= 0) return false;
    const CellPosition first = First();
    const CellPosition last = Last();
    if (row < first.row || row > last.row) return false;
    first_column = row == first.row ? std::clamp(first.column, 0, columns - 1) : 0;
    last_column = row == last.row ? std::clamp(last.column, 0, columns - 1) : columns - 1;
    return first_column <= last_column;
}

std::string Selection::Text(const MemoryDisplay& cells) const {
    std::string text;
    if (!active_) return text;
    const CellPosition first = First();
    const CellPosition last = Last();
    const int top = std::max(first.row, 0);
    const int bottom = std::min(last.row, cells.total_rows() - 1);
    for (int row = top; row <= bottom; ++row) {
        if (row > top) text += "\r\n";
        int c0 = 0, c1 = 0;
        if (!RowSpan(row, cells.columns(), c0, c1)) continue;
        std::u16string line;
        for (int c = c0; c <= c1; ++c) {
            const char32_t glyph = CellGlyph(cells.Cell(c, row));
            // Every character a cell can show lies in the Basic Multilingual Plane.
            line.push_back(glyph <= 0xFFFF ? static_cast<char16_t>(glyph) : u'?');
        }
        while (!line.empty() && line.back() == u' ')
            line.pop_back();
        text += Utf16ToUtf8(line);
    }
    return text;
}

std::string PasteBytes(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            // A line feed that follows a carriage return ends the same line.
            if (i == 0 || text[i - 1] != '\r') bytes.push_back('\r');
            continue;
        }
        bytes.push_back(c);
    }
    return bytes;
}

}  // namespace tarnwick
