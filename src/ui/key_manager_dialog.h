// The host key manager of the Qt front end ("Key Manager"): the stored keys of each key type with
// their fingerprints, sorted by either column, and delete, import and export, from buttons, the
// list's context menu or the keyboard. The rules live in KeyManagerModel.
#pragma once

#include <QWidget>

namespace tarnwick {

void RunHostKeyManager(QWidget* parent);

}  // namespace tarnwick
