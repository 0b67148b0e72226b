#include "ui/qt_user_interface.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <filesystem>
#include <functional>
#include <memory>

#include "platform/ui_dispatcher.h"
#include "ui/dialog_kit.h"
#include "ui/transfer_window.h"

namespace tarnwick {

namespace {

// The longest answer the prompt takes.
constexpr int kMaxPromptText = 1023;

// A question on its way to the user-interface thread: the answer, and the dialog while it shows.
template <typename T>
struct Question {
    T answer;
    QPointer<QDialog> dialog;
};

// Runs ask on the user-interface thread (at once when already there) and gives its answer. The
// task holds its own copy of ask and of the question, so that a worker asked to stop may leave
// while the dialog is open: it gets fallback, and the dialog is closed unanswered.
template <typename T>
T Ask(std::function<T(QPointer<QDialog>&)> ask, T fallback) {
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    auto question = std::make_shared<Question<T>>(Question<T>{fallback, {}});
    if (dispatcher.IsUiThread()) return ask(question->dialog);
    if (!dispatcher.HasUiThread()) {
        // Without a dispatcher only Qt's own thread may show anything.
        const bool qt_thread = QCoreApplication::instance() != nullptr &&
                               QThread::currentThread() == QCoreApplication::instance()->thread();
        return qt_thread ? ask(question->dialog) : fallback;
    }
    if (dispatcher.RunAndWait([question, ask] { question->answer = ask(question->dialog); })) {
        return question->answer;
    }
    dispatcher.Post([question] {
        if (question->dialog) question->dialog->reject();
    });
    return fallback;
}

// A message box brought to the front, as every box of the program is. Texts are shown as they
// stand: a server's words are never read as markup.
int RunBox(QMessageBox& box, QPointer<QDialog>& shown) {
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    shown = &box;
    box.raise();
    box.activateWindow();
    return box.exec();
}

QMessageBox::Icon IconFor(const std::string& caption) {
    if (caption == "Error" || caption == "Host Key Error") return QMessageBox::Critical;
    if (caption == "Warning") return QMessageBox::Warning;
    return QMessageBox::Information;
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
    QPointer<QWidget> parent = parent_;
    Ask<bool>(
        [parent, caption, text](QPointer<QDialog>& shown) {
            QMessageBox box(IconFor(caption), Q(caption), Q(text), QMessageBox::Ok, parent);
            RunBox(box, shown);
            return true;
        },
        false);
}

bool QtUserInterface::AskYesNo(const std::string& caption, const std::string& text) {
    QPointer<QWidget> parent = parent_;
    return Ask<bool>(
        [parent, caption, text](QPointer<QDialog>& shown) {
            QMessageBox box(IconFor(caption), Q(caption), Q(text),
                            QMessageBox::Yes | QMessageBox::No, parent);
            // The careful answer is the one Enter gives.
            box.setDefaultButton(QMessageBox::No);
            box.setEscapeButton(QMessageBox::No);
            return RunBox(box, shown) == QMessageBox::Yes;
        },
        false);
}

std::optional<std::string> QtUserInterface::Prompt(const std::string& text,
                                                   const std::string& initial, bool secret) {
    QPointer<QWidget> parent = parent_;
    return Ask<std::optional<std::string>>(
        [parent, text, initial, secret](QPointer<QDialog>& shown) -> std::optional<std::string> {
            QDialog dialog(parent);
            dialog.setWindowTitle(QStringLiteral("Tarnwick"));
            auto* layout = new QVBoxLayout(&dialog);
            QLabel* label = PlainLabel(Q(text), &dialog);
            label->setMinimumWidth(TextWidth(&dialog, 40));
            auto* field = new QLineEdit(Q(initial), &dialog);
            field->setMaxLength(kMaxPromptText);
            if (secret) field->setEchoMode(QLineEdit::Password);
            field->selectAll();
            auto* buttons =
                new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
            QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
            QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
            layout->addWidget(label);
            layout->addWidget(field);
            layout->addWidget(buttons);
            field->setFocus();
            dialog.setWindowModality(Qt::ApplicationModal);
            shown = &dialog;
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
    QPointer<QWidget> parent = parent_;
    return Ask<std::optional<std::string>>(
        [parent, request, save](QPointer<QDialog>& shown) -> std::optional<std::string> {
            const QString filter = FilterString(request);
            QFileDialog dialog(parent, Q(request.title), QString(), filter);
            dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
            dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
            // The initial path is a folder, or a folder and a proposed name.
            const QFileInfo initial(Q(request.initial_path));
            if (!request.initial_path.empty() && initial.isDir()) {
                dialog.setDirectory(initial.absoluteFilePath());
            } else if (!request.initial_path.empty()) {
                dialog.setDirectory(initial.absolutePath());
                dialog.selectFile(initial.fileName());
            }
            const QStringList list = filter.split(QStringLiteral(";;"));
            if (request.selected_filter >= 0 && request.selected_filter < list.size()) {
                dialog.selectNameFilter(list[request.selected_filter]);
            }
            dialog.setWindowModality(Qt::ApplicationModal);
            shown = &dialog;
            if (dialog.exec() != QDialog::Accepted) return std::nullopt;
            const QString path = dialog.selectedFiles().value(0);
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

int QtUserInterface::AskMultipleChoice(const std::string& caption, const std::string& text,
                                       const std::vector<std::string>& answers) {
    if (answers.empty()) return -1;
    QPointer<QWidget> parent = parent_;
    return Ask<int>(
        [parent, caption, text, answers](QPointer<QDialog>& shown) {
            QMessageBox box(IconFor(caption), Q(caption), Q(text), QMessageBox::NoButton, parent);
            std::vector<QPushButton*> buttons;
            for (const std::string& answer : answers)
                buttons.push_back(box.addButton(Q(answer), QMessageBox::ActionRole));
            // The last answer is the careful one: Enter and Escape give it.
            box.setDefaultButton(buttons.back());
            box.setEscapeButton(buttons.back());
            RunBox(box, shown);
            for (std::size_t i = 0; i < buttons.size(); ++i) {
                if (box.clickedButton() == buttons[i]) return static_cast<int>(i);
            }
            return -1;
        },
        -1);
}

HostKeyChoice QtUserInterface::HostKeyWarning(const std::string& text, bool allow_overwrite) {
    QPointer<QWidget> parent = parent_;
    return Ask<HostKeyChoice>(
        [parent, text, allow_overwrite](QPointer<QDialog>& shown) {
            QDialog dialog(parent);
            dialog.setWindowTitle(QStringLiteral("Warning"));
            auto* layout = new QVBoxLayout(&dialog);
            QLabel* message = PlainLabel(Q(text), &dialog);
            message->setMinimumWidth(TextWidth(&dialog, 60));
            layout->addWidget(message);
            auto* buttons = new QDialogButtonBox(&dialog);
            QPushButton* add =
                buttons->addButton(QStringLiteral("&Add"), QDialogButtonBox::AcceptRole);
            QPushButton* overwrite =
                buttons->addButton(QStringLiteral("&Overwrite"), QDialogButtonBox::AcceptRole);
            QPushButton* reject =
                buttons->addButton(QStringLiteral("&Reject"), QDialogButtonBox::RejectRole);
            // Replacing is offered only when exactly one stored key could be replaced.
            overwrite->setEnabled(allow_overwrite);
            reject->setDefault(true);
            reject->setFocus();
            layout->addWidget(buttons);
            HostKeyChoice choice = HostKeyChoice::kReject;
            QObject::connect(
                buttons, &QDialogButtonBox::clicked, &dialog, [&](QAbstractButton* clicked) {
                    if (clicked == add) choice = HostKeyChoice::kAdd;
                    if (clicked == overwrite) choice = HostKeyChoice::kOverwrite;
                    dialog.done(clicked == reject ? QDialog::Rejected : QDialog::Accepted);
                });
            dialog.setWindowModality(Qt::ApplicationModal);
            shown = &dialog;
            dialog.raise();
            dialog.activateWindow();
            // Escape or closing the window rejects the key.
            return dialog.exec() == QDialog::Accepted ? choice : HostKeyChoice::kReject;
        },
        HostKeyChoice::kReject);
}

void QtUserInterface::SetWaitCursor(bool on) {
    Ask<bool>(
        [this, on](QPointer<QDialog>&) {
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

std::unique_ptr<TransferProgress> QtUserInterface::CreateTransferProgress(bool send_mode) {
    return CreateTransferWindow(parent_, send_mode);
}

}  // namespace tarnwick
