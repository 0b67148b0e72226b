#include "ui/qt_user_interface.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <atomic>
#include <filesystem>
#include <functional>

#include "platform/ui_dispatcher.h"

namespace tarnwick {

namespace {

// Runs f on the user-interface thread (at once when already there) and gives its result; a
// worker that is being stopped gets fallback.
template <typename T>
T OnUiThread(const std::function<T()>& f, T fallback) {
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    if (dispatcher.IsUiThread() || !dispatcher.HasUiThread()) return f();
    T result = fallback;
    dispatcher.RunAndWait([&] { result = f(); });
    return result;
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// A message box brought to the front, as every box of the program is.
int RunBox(QMessageBox& box) {
    box.setWindowModality(Qt::ApplicationModal);
    box.raise();
    box.activateWindow();
    return box.exec();
}

}  // namespace

void BindDispatcherToQt() {
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    dispatcher.BindToCurrentThread();
    QObject* target = QCoreApplication::instance();
    // The hook may run on any thread and must not block: it queues one call into the loop.
    dispatcher.SetWakeHook([target] {
        QMetaObject::invokeMethod(
            target, [] { UiDispatcher::Instance().RunPending(); }, Qt::QueuedConnection);
    });
}

void QtUserInterface::ShowMessage(const std::string& caption, const std::string& text) {
    OnUiThread<bool>(
        [&] {
            QMessageBox box(QMessageBox::Information, Q(caption), Q(text), QMessageBox::Ok,
                            parent_);
            RunBox(box);
            return true;
        },
        false);
}

bool QtUserInterface::AskYesNo(const std::string& caption, const std::string& text) {
    return OnUiThread<bool>(
        [&] {
            QMessageBox box(QMessageBox::Question, Q(caption), Q(text),
                            QMessageBox::Yes | QMessageBox::No, parent_);
            box.setDefaultButton(QMessageBox::No);
            return RunBox(box) == QMessageBox::Yes;
        },
        false);
}

std::optional<std::string> QtUserInterface::Prompt(const std::string& text,
                                                   const std::string& initial, bool secret) {
    return OnUiThread<std::optional<std::string>>(
        [&]() -> std::optional<std::string> {
            QDialog dialog(parent_);
            dialog.setWindowTitle(QStringLiteral("Tarnwick"));
            auto* layout = new QVBoxLayout(&dialog);
            auto* label = new QLabel(Q(text), &dialog);
            label->setWordWrap(true);
            auto* field = new QLineEdit(Q(initial), &dialog);
            field->setMaxLength(1023);
            if (secret) field->setEchoMode(QLineEdit::Password);
            auto* buttons =
                new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
            QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
            QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
            layout->addWidget(label);
            layout->addWidget(field);
            layout->addWidget(buttons);
            dialog.setWindowModality(Qt::ApplicationModal);
            const bool ok = dialog.exec() == QDialog::Accepted;
            std::string answer = field->text().toStdString();
            // A secret leaves no copy in the widget behind it.
            if (secret) field->clear();
            if (!ok) return std::nullopt;
            return answer;
        },
        std::nullopt);
}

QString FilterString(const FileDialogRequest& request) {
    QStringList filters;
    for (const auto& [description, pattern] : request.filters) {
        QString entry = Q(description);
        // Qt reads the patterns from the parentheses; a description without them gets its own.
        if (!entry.contains(QLatin1Char('('))) entry += QStringLiteral(" (") + Q(pattern) + ")";
        filters << entry;
    }
    return filters.join(QStringLiteral(";;"));
}

std::string WithDefaultExtension(std::string path, const std::string& extension) {
    if (extension.empty() || path.empty()) return path;
    const std::string name = std::filesystem::path(path).filename().string();
    if (!name.empty() && name.back() == '.') {
        path += extension;
    } else if (name.find('.') == std::string::npos) {
        path += "." + extension;
    }
    return path;
}

std::optional<std::string> QtUserInterface::FileDialog(const FileDialogRequest& request,
                                                       bool save) {
    return OnUiThread<std::optional<std::string>>(
        [&]() -> std::optional<std::string> {
            const QString filter = FilterString(request);
            const QStringList list = filter.split(QStringLiteral(";;"));
            QString selected = request.selected_filter >= 0 && request.selected_filter < list.size()
                                   ? list[request.selected_filter]
                                   : QString();
            const QString path =
                save ? QFileDialog::getSaveFileName(parent_, Q(request.title),
                                                    Q(request.initial_path), filter, &selected)
                     : QFileDialog::getOpenFileName(parent_, Q(request.title),
                                                    Q(request.initial_path), filter, &selected);
            if (path.isEmpty()) return std::nullopt;
            if (!save) return path.toStdString();
            return WithDefaultExtension(path.toStdString(), request.default_extension);
        },
        std::nullopt);
}

std::optional<std::string> QtUserInterface::OpenFileDialog(const FileDialogRequest& request) {
    return FileDialog(request, false);
}

std::optional<std::string> QtUserInterface::SaveFileDialog(const FileDialogRequest& request) {
    return FileDialog(request, true);
}

HostKeyChoice QtUserInterface::HostKeyWarning(const std::string& text, bool allow_overwrite) {
    return OnUiThread<HostKeyChoice>(
        [&] {
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Warning"), Q(text),
                            QMessageBox::NoButton, parent_);
            QPushButton* add = box.addButton(QStringLiteral("&Add"), QMessageBox::AcceptRole);
            QPushButton* overwrite =
                allow_overwrite ? box.addButton(QStringLiteral("&Overwrite"), QMessageBox::YesRole)
                                : nullptr;
            QPushButton* reject = box.addButton(QStringLiteral("&Reject"), QMessageBox::RejectRole);
            box.setDefaultButton(reject);
            box.setEscapeButton(reject);
            RunBox(box);
            if (box.clickedButton() == add) return HostKeyChoice::kAdd;
            if (overwrite != nullptr && box.clickedButton() == overwrite) {
                return HostKeyChoice::kOverwrite;
            }
            return HostKeyChoice::kReject;
        },
        HostKeyChoice::kReject);
}

void QtUserInterface::SetWaitCursor(bool on) {
    OnUiThread<bool>(
        [&] {
            if (on) {
                ++waits_;
                QApplication::setOverrideCursor(Qt::WaitCursor);
            } else if (waits_ > 0) {
                --waits_;
                QApplication::restoreOverrideCursor();
            }
            return true;
        },
        false);
}

void QtUserInterface::Beep() {
    // The bell never makes the caller wait.
    if (UiDispatcher::Instance().IsUiThread()) {
        QApplication::beep();
    } else {
        UiDispatcher::Instance().Post([] { QApplication::beep(); });
    }
}

namespace {

// The "Transfer" window: its widgets live on the user-interface thread; the transfer worker
// sets texts through posted tasks and reads the cancel flag directly.
class QtProgress final : public TransferProgress {
  public:
    QtProgress(QWidget* parent, bool send_mode)
        : cancelled_(std::make_shared<std::atomic<bool>>()) {
        auto cancelled = cancelled_;
        QPointer<QWidget> owner(parent);
        RunOnUi([this, owner, send_mode, cancelled] {
            window_ = new QDialog(owner);
            window_->setWindowTitle(QStringLiteral("Transfer"));
            window_->setAttribute(Qt::WA_DeleteOnClose);
            auto* layout = new QVBoxLayout(window_);
            done_ = new QLabel(window_);
            status_ = new QLabel(window_);
            bar_ = new QProgressBar(window_);
            bar_->setRange(0, 100);
            auto* cancel = new QPushButton(QStringLiteral("Cancel"), window_);
            QObject::connect(cancel, &QPushButton::clicked, window_,
                             [cancelled] { cancelled->store(true); });
            layout->addWidget(new QLabel(
                send_mode ? QStringLiteral("Sending") : QStringLiteral("Receiving"), window_));
            layout->addWidget(done_);
            layout->addWidget(bar_);
            layout->addWidget(status_);
            layout->addWidget(cancel);
            window_->show();
        });
    }
    ~QtProgress() override { Close(); }

    void SetDoneText(const std::string& text) override {
        Set([this, text] {
            done_text_ = text;
            ShowCounts();
        });
    }
    void SetTotalText(const std::string& text) override {
        Set([this, text] {
            total_text_ = text;
            ShowCounts();
        });
    }
    void SetPercentage(int percent) override {
        Set([this, percent] { bar_->setValue(percent); });
    }
    void SetStatusText(const std::string& text) override {
        Set([this, text] { status_->setText(Q(text)); });
    }
    bool IsCancelled() const override { return cancelled_->load(); }
    void Close() override {
        RunOnUi([this] {
            if (window_ != nullptr) window_->close();
            window_ = nullptr;
        });
    }

  private:
    static void RunOnUi(const std::function<void()>& f) {
        OnUiThread<bool>(
            [&] {
                f();
                return true;
            },
            false);
    }
    void Set(const std::function<void()>& f) {
        RunOnUi([this, &f] {
            if (window_ != nullptr) f();
        });
    }
    void ShowCounts() { done_->setText(Q(done_text_ + " of " + total_text_ + " KB transferred")); }

    std::shared_ptr<std::atomic<bool>> cancelled_;
    QPointer<QDialog> window_;
    QLabel* done_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
    std::string done_text_ = "0";
    std::string total_text_ = "(unknown)";
};

}  // namespace

std::unique_ptr<TransferProgress> QtUserInterface::CreateTransferProgress(bool send_mode) {
    return std::make_unique<QtProgress>(parent_, send_mode);
}

}  // namespace tarnwick
