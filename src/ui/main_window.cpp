#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>

#include "core/io.h"
#include "core/preferences.h"
#include "frontend/view_display.h"
#include "platform/text.h"
#include "session/session_menu.h"
#include "terminal/vt.h"
#include "ui/connection_dialogs.h"
#include "ui/input_buffer.h"
#include "ui/key_manager_dialog.h"
#include "ui/key_map.h"
#include "ui/preference_dialogs.h"
#include "ui/system_font.h"
#include "ui/terminal_view.h"

namespace tarnwick {

namespace {

using namespace command;

constexpr int kTimerMs = 500;
// Screen savers wait minutes: telling them of activity twice a minute keeps the screen on.
constexpr std::chrono::seconds kKeepAwakeInterval{30};

const char* const kSubmenus[] = {"File", "Edit", "Session", "Keys", "Help"};

}  // namespace

MainWindow::MainWindow() : sessions_(this), commands_(sessions_, *this), ui_(this) {
    setWindowTitle(QString::fromUtf8(kTitle));
    view_ = new TerminalView(
        this, [this] { return sessions_.Current(); },
        [this](QKeyEvent* event) { return HandleAccelerator(event); });
    setCentralWidget(view_);
    BuildMenus();
    input_buffer_ = new InputBuffer(
        this,
        [this](const std::string& line) {
            Session* session = sessions_.Current();
            IO* terminal = session != nullptr ? session->GetTerminal() : nullptr;
            if (terminal == nullptr) return;
            for (unsigned char byte : line)
                terminal->SendByte(byte);
            terminal->SendByte(13);
        },
        [this] { view_->setFocus(); });
    input_buffer_->hide();
    // The session menu may change on another thread (a session destroyed by the reaper): the
    // menu itself is rebuilt on this one.
    sessions_.menu().SetChangedHook([this] {
        QMetaObject::invokeMethod(
            this, [this] { RebuildSessionMenu(); }, Qt::QueuedConnection);
    });
    connect(&timer_, &QTimer::timeout, this, [this] {
        view_->Tick();
        KeepAwake();
        sessions_.PurgeUnusedConfigs();
    });
    timer_.start(kTimerMs);
    view_->SetKeyboardOptions(KeyboardOptions::From(Preferences::Instance()));
}

MainWindow::~MainWindow() {
    timer_.stop();
    sessions_.menu().SetChangedHook(nullptr);
}

void MainWindow::Start() {
    ApplyFont();
    commands_.CreateWelcomeSession();
    RebuildSessionMenu();
    FitToScreen();
    view_->setFocus();
}

void MainWindow::FitToScreen() {
    if (isMaximized() || isFullScreen()) return;
    // The window shows the whole screen of the current session, within the desktop.
    QSize wanted = view_->sizeHint() + QSize(0, menuBar()->sizeHint().height());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        wanted = wanted.boundedTo(screen->availableSize());
    }
    resize(wanted);
}

// ---------------------------------------------------------------------------------------------
// Menus and accelerators

void MainWindow::BuildMenus() {
    std::map<std::string, QMenu*> menus;
    for (const char* name : kSubmenus) {
        menus[name] = menuBar()->addMenu(QString::fromUtf8(name));
        connect(menus[name], &QMenu::aboutToShow, this, &MainWindow::RefreshActions);
    }
    for (const MenuItem& item : MenuItems()) {
        QMenu* menu = menus[item.submenu];
        QString text = QString::fromUtf8(item.text);
        if (item.accelerator != nullptr) {
            // Shown beside the item; the window matches the keys itself, so that an accelerator
            // always wins over the session and is never typed into it.
            text += QLatin1Char('\t') + QString::fromUtf8(item.accelerator);
            accelerators_[QKeySequence(QString::fromUtf8(item.accelerator))] = item.command;
        }
        QAction* action = menu->addAction(text);
        action->setCheckable(item.command == kKeepCursorOnscreen);
        const int id = item.command;
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        actions_[id] = action;
        if (item.separator_after) menu->addSeparator();
        if (item.command == kDisconnect) {
            session_menu_ = menu;
            session_separator_ = menu->addSeparator();
        }
    }
    for (int i = 0; i < 10; ++i) {
        // Alt+1 to Alt+9 select 40030 to 40038, Alt+0 selects 40039.
        const QKeySequence keys(QStringLiteral("Alt+%1").arg((i + 1) % 10));
        accelerators_[keys] = kFirstSession + i;
    }
}

QAction* MainWindow::ActionFor(int command) const {
    if (command >= kFirstSession && command <= kLastSession) {
        for (QAction* action : session_actions_) {
            if (action->data().toInt() == command) return action;
        }
        return nullptr;
    }
    auto found = actions_.find(command);
    return found != actions_.end() ? found->second : nullptr;
}

void MainWindow::RefreshActions() {
    for (auto& [command, action] : actions_) {
        action->setEnabled(commands_.IsEnabled(command));
        if (action->isCheckable()) action->setChecked(commands_.IsChecked(command));
        QString text = QString::fromStdString(commands_.TextOf(command));
        const QString shown = action->text();
        const int tab = shown.indexOf(QLatin1Char('\t'));
        if (tab >= 0) text += shown.mid(tab);
        action->setText(text);
    }
    for (QAction* action : session_actions_) {
        action->setChecked(commands_.IsChecked(action->data().toInt()));
    }
}

void MainWindow::RebuildSessionMenu() {
    for (QAction* action : session_actions_) {
        session_menu_->removeAction(action);
        delete action;
    }
    session_actions_.clear();
    for (const SessionMenu::Entry& entry : sessions_.menu().Entries()) {
        if (entry.command == 0) continue;
        const int number = (entry.command - kFirstSession + 1) % 10;
        auto* action = new QAction(
            QString::fromStdU16String(entry.title) + QStringLiteral("\tAlt+%1").arg(number),
            session_menu_);
        action->setCheckable(true);
        action->setData(entry.command);
        action->setChecked(commands_.IsChecked(entry.command));
        const int id = entry.command;
        connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
        session_menu_->addAction(action);
        session_actions_.push_back(action);
    }
    UpdateTitle();
}

bool MainWindow::HandleAccelerator(QKeyEvent* event) {
    auto found = accelerators_.find(SequenceFor(event->key(), event->modifiers()));
    if (found == accelerators_.end()) return false;
    RunCommand(found->second);
    return true;
}

void MainWindow::RunCommand(int command) {
    commands_.Run(command);
    if (!closing_) {
        RefreshActions();
        UpdateTitle();
        view_->viewport()->update();
    }
}

void MainWindow::UpdateTitle() {
    Session* current = sessions_.Current();
    QString title = QString::fromUtf8(kTitle);
    if (current != nullptr) {
        const std::u16string session_title = sessions_.menu().TitleOf(current);
        if (!session_title.empty()) {
            title = QString::fromStdU16String(session_title) + QStringLiteral(" - ") + title;
        }
    }
    setWindowTitle(title);
}

void MainWindow::KeepAwake() {
    if (Preferences::Instance().GetInt(pref::KeepAwake) == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_keep_awake_ || sessions_.CountLinkUp() == 0) return;
    next_keep_awake_ = now + kKeepAwakeInterval;
    // The desktop's screen saver, where there is one; the call is not waited for.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                            QStringLiteral("/ScreenSaver"),
                                            QStringLiteral("org.freedesktop.ScreenSaver"),
                                            QStringLiteral("SimulateUserActivity")),
             QDBus::NoBlock);
}

// ---------------------------------------------------------------------------------------------
// Sessions

std::unique_ptr<TerminalDisplay> MainWindow::CreateDisplay(Session& session) {
    Session* owner = &session;
    auto display = std::make_unique<ViewDisplay>([this, owner] {
        if (view_->session() == owner) view_->DisplayChanged(view_->display());
    });
    if (const Font* font = CurrentFont()) {
        display->SetCellSize(font->GetCharWidth(), font->GetCharHeight());
    }
    return display;
}

void MainWindow::SessionUpdated(Session* session) {
    if (session != sessions_.Current()) return;
    if (Preferences::Instance().GetInt(pref::CursorOnScreen) != 0) view_->FollowCursor();
    UpdateTitle();
}

void MainWindow::CurrentChanged(Session*) {
    // A terminal paused by a selection in progress runs again, if it is still a session's.
    if (VT* paused = view_->CurrentChanged()) {
        for (Session* session : sessions_.Sessions()) {
            if (session->GetVT() == paused) paused->Resume();
        }
    }
    UpdateTitle();
}

void MainWindow::Relayout() {
    view_->UpdateGeometry();
    view_->viewport()->update();
    UpdateTitle();
}

void MainWindow::ApplyFont() {
    const Preferences& preferences = Preferences::Instance();
    if (FontNeedsChange(CurrentFont(), preferences)) {
        std::unique_ptr<Font> font = CreateFontFromPreferences();
        if (font == nullptr) return;
        font->UsePalette(SharedPalette());
        const int width = font->GetCharWidth();
        const int height = font->GetCharHeight();
        SetCurrentFont(std::move(font));
        for (Session* session : sessions_.Sessions()) {
            if (auto* display = static_cast<ViewDisplay*>(session->GetDisplay())) {
                display->SetCellSize(width, height);
            }
        }
        Relayout();
        FitToScreen();
        return;
    }
    // The same font, perhaps with other colours: every row is drawn again.
    for (Session* session : sessions_.Sessions()) {
        if (auto* display = static_cast<ViewDisplay*>(session->GetDisplay())) display->MarkAll();
    }
    Relayout();
}

// ---------------------------------------------------------------------------------------------
// What the commands ask of the window

bool MainWindow::RunConnectionSetup(SessionConfig& config) {
    ConnectionChoice choice = RunConnectionDialogs(this, config);
    if (choice.saved) {
        // A saved session chosen in the list is opened and connected at once, as an open-file
        // request; the fresh record of Connect is not used.
        commands_.OpenFileRequest(*choice.saved);
        return false;
    }
    return choice.accepted;
}

void MainWindow::OpenFileRequest(const std::string& path) {
    commands_.OpenFileRequest(path);
    RefreshActions();
    UpdateTitle();
}

void MainWindow::CloseWindow() {
    quit_confirmed_ = true;
    close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!quit_confirmed_ && !commands_.ConfirmQuit()) {
        event->ignore();
        return;
    }
    closing_ = true;
    input_buffer_->close();
    event->accept();
}

bool MainWindow::HasSelection() {
    return view_->HasSelection();
}

bool MainWindow::ClipboardHasText() {
    return !QApplication::clipboard()->text().isEmpty();
}

void MainWindow::Copy() {
    view_->CopySelection();
}

void MainWindow::Paste() {
    view_->PasteClipboard();
}

void MainWindow::ShowAbout() {
    QMessageBox::about(
        this, QStringLiteral("About..."),
        QStringLiteral("Tarnwick\u00ae v%1\n\nA remote-terminal client: SSH, Telnet, "
                       "TLS and serial lines in VT100 and VT240 terminals.")
            .arg(QStringLiteral(TARNWICK_VERSION_TEXT)));
}

void MainWindow::RunGlobalPreferences() {
    // Accepting the sheet applies the font and colours to every session (ApplyFont, through the
    // preferences' hooks); the keyboard options are the view's own.
    if (!tarnwick::RunGlobalPreferences(this)) return;
    view_->SetKeyboardOptions(KeyboardOptions::From(Preferences::Instance()));
    RefreshActions();
}

void MainWindow::RunHostKeyManager() {
    tarnwick::RunHostKeyManager(this);
}

void MainWindow::ShowInputBuffer() {
    input_buffer_->ShowAndFocus();
}

}  // namespace tarnwick
