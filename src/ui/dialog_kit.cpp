#include "ui/dialog_kit.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QGroupBox>
#include <QTabBar>
#include <QTabWidget>
#include <functional>
#include <vector>

namespace tarnwick {

namespace {

// The mnemonic letter of a text ("Chec&k CRC" has "k"), or a null character.
QChar MnemonicOf(const QString& text) {
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) continue;
        if (text[i + 1] == QLatin1Char('&')) {
            ++i;
            continue;
        }
        return text[i + 1].toLower();
    }
    return {};
}

struct Control {
    QString text;
    std::function<void(const QString&)> set;
};

void AddControl(QWidget* widget, std::vector<Control>& controls) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        if (label->buddy() == nullptr || label->textFormat() == Qt::RichText) return;
        controls.push_back({label->text(), [label](const QString& t) { label->setText(t); }});
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        if (button->text().isEmpty()) return;  // an arrow or an icon
        controls.push_back({button->text(), [button](const QString& t) { button->setText(t); }});
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
        if (group->title().isEmpty()) return;
        controls.push_back({group->title(), [group](const QString& t) { group->setTitle(t); }});
    }
}

// The controls below widget whose text can carry a mnemonic, and the pages of the tab widgets
// among them: a page and its tab are not shown at the same time as the other pages.
void Collect(QWidget* widget, std::vector<Control>& controls, std::vector<QWidget*>& pages) {
    for (QObject* child : widget->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (w == nullptr) continue;
        if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
            QTabBar* bar = tabs->tabBar();
            for (int i = 0; i < tabs->count(); ++i) {
                controls.push_back(
                    {bar->tabText(i), [bar, i](const QString& t) { bar->setTabText(i, t); }});
                pages.push_back(tabs->widget(i));
            }
            continue;
        }
        AddControl(w, controls);
        Collect(w, controls, pages);
    }
}

// Where a new mnemonic goes in text: the first free letter that starts a word, else any free
// letter; -1 when every letter is taken.
qsizetype PlaceFor(const QString& text, const QString& taken) {
    for (int pass = 0; pass < 2; ++pass) {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i];
            if (!c.isLetterOrNumber() || taken.contains(c.toLower())) continue;
            const bool starts_word = i == 0 || !text[i - 1].isLetterOrNumber();
            if (pass == 1 || starts_word) return i;
        }
    }
    return -1;
}

}  // namespace

QLabel* PlainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QString TakenMnemonics(QWidget* root) {
    std::vector<Control> controls;
    std::vector<QWidget*> pages;
    Collect(root, controls, pages);
    QString taken;
    for (const Control& control : controls) {
        const QChar c = MnemonicOf(control.text);
        if (!c.isNull()) taken += c;
    }
    return taken;
}

void AssignMnemonics(QWidget* root, QString taken) {
    std::vector<Control> controls;
    std::vector<QWidget*> pages;
    Collect(root, controls, pages);
    for (const Control& control : controls) {
        const QChar c = MnemonicOf(control.text);
        if (!c.isNull()) taken += c;
    }
    for (Control& control : controls) {
        if (!MnemonicOf(control.text).isNull()) continue;
        const qsizetype place = PlaceFor(control.text, taken);
        if (place < 0) continue;
        taken += control.text[place].toLower();
        control.set(control.text.left(place) + QLatin1Char('&') + control.text.mid(place));
    }
    // What shows beside a page (its tab, the dialog's buttons) keeps its letters there.
    for (QWidget* page : pages)
        AssignMnemonics(page, taken);
}

int TextWidth(const QWidget* widget, int characters) {
    return widget->fontMetrics().averageCharWidth() * characters;
}

}  // namespace tarnwick
