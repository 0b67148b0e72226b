// The terminal view: shows the current session's image (scroll-back and screen) with scroll bars,
// the cursor, the selection and the visual bell; turns key events into key codes for the session
// and mouse drags into selections; copies and pastes through the clipboard and the primary
// selection. Paints at most once per display frame, and only the rows that changed are drawn
// into the image.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>
#include <QTimer>
#include <functional>

#include "frontend/view_display.h"
#include "terminal/key_handling.h"

namespace tarnwick {

class Session;
class VT;

class TerminalView final : public QAbstractScrollArea {
    Q_OBJECT

  public:
    // `current` gives the session to show (asked each time, so that a session the list has
    // destroyed is never reached); `accelerator` gets every key event first and answers whether
    // it was a main-window command.
    TerminalView(QWidget* parent, std::function<Session*()> current,
                 std::function<bool(QKeyEvent*)> accelerator);

    // The session shown, or nullptr.
    Session* session() const { return current_ ? current_() : nullptr; }
    ViewDisplay* display() const;
    // Another session became current: its screen is shown. A selection in progress ends; the
    // terminal it paused is handed back to be resumed if it still exists.
    VT* CurrentChanged();

    // The session's display changed; a paint follows within a frame.
    void DisplayChanged(ViewDisplay* display);
    // The geometry of the image changed (new session, new font): the scroll bars follow.
    void UpdateGeometry();
    // Shows the screen (below the scroll-back) from its first column.
    void ShowScreen();
    // Keeps the cursor in sight (the "Keep Cursor Onscreen" preference).
    void FollowCursor();
    // The 500 ms timer: blinks the cursor.
    void Tick();

    void SetKeyboardOptions(const KeyboardOptions& options) { keys_.SetOptions(options); }
    const KeyHandler& keys() const { return keys_; }

    // The selection and the clipboard.
    bool HasSelection() const;
    void CopySelection();
    // Pastes the clipboard (or the primary selection) into the current session.
    void PasteClipboard(bool primary = false);
    void PasteText(const QString& text);

    // The size that shows the whole screen without scrolling.
    QSize sizeHint() const override;
    // Paints so far (for the tests and the benchmark).
    int paints() const { return paints_; }
    int rows_drawn() const { return rows_drawn_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool focusNextPrevChild(bool) override { return false; }  // Tab belongs to the session
    bool event(QEvent* event) override;

  private:
    CellPosition CellAt(QPoint point) const;
    void EndSelection(QPoint point);
    void SchedulePaint();
    void HandleKey(QKeyEvent* event);
    QRect ImageRectOfCell(int column, int row, int columns) const;
    // Inverts the colours of an area of the frame.
    void Invert(QRect area);

    std::function<Session*()> current_;
    std::function<bool(QKeyEvent*)> accelerator_;
    VT* paused_ = nullptr;  // the terminal a selection in progress paused
    KeyHandler keys_;
    FramePacer pacer_;
    QImage frame_;
    QTimer paint_timer_;
    QTimer flash_timer_;
    bool selecting_ = false;
    bool show_screen_pending_ = false;
    QSize image_size_;
    QSize cell_size_{1, 1};
    int paints_ = 0;
    int rows_drawn_ = 0;
};

}  // namespace tarnwick
