// The console front end: draws the current session's screen and a status line into the host
// terminal, turns the host's keys into key codes, takes the main-window commands after the prefix
// key Ctrl-], and asks the layers' questions on the tty.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console/frame.h"
#include "console/host_terminal.h"
#include "console/tty_input.h"
#include "frontend/connection_form.h"
#include "frontend/main_commands.h"
#include "platform/event_loop.h"
#include "platform/user_interface.h"
#include "session/session.h"
#include "terminal/key_handling.h"

namespace tarnwick {

class ConsoleApp final : public SessionFrontEnd, public UserInterface, public MainWindowHost {
  public:
    static constexpr std::uint8_t kPrefixKey = 0x1D;  // Ctrl-]

    explicit ConsoleApp(HostTerminal& tty);
    ~ConsoleApp() override;

    // Runs until Quit; files are opened as open-file requests first. Returns the exit status.
    int Run(const std::vector<std::string>& files);

    // SessionFrontEnd
    std::unique_ptr<TerminalDisplay> CreateDisplay(Session& session) override;
    void SessionUpdated(Session* session) override;
    void CurrentChanged(Session* session) override;

    // UserInterface: every question is asked on the tty, on the user-interface thread.
    void ShowMessage(const std::string& caption, const std::string& text) override;
    bool AskYesNo(const std::string& caption, const std::string& text) override;
    // The answers numbered from 1; a digit chooses one, Escape dismisses the question.
    int AskMultipleChoice(const std::string& caption, const std::string& text,
                          const std::vector<std::string>& answers) override;
    std::optional<std::string> Prompt(const std::string& text, const std::string& initial,
                                      bool secret) override;
    std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;
    std::optional<std::string> SaveFileDialog(const FileDialogRequest& request) override;
    HostKeyChoice HostKeyWarning(const std::string& text, bool allow_overwrite) override;
    void SetWaitCursor(bool on) override;
    void Beep() override;
    std::unique_ptr<TransferProgress> CreateTransferProgress(bool send_mode) override;

    // MainWindowHost
    bool RunConnectionSetup(SessionConfig& config) override;
    void CloseWindow() override { quit_ = true; }
    void Relayout() override { ScheduleRedraw(); }
    void RunGlobalPreferences() override;
    void RunHostKeyManager() override;

  private:
    class Progress;

    // Input
    void OnInput();
    // Reads and decodes what the tty has within timeout; false when nothing came.
    bool ReadEvents(int timeout_ms);
    std::optional<HostKeyEvent> NextEvent(int timeout_ms);
    void HandleEvent(const HostKeyEvent& event);
    void HandleCommand(const HostKeyEvent& event);
    void SendKeyCode(int code);

    // Commands
    void RunCommand(int command);
    void ShowHelp();

    // The kind's parameter form on the tty; true when accepted.
    bool AskParameters(SessionConfig& config, int kind);
    // The buttons of a form (forwards, terminal parameters, advanced); false when cancelled.
    bool AskMoreSettings(SessionConfig& config, const FormDefinition& form);
    // The list of local port forwards; false when cancelled.
    bool AskForwards(SessionConfig& config);
    void AskTerminalParameters(SessionConfig& config);
    void AskAdvanced(SessionConfig& config);
    void AskAlgorithms(SessionConfig& config, const AlgorithmLists& lists, const std::string& what);
    std::optional<std::string> AskField(const std::string& label, const std::string& initial);
    std::optional<bool> AskFlag(const std::string& label, bool initial);
    // One of names by number; nothing on Escape.
    std::optional<int> AskListChoice(const std::string& label,
                                     const std::vector<std::string>& names, int initial);

    // Questions: a panel of text above the status line and an input line.
    void OpenPanel(const std::string& caption, const std::string& text);
    void ClosePanel();
    std::optional<std::string> AskLine(const std::string& caption, const std::string& text,
                                       const std::string& prompt, const std::string& initial,
                                       bool secret);
    // The key pressed among choices (lower case), or 0 for Escape.
    char AskChoice(const std::string& caption, const std::string& text, const std::string& prompt,
                   const std::string& choices, char on_enter);

    // Drawing
    void Redraw();
    void ScheduleRedraw() { dirty_ = true; }
    // From any thread: a redraw on the user-interface thread soon.
    void PostRedraw();
    std::string StatusLine();

    HostTerminal& tty_;
    EventLoop loop_;
    SessionList sessions_;
    MainCommands commands_;
    KeyHandler keys_;
    TtyInputDecoder decoder_;
    std::deque<HostKeyEvent> events_;
    FrameWriter writer_;
    int top_ = 0;
    int left_ = 0;
    bool dirty_ = true;
    bool prefix_ = false;
    bool pf_prefix_ = false;
    bool transfer_prefix_ = false;  // Ctrl-] t: a transfer letter follows
    bool quit_ = false;
    bool waiting_ = false;                  // the wait cursor
    bool host_keypad_application_ = false;  // what the host terminal was last told
    std::vector<std::string> panel_;        // a question's text, shown above the status line
    std::string input_line_;
    int input_cursor_ = -1;
    std::string notice_;  // a one-line note in the status line

    // The transfer window shown in the status line, while a transfer runs.
    std::mutex progress_mutex_;
    Progress* progress_ = nullptr;
};

}  // namespace tarnwick
