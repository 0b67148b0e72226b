// Where the program keeps its files.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

// The configuration folder: $TARNWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/tarnwick, else
// ~/.config/tarnwick. Created (with its parents) when missing. No trailing slash.
//
// It holds accepted host keys, preferences, imported keys and saved sessions, so it is created
// private (0700), and an existing one that others can enter is made private again, and the user
// told (TakePrivacyNotice).
std::string ConfigDirectory();

// Takes group and other permissions away from a file or folder the user owns; true when it had
// any. A shared folder (sticky, like /tmp) or one that belongs to someone else is left alone.
// What changed is remembered for TakePrivacyNotice.
bool RestrictToOwner(const std::string& path);
// One notice naming everything RestrictToOwner changed so far (empty when nothing), given out
// once.
std::string TakePrivacyNotice();
// The user's documents folder from the XDG user directories, else the home folder.
std::string DocumentsDirectory();
// Mounted removable media (/media/$USER/*, /run/media/$USER/*).
std::vector<std::string> StorageCards();

}  // namespace tarnwick
