// User-interface services for tests: answers come from a queue that the test fills, and every text
// shown is recorded so that a test can assert on the exact words. Thread-safe.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/user_interface.h"

namespace tarnwick {

class ScriptedUi final : public UserInterface {
  public:
    enum class Kind { kMessage, kYesNo, kPrompt, kOpenFile, kSaveFile, kHostKey, kBeep, kChoice };

    // One thing the services were asked to show.
    struct Shown {
        Kind kind;
        std::string caption;           // message and Yes/No caption; dialog title for files
        std::string text;              // message, question or prompt text; initial path for files
        bool secret = false;           // prompt
        bool allow_overwrite = false;  // host-key warning
    };

    using Answer = std::variant<bool, std::optional<std::string>, HostKeyChoice>;

    ScriptedUi();
    ~ScriptedUi() override;  // restores the services that were installed before

    // Queue answers, consumed in order by the matching kind of question. An unanswered question
    // gets No / Cancel / Reject and is still recorded.
    void QueueYesNo(bool yes);
    void QueuePrompt(std::optional<std::string> text);
    void QueueFile(std::optional<std::string> path);
    void QueueHostKey(HostKeyChoice choice);
    // The index of the answer to a several-answer question (unanswered: -1, dismissed).
    void QueueChoice(int index);

    std::vector<Shown> shown() const;
    std::vector<std::string> Texts() const;  // the text field of everything shown, in order
    int CountOf(Kind kind) const;
    bool wait_cursor() const;
    void Clear();

    void ShowMessage(const std::string& caption, const std::string& text) override;
    bool AskYesNo(const std::string& caption, const std::string& text) override;
    // Recorded with the answers joined by " / " after the text.
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

    // The progress windows created so far record their texts here.
    struct ProgressRecord {
        bool send_mode = false;
        std::vector<std::string> texts;
        int percentage = 0;
        bool closed = false;
        bool cancel = false;  // set by the test to press Cancel
    };
    ProgressRecord* LastProgress();

  private:
    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
    std::deque<bool> yes_no_;
    std::deque<std::optional<std::string>> prompts_;
    std::deque<std::optional<std::string>> files_;
    std::deque<HostKeyChoice> host_keys_;
    std::deque<int> choices_;
    std::deque<ProgressRecord> progress_;
    bool wait_cursor_ = false;
    UserInterface* previous_ = nullptr;
};

}  // namespace tarnwick
