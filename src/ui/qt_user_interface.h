// The user-interface services with Qt: message boxes, Yes/No, the prompt with its secret mode,
// the file dialogs, the host-key warning, the wait cursor, the bell and the transfer window.
//
// Any thread may ask. A question from a worker runs on the user-interface thread through the
// dispatcher while the worker waits; the task owns copies of everything it shows, so a worker that
// is asked to stop while its question is open leaves at once (with No / Cancel / Reject) and the
// dialog it left behind is closed unanswered.
#pragma once

#include <QPointer>
#include <QWidget>

#include "platform/user_interface.h"

namespace tarnwick {

// Binds the dispatcher to the Qt event loop of the calling thread: queued tasks run from that loop.
void BindDispatcherToQt();

class QtUserInterface final : public UserInterface {
  public:
    // Dialogs are owned by `parent` (the main window), which may be null.
    explicit QtUserInterface(QWidget* parent) : parent_(parent) {}

    void ShowMessage(const std::string& caption, const std::string& text) override;
    bool AskYesNo(const std::string& caption, const std::string& text) override;
    std::optional<std::string> Prompt(const std::string& text, const std::string& initial,
                                      bool secret) override;
    std::optional<std::string> OpenFileDialog(const FileDialogRequest& request) override;
    std::optional<std::string> SaveFileDialog(const FileDialogRequest& request) override;
    int AskMultipleChoice(const std::string& caption, const std::string& text,
                          const std::vector<std::string>& answers) override;
    HostKeyChoice HostKeyWarning(const std::string& text, bool allow_overwrite) override;
    void SetWaitCursor(bool on) override;
    void Beep() override;
    std::unique_ptr<TransferProgress> CreateTransferProgress(bool send_mode) override;

  private:
    std::optional<std::string> FileDialog(const FileDialogRequest& request, bool save);

    QPointer<QWidget> parent_;
    int waits_ = 0;
};

// The filter string of a file dialog ("Text (*.txt);;All files (*.*)").
QString FilterString(const FileDialogRequest& request);
// A chosen name as the dialog gives it back: the default extension is added to a name that ends
// in "." or has no extension.
std::string WithDefaultExtension(std::string path, const std::string& extension);

}  // namespace tarnwick
