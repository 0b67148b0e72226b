// Drives modal dialogs as a person would: a step waits until the dialog with its title is the
// active window, then types into whatever has the focus. A dialog's exec() blocks the code that
// opened it, so a step that opens another dialog registers that dialog's step first.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <functional>
#include <map>
#include <sstream>
#include <string>

namespace tarnwick::testing {

// Runs step once the modal dialog titled `title` is active. A dialog that never comes is a
// failure, and the step is dropped, so that it cannot run in a later test.
inline void When(const QString& title, std::function<void(QWidget*)> step) {
    constexpr int kPatienceMs = 15000;
    auto* timer = new QTimer();
    QElapsedTimer waited;
    waited.start();
    QObject::connect(timer, &QTimer::timeout, [timer, title, step, waited] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (waited.hasExpired(kPatienceMs)) {
            ADD_FAILURE() << "the dialog \"" << title.toStdString() << "\" did not come";
            timer->stop();
            timer->deleteLater();
            return;
        }
        if (dialog == nullptr || dialog->windowTitle() != title) return;
        // The offscreen platform does not always make a new dialog the active window, as a
        // window manager would: ask for it and try again on the next tick.
        if (QApplication::activeWindow() != dialog) {
            dialog->activateWindow();
            return;
        }
        timer->stop();
        timer->deleteLater();
        step(dialog);
    });
    timer->start(10);
}

// A failed step leaves its dialog open: after this long every modal dialog is closed, so that
// the test ends with its failures instead of hanging.
class DialogWatchdog {
  public:
    explicit DialogWatchdog(int ms = 20000) {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [] {
            ADD_FAILURE() << "a dialog was left open";
            while (QWidget* dialog = QApplication::activeModalWidget()) {
                if (auto* d = qobject_cast<QDialog*>(dialog)) {
                    d->reject();
                } else {
                    dialog->close();
                }
                QApplication::processEvents();
            }
        });
        timer_.start(ms);
    }

  private:
    QTimer timer_;
};

// The widget that has the focus. When a dialog closes, a window manager makes the window below
// it active again; the offscreen platform does not, so this does.
inline QWidget* Focus() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && QApplication::activeWindow() != modal) {
        modal->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(modal));
    }
    QWidget* focus = QApplication::focusWidget();
    return focus != nullptr ? focus : modal;
}

// A key to whatever has the focus.
inline void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    if (QWidget* focus = Focus()) QTest::keyClick(focus, key, modifiers);
}
// A mnemonic: a button "clicks" with a short animation, so the click lands a little later.
inline void Alt(char letter) {
    Key(static_cast<Qt::Key>(Qt::Key_A + (letter - 'a')), Qt::AltModifier);
    QTest::qWait(150);
}
// A shortcut with Alt on a button (an arrow button's key): it clicks a little later, as above.
inline void AltKey(Qt::Key key) {
    Key(key, Qt::AltModifier);
    QTest::qWait(150);
}
// Types into the focused field.
inline void Keys(const QString& text) {
    if (QWidget* focus = Focus()) QTest::keyClicks(focus, text);
}
// Replaces the text of the focused field by typing.
inline void Type(const QString& text) {
    Key(Qt::Key_A, Qt::ControlModifier);
    Keys(text);
}

// A control's text as shown, without its mnemonic marker.
inline QString Shown(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    return text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
}

// Presses the mnemonic of the visible control (a label with a buddy, a button, a tab) that reads
// `text`: every control a person needs can be reached this way.
inline void Mnemonic(QWidget* dialog, const QString& text) {
    QString marked;
    for (QWidget* widget : dialog->findChildren<QWidget*>()) {
        if (!widget->isVisible()) continue;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->buddy() != nullptr && Shown(label->text()) == text) marked = label->text();
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            if (Shown(button->text()) == text) marked = button->text();
        } else if (auto* bar = qobject_cast<QTabBar*>(widget)) {
            for (int i = 0; i < bar->count(); ++i) {
                if (Shown(bar->tabText(i)) == text) marked = bar->tabText(i);
            }
        }
    }
    const qsizetype at = marked.remove(QStringLiteral("&&")).indexOf(QLatin1Char('&'));
    if (at < 0 || at + 1 >= marked.size()) {
        ADD_FAILURE() << "no mnemonic for \"" << text.toStdString() << "\"";
        return;
    }
    Alt(marked[at + 1].toLower().toLatin1());
}

// The "key: value" lines of a session file.
inline std::map<std::string, std::string> FileSettings(const std::string& bytes) {
    std::map<std::string, std::string> settings;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            settings["(kind)"] = line;
        } else {
            settings[line.substr(0, colon)] += line.substr(colon + 2);
        }
    }
    return settings;
}

// The settings in which two session files differ, one a line; empty when they hold the same.
inline std::string Differences(const std::string& actual, const std::string& expected) {
    const auto a = FileSettings(actual);
    const auto e = FileSettings(expected);
    std::string out;
    for (const auto& [key, value] : e) {
        auto found = a.find(key);
        const std::string got = found != a.end() ? found->second : "(missing)";
        if (got != value) out += key + ": " + got + " (expected " + value + ")\n";
    }
    for (const auto& [key, value] : a) {
        if (e.count(key) == 0) out += key + ": " + value + " (not expected)\n";
    }
    return out;
}

}  // namespace tarnwick::testing
