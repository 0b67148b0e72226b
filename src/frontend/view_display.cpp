#include "frontend/view_display.h"

#include <algorithm>
#include <mutex>

#include "core/preferences.h"
#include "platform/text.h"

namespace tarnwick {

namespace {

std::mutex g_font_mutex;
std::unique_ptr<Font> g_font;

}  // namespace

const Font* CurrentFont() {
    std::lock_guard<std::mutex> guard(g_font_mutex);
    return g_font.get();
}

void SetCurrentFont(std::unique_ptr<Font> font) {
    std::lock_guard<std::mutex> guard(g_font_mutex);
    g_font = std::move(font);
}

bool FontNeedsChange(const Font* current, const Preferences& preferences) {
    if (current == nullptr) return true;
    const std::string name = Utf16ToUtf8(preferences.GetWide(pref::Font));
    return current->GetSize() != preferences.GetInt(pref::FontSize) || current->GetName() != name ||
           current->GetCachedColour() != SharedPalette()[kWhite];
}

// ---------------------------------------------------------------------------------------------
// ViewDisplay

ViewDisplay::ViewDisplay(std::function<void()> changed) : changed_(std::move(changed)) {}

void ViewDisplay::Changed() {
    if (changed_) changed_();
}

int ViewDisplay::ImageRow(int row) const {
    if (cached_rows_ <= 0) return 0;
    return static_cast<int>((first_line_ + row) % cached_rows_);
}

void ViewDisplay::Mark(int r0, int r1) {
    r0 = std::max(r0, 0);
    r1 = std::min(r1, total_rows() - 1);
    for (int r = r0; r <= r1; ++r) {
        long long& line = cached_line_[static_cast<std::size_t>(ImageRow(r))];
        if (line == first_line_ + r) line = -1;
    }
}

void ViewDisplay::MarkAll() {
    std::fill(cached_line_.begin(), cached_line_.end(), -1);
}

bool ViewDisplay::RowMarked(int row) const {
    if (row < 0 || row >= total_rows() || cached_rows_ <= 0) return false;
    return cached_line_[static_cast<std::size_t>(ImageRow(row))] != first_line_ + row;
}

void ViewDisplay::Touch(int r0, int r1) {
    selection_.Clear();
    Mark(r0, r1);
}

void ViewDisplay::SetCellSize(int width, int height) {
    cell_width_ = std::max(width, 1);
    cell_height_ = std::max(height, 1);
    const std::size_t row_pixels = static_cast<std::size_t>(image_width()) * cell_height_;
    const std::size_t affordable = row_pixels > 0 ? kPixelBudget / row_pixels : 0;
    cached_rows_ =
        std::min(total_rows(), static_cast<int>(std::max<std::size_t>(kMinCachedRows, affordable)));
    pixels_.assign(row_pixels * static_cast<std::size_t>(cached_rows_), SharedPalette()[kWhite]);
    cached_line_.assign(static_cast<std::size_t>(cached_rows_), -1);
    Changed();
}

void ViewDisplay::SetupImage(int columns, int rows, int scrollback) {
    cells_.SetupImage(columns, rows, scrollback);
    first_line_ = 0;
    selection_.Clear();
    cursor_drawn_ = false;
    SetCellSize(cell_width_, cell_height_);
}

void ViewDisplay::ClearCells(int c0, int r0, int c1, int r1, int colour) {
    cells_.ClearCells(c0, r0, c1, r1, colour);
    Touch(r0, r1);
    Changed();
}

void ViewDisplay::ClearAll(int colour) {
    cells_.ClearAll(colour);
    selection_.Clear();
    MarkAll();
    Changed();
}

void ViewDisplay::MoveRows(int c0, int r0, int c1, int r1, int c_dest, int r_dest, int colour) {
    cells_.MoveRows(c0, r0, c1, r1, c_dest, r_dest, colour);
    selection_.Clear();
    const int total = total_rows();
    const int height = r1 - r0 + 1;
    const int n = r0 - r_dest;
    // The same test as the cells' own: full rows from the top of the buffer to its bottom.
    const bool whole_buffer = c0 <= 0 && c1 >= columns() - 1 && c_dest == 0 && n > 0 &&
                              n < height && r_dest == 0 && r1 == total - 1;
    if (whole_buffer && total > 0) {
        // Row r now shows what row r + n showed: the same line, still in the cache. The rows that
        // come in at the bottom are new lines.
        first_line_ += n;
    } else {
        Mark(std::min(r0, r_dest), std::max(r1, r_dest + height - 1));
    }
    Changed();
}

void ViewDisplay::DrawCell(std::uint32_t cell, int c, int r) {
    cells_.DrawCell(cell, c, r);
    Touch(r, r);
}

void ViewDisplay::DrawChar(int character, int attributes, int background, int foreground, int set,
                           int c, int r, bool present) {
    cells_.DrawChar(character, attributes, background, foreground, set, c, r, present);
    Touch(r, r);
    if (present) Changed();
}

void ViewDisplay::DrawCells(const std::uint32_t* cells, int count, int c, int r, bool present) {
    cells_.DrawCells(cells, count, c, r, present);
    Touch(r, r);
    if (present) Changed();
}

void ViewDisplay::HideCursor() {
    cells_.HideCursor();
    cursor_drawn_ = false;
    Changed();
}

void ViewDisplay::PlaceCursor(int c, int r) {
    cells_.PlaceCursor(c, r);
    // A cursor that has just moved shows at once; the blink starts again from there.
    cursor_drawn_ = true;
    Changed();
}

bool ViewDisplay::BlinkCursor(bool force) {
    if (!force) {
        if (!cells_.cursor_shown()) return false;
        const int type = cells_.cursor_type();
        const bool solid = type == kCursorSolidBlock || type == kCursorSolidUnderscore;
        if (solid && cursor_drawn_) return false;
    }
    cursor_drawn_ = !cursor_drawn_;
    return true;
}

void ViewDisplay::Flash() {
    // The terminal flashes twice in a row, 10 ms apart: to a person that is one flash, so the two
    // make one inversion that lasts long enough to be seen.
    const auto now = std::chrono::steady_clock::now();
    if (!Flashing(now)) flash_end_ = now + kFlashTime;
    Changed();
}

bool ViewDisplay::Flashing(std::chrono::steady_clock::time_point now) const {
    return flash_end_.has_value() && now < *flash_end_;
}

int ViewDisplay::UpdateImage(const Font& font, int first_row, int last_row) {
    if (font.GetCharWidth() != cell_width_ || font.GetCharHeight() != cell_height_) {
        SetCellSize(font.GetCharWidth(), font.GetCharHeight());
    }
    first_row = std::max(first_row, 0);
    last_row = std::min(last_row, total_rows() - 1);
    // Rows beyond what the cache holds at once would overwrite each other.
    last_row = std::min(last_row, first_row + cached_rows_ - 1);
    PixelBuffer target{pixels_.data(), image_width(), cached_rows_ * cell_height_, image_width()};
    int drawn = 0;
    for (int r = first_row; r <= last_row; ++r) {
        const int image_row = ImageRow(r);
        long long& line = cached_line_[static_cast<std::size_t>(image_row)];
        if (line == first_line_ + r) continue;
        line = first_line_ + r;
        const int y = image_row * cell_height_;
        for (int c = 0; c < columns(); ++c) {
            const std::uint32_t v = cells_.Cell(c, r);
            font.DrawGlyph(target, cell::Character(v), cell::Attributes(v), cell::Background(v),
                           cell::Foreground(v), cell::Set(v), c * cell_width_, y);
        }
        ++drawn;
    }
    return drawn;
}

// ---------------------------------------------------------------------------------------------
// FramePacer

std::optional<std::chrono::milliseconds> FramePacer::Changed(Clock::time_point now) {
    if (scheduled_) return std::nullopt;
    scheduled_ = true;
    if (!last_paint_) return std::chrono::milliseconds(0);
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - *last_paint_);
    return since >= frame_ ? std::chrono::milliseconds(0) : frame_ - since;
}

void FramePacer::Painted(Clock::time_point now) {
    scheduled_ = false;
    last_paint_ = now;
}

}  // namespace tarnwick
