// The Qt user-interface services called from worker threads: the question runs in the Qt event
// loop and the worker waits for the answer; a worker that is stopped while it waits gives up, so
// the user-interface thread can join it without a deadlock, and the dialog it left is closed. The
// host-key warning and the transfer window as a person meets them.
#include "ui/qt_user_interface.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

#include "platform/ui_dispatcher.h"
#include "platform/worker_thread.h"
#include "ui/dialog_driver.h"
#include "ui/transfer_window.h"

namespace tarnwick {
namespace {

constexpr int kWaitMs = 5000;

class QtServicesTest : public ::testing::Test {
  protected:
    void SetUp() override { BindDispatcherToQt(); }
    void TearDown() override { UiDispatcher::Instance().Unbind(); }
    QtUserInterface ui_{nullptr};
};

// Acts on the next modal dialog once it shows (from inside its own event loop).
void WhenModal(const std::function<void(QWidget*)>& action) {
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            action(dialog);
        }
    });
    timer->start(10);
}

TEST_F(QtServicesTest, AWorkersQuestionIsAskedInTheEventLoopAndAnswered) {
    std::atomic<int> answer{-1};
    QString title, text;
    int answer_while_shown = 0;
    WhenModal([&](QWidget* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        answer_while_shown = answer.load();
        box->button(QMessageBox::Yes)->click();
    });
    std::thread worker([&] { answer = ui_.AskYesNo("Really quit?", "Sure?") ? 1 : 0; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer.load() != -1; }, kWaitMs));
    worker.join();
    EXPECT_EQ(title, "Really quit?");
    EXPECT_EQ(text, "Sure?");
    EXPECT_EQ(answer_while_shown, -1) << "the worker must wait for the answer";
    EXPECT_EQ(answer.load(), 1);
}

TEST_F(QtServicesTest, ASecretPromptMasksWhatIsTypedAndShowsAServersTextAsItStands) {
    std::optional<std::string> typed;
    std::atomic<bool> done{false};
    bool masked = false;
    QString shown;
    WhenModal([&](QWidget* dialog) {
        auto* field = dialog->findChild<QLineEdit*>();
        ASSERT_NE(field, nullptr);
        masked = field->echoMode() == QLineEdit::Password;
        for (auto* label : dialog->findChildren<QLabel*>()) {
            if (label->textFormat() == Qt::PlainText) shown = label->text();
        }
        QTest::keyClicks(field, "s3cret");
        QTest::keyClick(field, Qt::Key_Return);
    });
    std::thread worker([&] {
        typed = ui_.Prompt("<img src=x> Password for a&b:", "", true);
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, kWaitMs));
    worker.join();
    EXPECT_TRUE(masked);
    EXPECT_EQ(shown, "<img src=x> Password for a&b:");
    EXPECT_EQ(typed, std::optional<std::string>("s3cret"));
}

TEST_F(QtServicesTest, AStoppedWorkerGivesUpWaitingSoTheJoinDoesNotDeadlock) {
    // The user-interface thread stops a reader that waits for it, without running its loop.
    WorkerThread reader;
    std::atomic<bool> asked{false};
    std::optional<std::string> answer = std::string("unset");
    ASSERT_TRUE(reader.Start([&] {
        asked = true;
        answer = ui_.Prompt("Host name:", "", false);
        return 0;
    }));
    while (!asked.load())
        std::this_thread::yield();
    reader.Stop();
    EXPECT_FALSE(answer.has_value());
    // The question that was never shown is dropped, not shown later.
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(QtServicesTest, AWorkerStoppedWhileItsQuestionIsOpenLeavesAndTheQuestionCloses) {
    WorkerThread exchange;
    std::atomic<int> answer{-1};
    bool stopped = false;
    WhenModal([&](QWidget* dialog) {
        EXPECT_EQ(dialog->windowTitle(), "Warning");
        // The session goes away while its question is open: the user-interface thread stops the
        // worker from inside the dialog's loop, and the join returns.
        exchange.Stop();
        stopped = true;
    });
    ASSERT_TRUE(exchange.Start([&] {
        answer = static_cast<int>(ui_.HostKeyWarning("The host key changed.", true));
        return 0;
    }));
    ASSERT_TRUE(QTest::qWaitFor([&] { return stopped; }, kWaitMs));
    EXPECT_EQ(answer.load(), static_cast<int>(HostKeyChoice::kReject));
    // The question the worker left is closed, unanswered.
    EXPECT_TRUE(
        QTest::qWaitFor([] { return QApplication::activeModalWidget() == nullptr; }, kWaitMs));
}

TEST_F(QtServicesTest, AQuestionWithSeveralAnswersShowsEachAsAButton) {
    const std::vector<std::string> answers = {"Allow once", "Allow for this session", "Refuse"};
    for (int pick : {1, 2}) {
        QStringList shown;
        WhenModal([&](QWidget* dialog) {
            auto* box = qobject_cast<QMessageBox*>(dialog);
            ASSERT_NE(box, nullptr);
            for (QAbstractButton* button : box->buttons())
                shown << button->text();
            if (pick == 1) {
                box->buttons()[1]->click();
            } else {
                QTest::keyClick(box, Qt::Key_Escape);  // the careful answer
            }
        });
        std::atomic<int> answer{-2};
        std::thread worker([&] { answer = ui_.AskMultipleChoice("Agent", "Sign?", answers); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return answer.load() != -2; }, kWaitMs));
        worker.join();
        EXPECT_EQ(answer.load(), pick);
        shown.sort();
        EXPECT_EQ(shown, (QStringList{"Allow for this session", "Allow once", "Refuse"}));
    }
}

TEST_F(QtServicesTest, HostKeyWarningRejectsByDefaultAndOffersOverwriteOnlyWhenAllowed) {
    struct Case {
        bool allow;
        std::function<void()> keys;
        HostKeyChoice expected;
    } cases[] = {
        {false, [] { testing::Key(Qt::Key_Return); }, HostKeyChoice::kReject},
        {false, [] { testing::Key(Qt::Key_Escape); }, HostKeyChoice::kReject},
        {false, [] { testing::Alt('o'); }, HostKeyChoice::kReject},  // not offered
        {true, [] { testing::Alt('o'); }, HostKeyChoice::kOverwrite},
        {false, [] { testing::Alt('a'); }, HostKeyChoice::kAdd},
    };
    for (const Case& c : cases) {
        bool overwrite_enabled = !c.allow;
        testing::When("Warning", [&](QWidget* dialog) {
            for (auto* button : dialog->findChildren<QPushButton*>()) {
                if (button->text() == "&Overwrite") overwrite_enabled = button->isEnabled();
            }
            c.keys();
            // A key that did nothing leaves the dialog open: reject it as Escape would.
            if (QApplication::activeModalWidget() == dialog) testing::Key(Qt::Key_Escape);
        });
        EXPECT_EQ(ui_.HostKeyWarning("Fingerprint: ...", c.allow), c.expected);
        EXPECT_EQ(overwrite_enabled, c.allow);
    }
}

TEST_F(QtServicesTest, ATransferWindowFollowsItsWorkerAndCancelOnlyAsksItToStop) {
    std::unique_ptr<TransferProgress> progress;
    std::atomic<bool> reported{false}, cancelled{false}, finish{false};
    std::thread worker([&] {
        progress = ui_.CreateTransferProgress(true);
        progress->SetFileName("<b>fw.bin</b>");
        progress->SetTotalText("100");
        progress->SetDoneText("12");
        progress->SetPercentage(12);
        progress->SetStatusText("Starting xfer");
        reported = true;
        while (!progress->IsCancelled())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        cancelled = true;
        while (!finish)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        progress.reset();  // the transfer ends: its window closes
    });
    TransferWindow* window = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            window = QApplication::activeWindow() != nullptr
                         ? qobject_cast<TransferWindow*>(QApplication::activeWindow())
                         : nullptr;
            if (window == nullptr) {
                for (QWidget* top : QApplication::topLevelWidgets()) {
                    if (auto* w = qobject_cast<TransferWindow*>(top)) window = w;
                }
            }
            return reported && window != nullptr &&
                   window->findChild<QProgressBar*>()->value() == 12;
        },
        kWaitMs));
    QStringList texts;
    for (auto* label : window->findChildren<QLabel*>())
        texts << label->text();
    EXPECT_TRUE(texts.contains("12 of 100 KB transferred")) << texts.join("|").toStdString();
    EXPECT_TRUE(texts.contains("<b>fw.bin</b>"));
    EXPECT_TRUE(texts.contains("Starting xfer"));
    EXPECT_TRUE(window->findChild<QProgressBar*>()->isVisible()) << "a bar when sending";

    QPointer<TransferWindow> alive(window);
    // Closing the window is a Cancel: it asks, and the window stays until the transfer ends.
    EXPECT_FALSE(window->close());
    ASSERT_TRUE(QTest::qWaitFor([&] { return cancelled.load(); }, kWaitMs));
    ASSERT_FALSE(alive.isNull());
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !window->findChild<QPushButton*>()->isEnabled(); }, kWaitMs));
    finish = true;
    worker.join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return alive.isNull(); }, kWaitMs));
}

}  // namespace
}  // namespace tarnwick
