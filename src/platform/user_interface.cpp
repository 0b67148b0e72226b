#include "platform/user_interface.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tarnwick {

namespace {

class QuietProgress final : public TransferProgress {
  public:
    void SetDoneText(const std::string&) override {}
    void SetTotalText(const std::string&) override {}
    void SetPercentage(int) override {}
    void SetStatusText(const std::string&) override {}
    bool IsCancelled() const override { return false; }
    void Close() override {}
};

// Used before a front end is installed (and by tools that never ask): nothing is asked, nothing is
// accepted, and messages are not lost.
class QuietUserInterface final : public UserInterface {
  public:
    void ShowMessage(const std::string& caption, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
    bool AskYesNo(const std::string& caption, const std::string& text) override {
        std::fprintf(stderr, "%s: %s (answered No)\n", caption.c_str(), text.c_str());
        return false;
    }
    std::optional<std::string> Prompt(const std::string&, const std::string&, bool) override {
        return std::nullopt;
    }
    std::optional<std::string> OpenFileDialog(const FileDialogRequest&) override {
        return std::nullopt;
    }
    std::optional<std::string> SaveFileDialog(const FileDialogRequest&) override {
        return std::nullopt;
    }
    HostKeyChoice HostKeyWarning(const std::string&, bool) override {
        return HostKeyChoice::kReject;
    }
    void SetWaitCursor(bool) override {}
    void Beep() override {}
    std::unique_ptr<TransferProgress> CreateTransferProgress(bool) override {
        return std::make_unique<QuietProgress>();
    }
};

QuietUserInterface g_quiet;
std::atomic<UserInterface*> g_current{nullptr};

}  // namespace

int UserInterface::AskMultipleChoice(const std::string& caption, const std::string& text,
                                     const std::vector<std::string>& answers) {
    if (answers.empty()) return -1;
    for (std::size_t i = 0; i + 1 < answers.size(); ++i) {
        if (AskYesNo(caption, text + "  " + answers[i] + "?")) return static_cast<int>(i);
    }
    return static_cast<int>(answers.size()) - 1;
}

UserInterface& Ui() {
    UserInterface* current = g_current.load();
    return current ? *current : g_quiet;
}

UserInterface* SetUi(UserInterface* services) {
    return g_current.exchange(services);
}

std::string SystemErrorText(int error_code) {
    char buffer[256];
    // The GNU strerror_r returns a pointer that may or may not be the buffer.
    const char* text = strerror_r(error_code, buffer, sizeof buffer);
    if (text != nullptr && *text != '\0') return text;
    if (error_code == ETIMEDOUT) return "Connection failed";
    if (error_code == ECONNREFUSED) return "Connection refused";
    return "Unknown error " + std::to_string(error_code);
}

}  // namespace tarnwick
