#include "ui/terminal_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

#include "core/io.h"
#include "core/preferences.h"
#include "session/session.h"
#include "terminal/vt.h"
#include "ui/key_map.h"

namespace tarnwick {

namespace {

using Clock = std::chrono::steady_clock;

QColor ColourOf(std::uint32_t palette_value) {
    return QColor(static_cast<int>(palette_value & 0xFF),
                  static_cast<int>((palette_value >> 8) & 0xFF),
                  static_cast<int>((palette_value >> 16) & 0xFF));
}

}  // namespace

TerminalView::TerminalView(QWidget* parent, std::function<Session*()> current,
                           std::function<bool(QKeyEvent*)> accelerator)
    : QAbstractScrollArea(parent),
      current_(std::move(current)),
      accelerator_(std::move(accelerator)) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameShape(QFrame::NoFrame);
    paint_timer_.setSingleShot(true);
    connect(&paint_timer_, &QTimer::timeout, this, [this] { viewport()->update(); });
    flash_timer_.setSingleShot(true);
    connect(&flash_timer_, &QTimer::timeout, this, [this] { viewport()->update(); });
}

ViewDisplay* TerminalView::display() const {
    Session* current = session();
    return current != nullptr ? static_cast<ViewDisplay*>(current->GetDisplay()) : nullptr;
}

VT* TerminalView::CurrentChanged() {
    VT* paused = paused_;
    paused_ = nullptr;
    selecting_ = false;
    // A new session's terminal sizes its image after it has become current: the screen is shown
    // once there is one.
    show_screen_pending_ = true;
    image_size_ = {};
    DisplayChanged(display());
    viewport()->update();
    return paused;
}

void TerminalView::DisplayChanged(ViewDisplay* changed) {
    if (changed == nullptr || changed != display()) return;
    const QSize size(changed->image_width(),
                     changed->total_rows() > 0 ? changed->buffer_height() : 0);
    if (size != image_size_) {
        // A new font keeps the same rows and columns in view.
        const QSize cell(changed->cell_width(), changed->cell_height());
        const int row = verticalScrollBar()->value() / std::max(1, cell_size_.height());
        const int column = horizontalScrollBar()->value() / std::max(1, cell_size_.width());
        const bool rescale = !image_size_.isEmpty() && cell != cell_size_;
        image_size_ = size;
        cell_size_ = cell;
        UpdateGeometry();
        if (rescale) {
            verticalScrollBar()->setValue(row * cell.height());
            horizontalScrollBar()->setValue(column * cell.width());
        }
    }
    if (show_screen_pending_ && size.height() > 0) {
        show_screen_pending_ = false;
        ShowScreen();
    }
    if (auto end = changed->flash_end()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*end - Clock::now());
        if (left.count() > 0 && !flash_timer_.isActive()) {
            flash_timer_.start(static_cast<int>(left.count()) + 1);
        }
    }
    SchedulePaint();
}

void TerminalView::SchedulePaint() {
    // The interpreter calls this for every change: once a paint is due, nothing more to do.
    if (pacer_.scheduled()) return;
    if (auto delay = pacer_.Changed(Clock::now())) {
        paint_timer_.start(static_cast<int>(delay->count()));
    }
}

QSize TerminalView::sizeHint() const {
    const ViewDisplay* d = display();
    if (d == nullptr) return {640, 400};
    const int width = d->image_width() + verticalScrollBar()->sizeHint().width();
    return {width, d->rows() * d->cell_height()};
}

void TerminalView::UpdateGeometry() {
    const ViewDisplay* d = display();
    const int image_width = d != nullptr ? d->image_width() : 0;
    const int image_height = d != nullptr ? d->buffer_height() : 0;
    const int cw = d != nullptr ? d->cell_width() : 1;
    const int ch = d != nullptr ? d->cell_height() : 1;
    const QSize area = viewport()->size();
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    v->setRange(0, std::max(0, image_height - area.height()));
    v->setSingleStep(ch);
    v->setPageStep(std::max(1, area.height() / ch) * ch);
    h->setRange(0, std::max(0, image_width - area.width()));
    h->setSingleStep(cw);
    h->setPageStep(std::max(1, area.width() / cw) * cw);
}

void TerminalView::ShowScreen() {
    const ViewDisplay* d = display();
    horizontalScrollBar()->setValue(0);
    verticalScrollBar()->setValue(d != nullptr ? d->scrollback() * d->cell_height() : 0);
}

void TerminalView::FollowCursor() {
    const ViewDisplay* d = display();
    if (d == nullptr || !d->cells().cursor_shown()) return;
    const int x = d->cursor_column() * d->cell_width();
    const int y = d->cursor_row() * d->cell_height();
    const int width = viewport()->width();
    const int height = viewport()->height();
    QScrollBar* h = horizontalScrollBar();
    QScrollBar* v = verticalScrollBar();
    if (x < h->value() || x + d->cell_width() > h->value() + width) {
        h->setValue(std::clamp(x - width / 2, 0, std::max(0, d->image_width() - width)));
    }
    if (y < v->value() || y + d->cell_height() > v->value() + height) {
        const int screen_top = d->scrollback() * d->cell_height();
        const int lowest = std::max(screen_top, d->buffer_height() - height);
        v->setValue(std::clamp(y - height / 2, screen_top, lowest));
    }
}

void TerminalView::Tick() {
    ViewDisplay* d = display();
    if (d == nullptr) return;
    if (session()->IsLinkUp()) {
        if (d->BlinkCursor(false)) SchedulePaint();
    } else if (d->CursorShown()) {
        d->HideCursor();
    }
}

void TerminalView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    UpdateGeometry();
}

void TerminalView::scrollContentsBy(int, int) {
    viewport()->update();
}

QRect TerminalView::ImageRectOfCell(int column, int row, int columns) const {
    const ViewDisplay* d = display();
    return QRect(column * d->cell_width() - horizontalScrollBar()->value(),
                 row * d->cell_height() - verticalScrollBar()->value(), columns * d->cell_width(),
                 d->cell_height());
}

void TerminalView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    ++paints_;
    pacer_.Painted(Clock::now());
    ViewDisplay* d = display();
    const Font* font = CurrentFont();
    if (d == nullptr || font == nullptr || d->total_rows() == 0) {
        painter.fillRect(viewport()->rect(), Qt::white);
        return;
    }
    const int sx = horizontalScrollBar()->value();
    const int sy = verticalScrollBar()->value();
    const int ch = d->cell_height();
    const int first = sy / ch;
    const int last = std::min(
        {d->total_rows() - 1, (sy + viewport()->height() - 1) / ch, first + d->cached_rows() - 1});
    rows_drawn_ += d->UpdateImage(*font, first, last);

    // The frame is put together from the image's rows (a ring) with the cursor, the selection
    // and the bell inverted in its pixels, so that it looks the same on every platform.
    const QSize size = viewport()->size();
    if (frame_.size() != size) frame_ = QImage(size, QImage::Format_RGBX8888);
    frame_.fill(ColourOf(SharedPalette()[kBlack]));
    const int width = std::min(size.width(), d->image_width() - sx);
    for (int r = first; r <= last && width > 0; ++r) {
        const std::uint32_t* source =
            d->pixels() + static_cast<std::ptrdiff_t>(d->ImageRow(r)) * ch * d->image_width() + sx;
        for (int py = 0; py < ch; ++py) {
            const int y = r * ch - sy + py;
            if (y < 0 || y >= size.height()) continue;
            std::copy(source + static_cast<std::ptrdiff_t>(py) * d->image_width(),
                      source + static_cast<std::ptrdiff_t>(py) * d->image_width() + width,
                      reinterpret_cast<std::uint32_t*>(frame_.scanLine(y)));
        }
    }
    for (int r = first; r <= last; ++r) {
        int c0 = 0, c1 = 0;
        if (d->selection().RowSpan(r, d->columns(), c0, c1)) {
            Invert(ImageRectOfCell(c0, r, c1 - c0 + 1));
        }
    }
    // The cursor: the whole cell or its bottom two pixel rows.
    if (d->CursorShown()) {
        QRect cell =
            ImageRectOfCell(std::min(d->cursor_column(), d->columns() - 1), d->cursor_row(), 1);
        const int type = d->cursor_type();
        if (type == kCursorBlinkingUnderscore || type == kCursorSolidUnderscore) {
            cell.setTop(cell.bottom() - std::min(2, ch) + 1);
        }
        Invert(cell);
    }
    if (d->Flashing(Clock::now())) Invert(QRect(-sx, -sy, d->image_width(), d->buffer_height()));
    painter.drawImage(0, 0, frame_);
}

void TerminalView::Invert(QRect area) {
    area = area.intersected(frame_.rect());
    for (int y = area.top(); y <= area.bottom(); ++y) {
        auto* line = reinterpret_cast<std::uint32_t*>(frame_.scanLine(y));
        // Palette values are 0x00BBGGRR: the colour bits, not the padding byte.
        for (int x = area.left(); x <= area.right(); ++x)
            line[x] ^= 0x00FFFFFFu;
    }
}

// ---------------------------------------------------------------------------------------------
// Keys

bool TerminalView::event(QEvent* event) {
    // Keys that Qt would keep for itself (Tab, Backtab) go to the session like every other key.
    if (event->type() == QEvent::KeyPress) {
        keyPressEvent(static_cast<QKeyEvent*>(event));
        return true;
    }
    return QAbstractScrollArea::event(event);
}

void TerminalView::keyPressEvent(QKeyEvent* event) {
    if (accelerator_ && accelerator_(event)) return;
    const Qt::KeyboardModifiers mods = event->modifiers();
    // Scrolling through the history, as Linux terminals do.
    if ((mods & Qt::ShiftModifier) &&
        (event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown)) {
        verticalScrollBar()->triggerAction(event->key() == Qt::Key_PageUp
                                               ? QAbstractSlider::SliderPageStepSub
                                               : QAbstractSlider::SliderPageStepAdd);
        return;
    }
    HandleKey(event);
    KeyHandler::PumpKeys(session());
}

void TerminalView::HandleKey(QKeyEvent* event) {
    const int key = event->key();
    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool shift = (mods & Qt::ShiftModifier) != 0;
    const bool ctrl = (mods & Qt::ControlModifier) != 0;
    const bool alt = (mods & Qt::AltModifier) != 0;
    Session* session = this->session();
    const bool connected = session != nullptr && session->IsConnected();

    if (const int code = TerminalCodeFor(key, mods)) {
        if (connected) {
            if (alt) session->PushKey(27);
            session->PushKey(code);
        }
        return;
    }
    if (const int virtual_key = VirtualKeyFor(key, mods)) {
        if (keys_.KeyDown(session, virtual_key, shift, ctrl)) return;
    }
    const int character = CharacterFor(key, mods, event->text());
    if (character < 0) return;
    // Alt with any other key sends ESC before it, as Linux terminals do.
    if (alt && connected) session->PushKey(27);
    keys_.Character(session, character, ctrl);
}

// ---------------------------------------------------------------------------------------------
// Selection, clipboard

CellPosition TerminalView::CellAt(QPoint point) const {
    const ViewDisplay* d = display();
    const int x = point.x() + horizontalScrollBar()->value();
    const int y = point.y() + verticalScrollBar()->value();
    return {std::clamp(x / d->cell_width(), 0, d->columns() - 1),
            std::clamp(y / d->cell_height(), 0, d->total_rows() - 1)};
}

void TerminalView::mousePressEvent(QMouseEvent* event) {
    ViewDisplay* d = display();
    if (d == nullptr || d->total_rows() == 0) return;
    if (event->button() == Qt::MiddleButton) {
        PasteClipboard(true);
        return;
    }
    if (event->button() != Qt::LeftButton) return;
    // Output must not move the text while it is being selected.
    if (paused_ == nullptr) {
        paused_ = session()->GetVT();
        if (paused_ != nullptr) paused_->Pause();
    }
    selecting_ = true;
    d->selection().Start(CellAt(event->position().toPoint()));
    viewport()->update();
}

void TerminalView::mouseMoveEvent(QMouseEvent* event) {
    ViewDisplay* d = display();
    if (!selecting_ || d == nullptr) return;
    d->selection().Extend(CellAt(event->position().toPoint()));
    viewport()->update();
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event) {
    if (!selecting_ || event->button() != Qt::LeftButton) return;
    EndSelection(event->position().toPoint());
}

void TerminalView::EndSelection(QPoint point) {
    ViewDisplay* d = display();
    selecting_ = false;
    if (d == nullptr) return;
    d->selection().Extend(CellAt(point));
    const std::string text = d->SelectionText();
    if (!text.empty() && QApplication::clipboard()->supportsSelection()) {
        QApplication::clipboard()->setText(QString::fromStdString(text), QClipboard::Selection);
    }
    // What arrived meanwhile is shown now (unless the session was disconnected meanwhile: its
    // terminal is on its way out).
    if (paused_ != nullptr && session()->GetVT() == paused_) paused_->Resume();
    paused_ = nullptr;
    viewport()->update();
}

bool TerminalView::HasSelection() const {
    const ViewDisplay* d = display();
    return d != nullptr && d->selection().Active() && !d->SelectionText().empty();
}

void TerminalView::CopySelection() {
    if (!HasSelection()) return;
    QApplication::clipboard()->setText(QString::fromStdString(display()->SelectionText()));
}

void TerminalView::PasteClipboard(bool primary) {
    const QString text =
        QApplication::clipboard()->text(primary ? QClipboard::Selection : QClipboard::Clipboard);
    PasteText(text);
}

void TerminalView::PasteText(const QString& text) {
    Session* current = session();
    if (current == nullptr || !current->IsConnected() || text.isEmpty()) return;
    IO* terminal = current->GetTerminal();
    if (terminal == nullptr) return;
    // Narrow text is UTF-8 throughout the program, and so is what a Linux host expects.
    const QByteArray utf8 = text.toUtf8();
    const std::string bytes =
        PasteBytes(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
    terminal->Send(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                   static_cast<int>(bytes.size()));
}

void TerminalView::contextMenuEvent(QContextMenuEvent* event) {
    const bool connected = session() != nullptr && session()->IsConnected();
    const bool clipboard_text = !QApplication::clipboard()->text().isEmpty();
    QMenu menu(this);
    QAction* copy = menu.addAction(QStringLiteral("&Copy"), this, [this] { CopySelection(); });
    copy->setEnabled(HasSelection());
    menu.addSeparator();
    QAction* paste = menu.addAction(QStringLiteral("&Paste"), this, [this] { PasteClipboard(); });
    paste->setEnabled(connected && clipboard_text);
    menu.exec(event->globalPos());
}

}  // namespace tarnwick
