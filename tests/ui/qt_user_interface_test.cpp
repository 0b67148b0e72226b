// The Qt user-interface services called from worker threads: the question runs in the Qt event
// loop and the worker waits for the answer; a worker that is stopped while it waits gives up, so
// the user-interface thread can join it without a deadlock.
#include "ui/qt_user_interface.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

#include "platform/ui_dispatcher.h"
#include "platform/worker_thread.h"

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

TEST_F(QtServicesTest, ASecretPromptMasksWhatIsTyped) {
    std::optional<std::string> typed;
    std::atomic<bool> done{false};
    bool masked = false;
    WhenModal([&](QWidget* dialog) {
        auto* field = dialog->findChild<QLineEdit*>();
        ASSERT_NE(field, nullptr);
        masked = field->echoMode() == QLineEdit::Password;
        QTest::keyClicks(field, "s3cret");
        QTest::keyClick(field, Qt::Key_Return);
    });
    std::thread worker([&] {
        typed = ui_.Prompt("Password:", "", true);
        done = true;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done.load(); }, kWaitMs));
    worker.join();
    EXPECT_TRUE(masked);
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

}  // namespace
}  // namespace tarnwick
