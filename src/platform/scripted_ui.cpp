#include "platform/scripted_ui.h"

namespace tarnwick {

namespace {

class ScriptedProgress final : public TransferProgress {
  public:
    ScriptedProgress(std::mutex& mutex, ScriptedUi::ProgressRecord& record)
        : mutex_(mutex), record_(record) {}
    void SetDoneText(const std::string& text) override { Add("done: " + text); }
    void SetTotalText(const std::string& text) override { Add("total: " + text); }
    void SetPercentage(int percent) override {
        std::lock_guard<std::mutex> guard(mutex_);
        record_.percentage = percent;
    }
    void SetStatusText(const std::string& text) override { Add("status: " + text); }
    bool IsCancelled() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return record_.cancel;
    }
    void Close() override {
        std::lock_guard<std::mutex> guard(mutex_);
        record_.closed = true;
    }

  private:
    void Add(std::string text) {
        std::lock_guard<std::mutex> guard(mutex_);
        record_.texts.push_back(std::move(text));
    }
    std::mutex& mutex_;
    ScriptedUi::ProgressRecord& record_;
};

}  // namespace

ScriptedUi::ScriptedUi() {
    previous_ = SetUi(this);
}

ScriptedUi::~ScriptedUi() {
    SetUi(previous_);
}

void ScriptedUi::QueueYesNo(bool yes) {
    std::lock_guard<std::mutex> guard(mutex_);
    yes_no_.push_back(yes);
}

void ScriptedUi::QueuePrompt(std::optional<std::string> text) {
    std::lock_guard<std::mutex> guard(mutex_);
    prompts_.push_back(std::move(text));
}

void ScriptedUi::QueueFile(std::optional<std::string> path) {
    std::lock_guard<std::mutex> guard(mutex_);
    files_.push_back(std::move(path));
}

void ScriptedUi::QueueChoice(int index) {
    std::lock_guard<std::mutex> guard(mutex_);
    choices_.push_back(index);
}

void ScriptedUi::QueueHostKey(HostKeyChoice choice) {
    std::lock_guard<std::mutex> guard(mutex_);
    host_keys_.push_back(choice);
}

std::vector<ScriptedUi::Shown> ScriptedUi::shown() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return shown_;
}

std::vector<std::string> ScriptedUi::Texts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> texts;
    for (const auto& s : shown_)
        texts.push_back(s.text);
    return texts;
}

int ScriptedUi::CountOf(Kind kind) const {
    std::lock_guard<std::mutex> guard(mutex_);
    int count = 0;
    for (const auto& s : shown_)
        count += s.kind == kind ? 1 : 0;
    return count;
}

bool ScriptedUi::wait_cursor() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return wait_cursor_;
}

void ScriptedUi::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.clear();
    yes_no_.clear();
    choices_.clear();
    prompts_.clear();
    files_.clear();
    host_keys_.clear();
}

void ScriptedUi::ShowMessage(const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kMessage, caption, text});
}

int ScriptedUi::AskMultipleChoice(const std::string& caption, const std::string& text,
                                  const std::vector<std::string>& answers) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string shown = text;
    for (std::size_t i = 0; i < answers.size(); ++i)
        shown += (i == 0 ? " [" : " / ") + answers[i] + (i + 1 == answers.size() ? "]" : "");
    shown_.push_back({Kind::kChoice, caption, shown});
    if (choices_.empty()) return -1;
    const int answer = choices_.front();
    choices_.pop_front();
    return answer;
}

bool ScriptedUi::AskYesNo(const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kYesNo, caption, text});
    if (yes_no_.empty()) return false;
    bool answer = yes_no_.front();
    yes_no_.pop_front();
    return answer;
}

std::optional<std::string> ScriptedUi::Prompt(const std::string& text, const std::string&,
                                              bool secret) {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kPrompt, "", text, secret});
    if (prompts_.empty()) return std::nullopt;
    auto answer = prompts_.front();
    prompts_.pop_front();
    return answer;
}

std::optional<std::string> ScriptedUi::OpenFileDialog(const FileDialogRequest& request) {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kOpenFile, request.title, request.initial_path});
    if (files_.empty()) return std::nullopt;
    auto answer = files_.front();
    files_.pop_front();
    return answer;
}

std::optional<std::string> ScriptedUi::SaveFileDialog(const FileDialogRequest& request) {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kSaveFile, request.title, request.initial_path});
    if (files_.empty()) return std::nullopt;
    auto answer = files_.front();
    files_.pop_front();
    return answer;
}

HostKeyChoice ScriptedUi::HostKeyWarning(const std::string& text, bool allow_overwrite) {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kHostKey, "Warning", text, false, allow_overwrite});
    if (host_keys_.empty()) return HostKeyChoice::kReject;
    auto answer = host_keys_.front();
    host_keys_.pop_front();
    return answer;
}

void ScriptedUi::SetWaitCursor(bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    wait_cursor_ = on;
}

void ScriptedUi::Beep() {
    std::lock_guard<std::mutex> guard(mutex_);
    shown_.push_back({Kind::kBeep, "", ""});
}

std::unique_ptr<TransferProgress> ScriptedUi::CreateTransferProgress(bool send_mode) {
    std::lock_guard<std::mutex> guard(mutex_);
    progress_.push_back(ProgressRecord{});
    progress_.back().send_mode = send_mode;
    return std::make_unique<ScriptedProgress>(mutex_, progress_.back());
}

ScriptedUi::ProgressRecord* ScriptedUi::LastProgress() {
    std::lock_guard<std::mutex> guard(mutex_);
    return progress_.empty() ? nullptr : &progress_.back();
}

}  // namespace tarnwick
