// Small pieces every dialog of the Qt front end uses: text conversion, labels that show a peer's
// text as plain text, mnemonics for texts that have none, and widths measured in characters of
// the dialog's font rather than in pixels (so that large fonts and high-DPI screens work).
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>
#include <string>

namespace tarnwick {

inline QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

// A label for text that may come from a server: never read as rich text, wrapped, selectable so
// that a fingerprint can be copied.
QLabel* PlainLabel(const QString& text, QWidget* parent);

// Gives every label with a buddy, check box, radio button, push button, group box and tab below
// root that has no mnemonic yet one of its own letters, preferring the first letter of a word and
// never a letter taken by another control shown at the same time (the pages of a tab widget share
// only the letters of what shows beside them).
void AssignMnemonics(QWidget* root, QString taken = {});
// The mnemonic letters the controls below root (outside tab pages) use, in lower case.
QString TakenMnemonics(QWidget* root);

// A width of `characters` average characters of the widget's font.
int TextWidth(const QWidget* widget, int characters);

}  // namespace tarnwick
