// The main window of the Qt front end: the menus built from the shared command table with their
// enabling rules, check marks and accelerators, the session submenu, the terminal view of the
// current session, the font of all terminals, and the dialogs the commands open. The session list
// and the commands are the same models the console uses.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frontend/main_commands.h"
#include "session/session.h"
#include "ui/qt_user_interface.h"

class QMenu;
class QAction;

namespace tarnwick {

class InputBuffer;
class TerminalView;

class MainWindow final : public QMainWindow, public SessionFrontEnd, public MainWindowHost {
    Q_OBJECT

  public:
    static constexpr const char* kTitle = "Tarnwick\xc2\xae";

    MainWindow();
    ~MainWindow() override;

    // The first session with the welcome text.
    void Start();
    // A path handed to the window (Open Session, the command line, a second start).
    void OpenFileRequest(const std::string& path);
    // Chooses the font from the preferences (when it differs from the current one) and draws
    // every session again with it.
    void ApplyFont();

    SessionList& sessions() { return sessions_; }
    MainCommands& commands() { return commands_; }
    TerminalView* view() const { return view_; }
    InputBuffer* input_buffer() const { return input_buffer_; }
    // The user-interface services with this window as the owner of their dialogs.
    QtUserInterface& user_interface() { return ui_; }
    // The menu action of a command (session entries: 40030-40039), or nullptr.
    QAction* ActionFor(int command) const;
    QMenu* SessionMenu() const { return session_menu_; }
    // Brings every item's enabled state, check mark and text up to date, as opening a menu does.
    void RefreshActions();
    // A key event as an accelerator: true when it was one (its command ran if enabled).
    bool HandleAccelerator(QKeyEvent* event);
    // Skips the "Really quit?" question, for a window that is closed by the program itself.
    void SetQuitConfirmed() { quit_confirmed_ = true; }

    // SessionFrontEnd
    std::unique_ptr<TerminalDisplay> CreateDisplay(Session& session) override;
    void SessionUpdated(Session* session) override;
    void CurrentChanged(Session* session) override;

    // MainWindowHost
    bool RunConnectionSetup(SessionConfig& config) override;
    void CloseWindow() override;
    void Relayout() override;
    bool HasSelection() override;
    bool ClipboardHasText() override;
    void Copy() override;
    void Paste() override;
    void ShowAbout() override;
    void RunGlobalPreferences() override;
    void RunHostKeyManager() override;
    void ShowInputBuffer() override;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildMenus();
    // Sizes the window to show the current session's screen whole.
    void FitToScreen();
    void RebuildSessionMenu();
    void UpdateTitle();
    void RunCommand(int command);
    // With the KeepAwake preference, tells the desktop's screen saver of activity while a
    // session is up.
    void KeepAwake();

    SessionList sessions_;
    MainCommands commands_;
    QtUserInterface ui_;
    TerminalView* view_ = nullptr;
    InputBuffer* input_buffer_ = nullptr;
    QMenu* session_menu_ = nullptr;
    QAction* session_separator_ = nullptr;
    std::map<int, QAction*> actions_;
    std::vector<QAction*> session_actions_;
    std::map<QKeySequence, int> accelerators_;
    QTimer timer_;
    std::chrono::steady_clock::time_point next_keep_awake_{};
    bool quit_confirmed_ = false;
    bool closing_ = false;
};

}  // namespace tarnwick
