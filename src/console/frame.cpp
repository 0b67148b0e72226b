#include "console/frame.h"

#include <algorithm>

#include "platform/text.h"
#include "terminal/cell.h"
#include "terminal/memory_display.h"

namespace tarnwick {

void Frame::Resize(int r, int c) {
    rows = r < 0 ? 0 : r;
    columns = c < 0 ? 0 : c;
    cells.assign(static_cast<std::size_t>(rows * columns), FrameCell{});
    cursor_row = -1;
}

void Frame::Text(int r, int c, const std::string& utf8, std::uint8_t attrs) {
    if (r < 0 || r >= rows) return;
    std::u16string wide = Utf8ToUtf16(utf8);
    for (std::size_t i = 0; i < wide.size() && c < columns; ++i) {
        char32_t ch = wide[i];
        if (ch >= 0xD800 && ch <= 0xDBFF && i + 1 < wide.size()) {
            ch = 0x10000 + ((ch - 0xD800) << 10) + (wide[++i] - 0xDC00);
        }
        if (ch < 0x20 || ch == 0x7F) ch = U' ';
        if (c >= 0) {
            FrameCell& cell = At(r, c);
            cell.ch = ch;
            cell.attrs = attrs;
        }
        ++c;
    }
}

void Frame::FillRow(int r, std::uint8_t attrs) {
    if (r < 0 || r >= rows) return;
    for (int c = 0; c < columns; ++c)
        At(r, c) = FrameCell{U' ', FrameCell::kDefaultColour, FrameCell::kDefaultColour, attrs};
}

void ComposeSessionScreen(const MemoryDisplay& display, Frame& frame, int height, int& top,
                          int& left) {
    const int rows = display.rows();
    const int columns = display.columns();
    const int width = frame.columns;
    if (height > frame.rows) height = frame.rows;
    if (height <= 0 || width <= 0) return;
    const int cursor_row = display.cursor_row() - display.scrollback();
    const int cursor_column = display.cursor_column();

    // Keep the window where it was unless the cursor left it.
    const int max_top = rows > height ? rows - height : 0;
    const int max_left = columns > width ? columns - width : 0;
    if (cursor_row < top || cursor_row >= top + height) top = cursor_row - height + 1;
    if (cursor_column < left || cursor_column >= left + width) left = cursor_column - width / 2;
    top = std::clamp(top, 0, max_top);
    left = std::clamp(left, 0, max_left);

    const bool inverted = display.inverted();  // the visual bell
    for (int r = 0; r < height && r + top < rows; ++r) {
        const int absolute = display.scrollback() + top + r;
        for (int c = 0; c < width && c + left < columns; ++c) {
            const std::uint32_t value = display.Cell(c + left, absolute);
            FrameCell& out = frame.At(r, c);
            out.ch = CellGlyph(value);
            int fg = cell::Foreground(value) & 7;
            int bg = cell::Background(value);
            out.fg = fg == cell::kDefaultForeground ? FrameCell::kDefaultColour
                                                    : static_cast<std::uint8_t>(fg);
            out.bg = bg == cell::kDefaultBackground ? FrameCell::kDefaultColour
                                                    : static_cast<std::uint8_t>(bg);
            int attributes = cell::Attributes(value);
            std::uint8_t attrs = 0;
            if (attributes & kAttrBold) attrs |= FrameCell::kBold;
            if (attributes & kAttrUnderline) attrs |= FrameCell::kUnderline;
            if (attributes & kAttrBlink) attrs |= FrameCell::kBlink;
            if (((attributes & kAttrReverse) != 0) != inverted) attrs |= FrameCell::kReverse;
            out.attrs = attrs;
        }
    }
    if (display.cursor_shown() && cursor_row >= top && cursor_row < top + height &&
        cursor_column >= left && cursor_column < left + width) {
        frame.cursor_row = cursor_row - top;
        frame.cursor_column = cursor_column - left;
    }
    frame.cursor_shape = display.cursor_type();
}

std::string EncodeUtf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

namespace {

std::string Style(const FrameCell& cell) {
    std::string sgr = "\x1b[0";
    if (cell.attrs & FrameCell::kBold) sgr += ";1";
    if (cell.attrs & FrameCell::kUnderline) sgr += ";4";
    if (cell.attrs & FrameCell::kBlink) sgr += ";5";
    if (cell.attrs & FrameCell::kReverse) sgr += ";7";
    if (cell.fg != FrameCell::kDefaultColour) sgr += ";3" + std::to_string(cell.fg);
    if (cell.bg != FrameCell::kDefaultColour) sgr += ";4" + std::to_string(cell.bg);
    return sgr + "m";
}

bool SameStyle(const FrameCell& a, const FrameCell& b) {
    return a.fg == b.fg && a.bg == b.bg && a.attrs == b.attrs;
}

}  // namespace

std::string FrameWriter::Update(const Frame& frame) {
    std::string out = "\x1b[?25l";  // no cursor flicker while rows are rewritten
    const bool full = previous_.rows != frame.rows || previous_.columns != frame.columns;
    if (full) out += "\x1b[0m\x1b[H\x1b[2J";
    bool have_style = false;
    FrameCell style;
    for (int r = 0; r < frame.rows; ++r) {
        int c = 0;
        while (c < frame.columns) {
            if (!full && frame.At(r, c) == previous_.At(r, c)) {
                ++c;
                continue;
            }
            // Rewrite from the first changed cell to the last changed one of this row.
            int last = frame.columns - 1;
            if (!full) {
                while (last > c && frame.At(r, last) == previous_.At(r, last))
                    --last;
            }
            out += "\x1b[" + std::to_string(r + 1) + ";" + std::to_string(c + 1) + "H";
            for (; c <= last; ++c) {
                const FrameCell& cell = frame.At(r, c);
                if (!have_style || !SameStyle(cell, style)) {
                    out += Style(cell);
                    style = cell;
                    have_style = true;
                }
                // Writing the very last cell of the screen must not scroll the host terminal;
                // the auto-wrap of terminals defers the wrap, so it is safe here.
                out += EncodeUtf8(cell.ch);
            }
            break;
        }
    }
    out += "\x1b[0m";
    if (frame.cursor_row >= 0) {
        // Blinking block 1, steady block 2, blinking underline 3, steady underline 4.
        out += "\x1b[" + std::to_string(frame.cursor_shape + 1) + " q";
        out += "\x1b[" + std::to_string(frame.cursor_row + 1) + ";" +
               std::to_string(frame.cursor_column + 1) + "H\x1b[?25h";
    }
    previous_ = frame;
    return out;
}

}  // namespace tarnwick
