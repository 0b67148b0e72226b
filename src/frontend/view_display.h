// The drawing side of a session in a graphical front end, without a toolkit: it keeps the
// session's cells (so that a font change or a disconnected session can be drawn again), an image
// of the buffer's rows in palette colours (0x00BBGGRR) that the toolkit shows as it is, the cursor
// with its blink, the visual bell and the selection.
//
// The image is drawn lazily: the terminal's operations only change cells and mark rows, and
// UpdateImage draws the marked rows the view is about to show. A stream that scrolls a thousand
// lines between two frames costs one drawing of the visible rows, not a thousand. The image is a
// cache of rows counted by line since the session began: a scroll of the whole buffer only moves
// that count, so the rows that stay keep their pixels and none is copied. Its size is bounded, so
// that a session file asking for a huge grid cannot ask for gigabytes of pixels; the history
// beyond what the cache holds is drawn again when it is scrolled into view.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "frontend/raw_font.h"
#include "frontend/selection.h"
#include "terminal/memory_display.h"
#include "terminal/terminal_display.h"

namespace tarnwick {

class Preferences;

// The one current font of all terminals. Null until a front end chooses one.
const Font* CurrentFont();
void SetCurrentFont(std::unique_ptr<Font> font);
// Whether the preferences call for another font than `current` (its size, its name or the colour
// of index 7 differ).
bool FontNeedsChange(const Font* current, const Preferences& preferences);

class ViewDisplay final : public TerminalDisplay {
  public:
    // How long the visual bell shows the inverted screen.
    static constexpr std::chrono::milliseconds kFlashTime{120};

    // `changed` is called after every operation that changes what the view shows.
    explicit ViewDisplay(std::function<void()> changed);

    // TerminalDisplay
    void SetupImage(int columns, int rows, int scrollback) override;
    void ClearCells(int c0, int r0, int c1, int r1, int colour) override;
    void ClearAll(int colour) override;
    void MoveRows(int c0, int r0, int c1, int r1, int c_dest, int r_dest, int colour) override;
    void DrawCell(std::uint32_t cell, int c, int r) override;
    void DrawChar(int character, int attributes, int background, int foreground, int set, int c,
                  int r, bool present) override;
    void DrawCells(const std::uint32_t* cells, int count, int c, int r, bool present) override;
    void HideCursor() override;
    void PlaceCursor(int c, int r) override;
    void SetCursorType(int type) override { cells_.SetCursorType(type); }
    void Flash() override;
    void Refresh() override { Changed(); }

    const MemoryDisplay& cells() const { return cells_; }
    int columns() const { return cells_.columns(); }
    int rows() const { return cells_.rows(); }
    int scrollback() const { return cells_.scrollback(); }
    int total_rows() const { return cells_.total_rows(); }

    // The image: cell size of the font it is drawn with, the pixel size of the whole buffer, and
    // the cache of rows. Row r of the buffer is drawn at cache row ImageRow(r); the pixels are
    // image_width() x (cached_rows() x cell_height()).
    void SetCellSize(int width, int height);
    int cell_width() const { return cell_width_; }
    int cell_height() const { return cell_height_; }
    int image_width() const { return columns() * cell_width_; }
    int buffer_height() const { return total_rows() * cell_height_; }
    int cached_rows() const { return cached_rows_; }
    int ImageRow(int row) const;
    const std::uint32_t* pixels() const { return pixels_.data(); }
    // Draws the rows among first..last (absolute rows) that changed or are not in the cache, with
    // font; returns how many it drew. At most cached_rows() rows can be shown at once.
    int UpdateImage(const Font& font, int first_row, int last_row);
    // Every row is drawn again (a new font, new colours).
    void MarkAll();
    bool RowMarked(int row) const;
    // The cache holds at least this many rows, more while it stays within the pixel budget.
    static constexpr int kMinCachedRows = 128;
    static constexpr std::size_t kPixelBudget = 16u << 20;  // pixels, 64 MB

    // The cursor: its cell (absolute row), its shape, and whether it shows now.
    int cursor_column() const { return cells_.cursor_column(); }
    int cursor_row() const { return cells_.cursor_row(); }
    int cursor_type() const { return cells_.cursor_type(); }
    bool CursorShown() const { return cells_.cursor_shown() && cursor_drawn_; }
    // The 500 ms timer: a blinking cursor toggles; a solid one is drawn once and stays. force
    // toggles whatever the shape. True when what the view shows changed.
    bool BlinkCursor(bool force);

    // The visual bell: true while the screen shows inverted.
    bool Flashing(std::chrono::steady_clock::time_point now) const;
    std::optional<std::chrono::steady_clock::time_point> flash_end() const { return flash_end_; }

    Selection& selection() { return selection_; }
    const Selection& selection() const { return selection_; }
    std::string SelectionText() const { return selection_.Text(cells_); }

  private:
    void Changed();
    void Mark(int r0, int r1);
    // Every cell operation clears the selection highlight, as drawing over it would.
    void Touch(int r0, int r1);

    std::function<void()> changed_;
    MemoryDisplay cells_;
    int cell_width_ = 1;
    int cell_height_ = 1;
    // Line number of buffer row 0: grows with every scroll of the whole buffer.
    long long first_line_ = 0;
    int cached_rows_ = 0;
    std::vector<std::uint32_t> pixels_;
    // The line each cache row holds, -1 for none (or one that changed since it was drawn).
    std::vector<long long> cached_line_;
    bool cursor_drawn_ = false;
    std::optional<std::chrono::steady_clock::time_point> flash_end_;
    Selection selection_;
};

// Paces the repaints of a view: however often its content changes, it is painted at most once per
// frame. The view reports changes and paints; the pacer says when the next paint is due.
class FramePacer {
  public:
    using Clock = std::chrono::steady_clock;
    explicit FramePacer(std::chrono::milliseconds frame = std::chrono::milliseconds(16))
        : frame_(frame) {}

    // Something changed at `now`. The delay after which to paint, or nothing when a paint is
    // already scheduled.
    std::optional<std::chrono::milliseconds> Changed(Clock::time_point now);
    // A paint happened at `now`.
    void Painted(Clock::time_point now);
    bool scheduled() const { return scheduled_; }

  private:
    std::chrono::milliseconds frame_;
    bool scheduled_ = false;
    std::optional<Clock::time_point> last_paint_;
};

}  // namespace tarnwick
