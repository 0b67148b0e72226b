// The main window's commands without a toolkit: the menu with its texts, command identifiers and
// accelerators, the rules that enable and check its items, and what each command does to the
// session list. The GUI builds its menus from MenuItems() and the console maps its keys to the
// same commands; both run them through MainCommands, so the rules are written once.
#pragma once

#include <span>
#include <string>

namespace tarnwick {

class IO;
class Session;
class SessionConfig;
class SessionList;

namespace command {
inline constexpr int kQuit = 40001;
inline constexpr int kAbout = 40005;
inline constexpr int kCopy = 40006;
inline constexpr int kPaste = 40007;
inline constexpr int kConnect = 40008;
inline constexpr int kDisconnect = 40010;
inline constexpr int kNextSession = 40011;
inline constexpr int kCopyAndPaste = 40020;
inline constexpr int kCapture = 40021;
inline constexpr int kReceiveXmodem = 40023;
inline constexpr int kSendXmodem = 40025;
inline constexpr int kSendAscii = 40026;
inline constexpr int kFirstSession = 40030;
inline constexpr int kLastSession = 40039;
inline constexpr int kGlobalPreferences = 40040;
inline constexpr int kPF1 = 40041;  // to kPF1 + 3
inline constexpr int kEscape = 40045;
inline constexpr int kSaveSession = 40050;
inline constexpr int kKeepCursorOnscreen = 40051;
inline constexpr int kBreak = 40052;
inline constexpr int kInputBuffer = 40053;
inline constexpr int kOpenSession = 40054;
inline constexpr int kHostKeyManager = 40055;
inline constexpr int kSendScp = 40072;
inline constexpr int kReceiveScp = 40075;
}  // namespace command

struct MenuItem {
    const char* submenu;  // "File", "Edit", "Session", "Keys", "Help"
    int command;
    const char* text;         // "Start Capture" is shown as "Stop Capture" while capture runs
    const char* accelerator;  // "Alt+Q", or nullptr
    bool separator_after;
};

// The menu in its order. The session entries (40030-40039) follow "Disconnect" after a separator
// and come from the session list's menu.
std::span<const MenuItem> MenuItems();

// "Save Session": the save dialog in the settings folder with the record's suggested name.
bool SaveSessionWithDialog(SessionConfig& config);

// What a front end supplies to the commands.
class MainWindowHost {
  public:
    virtual ~MainWindowHost() = default;
    // The connection dialogs (chooser, then the kind's form) for a fresh record; true when the
    // record is to be connected.
    virtual bool RunConnectionSetup(SessionConfig& config) = 0;
    // Ends the program (after the quit question has been answered).
    virtual void CloseWindow() = 0;
    // The current session's screen or geometry may have changed.
    virtual void Relayout() {}
    // The terminal view's selection and the clipboard.
    virtual bool HasSelection() { return false; }
    virtual bool ClipboardHasText() { return false; }
    virtual void Copy() {}
    virtual void Paste() {}
    // False for a command whose dialog this front end does not have (yet): it is shown disabled.
    virtual bool Provides(int /*command*/) { return true; }
    // Dialogs a front end may offer.
    virtual void ShowAbout() {}
    virtual void RunGlobalPreferences() {}
    virtual void RunHostKeyManager() {}
    virtual void ShowInputBuffer() {}
};

class MainCommands {
  public:
    MainCommands(SessionList& sessions, MainWindowHost& host);

    // The command exists in this build (a feature still to come is shown but never enabled).
    static bool Available(int command);
    // The enabling rule of the command for the current session.
    bool IsEnabled(int command);
    bool IsChecked(int command);
    // The item's text now ("Stop Capture" while capture runs).
    std::string TextOf(int command);

    // Runs the command when it is enabled; false when it was not.
    bool Run(int command);

    // The open-file request: a ".tks" path is loaded and connected; any other path is ignored.
    void OpenFileRequest(std::string path);
    // Connect: the connection dialogs, then a new session (or "Canceled." in an unconnected one
    // when nothing else is up).
    void Connect();
    // Quit: asks first while a session is up; true when the window is to close.
    bool ConfirmQuit();
    // The first session of the program: an unconnected terminal showing the welcome text.
    void CreateWelcomeSession(const char* extra_text = nullptr);

  private:
    Session* Current();
    void WriteToTerminal(Session* session, const char* text);
    void CreateLocalSession(const char* text);
    // "Send via SCP": the file to send, then the copy through the layer below the terminal.
    void SendViaScp(IO* terminal);
    // "Receive via SCP": the remote name, then where it is saved.
    void ReceiveViaScp(IO* terminal);

    SessionList& sessions_;
    MainWindowHost& host_;
};

}  // namespace tarnwick
