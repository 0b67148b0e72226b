// The user-interface services that layers call: message boxes, Yes/No questions, the one-line
// prompt, file dialogs, the host-key warning, the wait cursor, the bell and the transfer progress
// window. Layers never call a toolkit; the front end installs one implementation (Qt, console, or
// the scripted one of the tests). Texts are UTF-8. Implementations may be called from worker
// threads and run the question on the user-interface thread themselves.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick {

enum class HostKeyChoice { kAdd, kOverwrite, kReject };

struct FileDialogRequest {
    std::string title;
    std::string initial_path;       // starting folder and file name
    std::string default_extension;  // without the dot, may be empty
    // (description, pattern) pairs, e.g. {"Text (*.txt)", "*.txt"}.
    std::vector<std::pair<std::string, std::string>> filters;
    int selected_filter = 0;
};

// The small "Transfer" window of file transfers; cancelling only sets a flag that the transfer
// worker polls. The texts are what the window shows ("12" of "100" KB); a transfer that knows its
// file and its byte counts also says so, from which the window shows the name and the rate.
class TransferProgress {
  public:
    virtual ~TransferProgress() = default;
    virtual void SetDoneText(const std::string& text) = 0;
    virtual void SetTotalText(const std::string& text) = 0;
    virtual void SetPercentage(int percent) = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual bool IsCancelled() const = 0;
    virtual void Close() = 0;
    virtual void SetFileName(const std::string& /*name*/) {}
    // Bytes moved so far and in all (0 when not known).
    virtual void SetBytes(std::uint64_t /*done*/, std::uint64_t /*total*/) {}
};

class UserInterface {
  public:
    virtual ~UserInterface() = default;

    // A message box with one OK button; caption is "Notice", "Error", "Warning" or a Part's own.
    virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
    // A Yes/No question; true for Yes.
    virtual bool AskYesNo(const std::string& caption, const std::string& text) = 0;
    // The one-line prompt: the entered text (at most 1023 characters), or nothing on Cancel.
    // A secret prompt masks what is typed.
    virtual std::optional<std::string> Prompt(const std::string& text, const std::string& initial,
                                              bool secret) = 0;
    // A question with several answers, shown as buttons in this order: the index of the chosen
    // one, or -1 when the question was dismissed. Unless a front end has a dialog of its own,
    // each answer but the last is offered in turn as a Yes/No question ("<text>  <answer>?"), and
    // No to all of them means the last answer.
    virtual int AskMultipleChoice(const std::string& caption, const std::string& text,
                                  const std::vector<std::string>& answers);
    virtual std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) = 0;
    virtual std::optional<std::string> SaveFileDialog(const FileDialogRequest& request) = 0;
    // The host-key warning with Add, Overwrite (offered only when allowed) and Reject.
    virtual HostKeyChoice HostKeyWarning(const std::string& text, bool allow_overwrite) = 0;
    virtual void SetWaitCursor(bool on) = 0;
    virtual void Beep() = 0;
    virtual std::unique_ptr<TransferProgress> CreateTransferProgress(bool send_mode) = 0;
};

// The services in use. Until a front end installs its own, a quiet default answers every question
// with No or Cancel and writes messages to standard error.
UserInterface& Ui();
// Installs services (nullptr restores the default); returns the previous ones. The caller keeps
// ownership and must keep them alive while installed.
UserInterface* SetUi(UserInterface* services);

// Formats a system error code the way message boxes show it.
std::string SystemErrorText(int error_code);

}  // namespace tarnwick
