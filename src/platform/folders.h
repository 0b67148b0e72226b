// Where the program keeps its files.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

// The configuration folder: $TARNWICK_CONFIG_DIR, else $XDG_CONFIG_HOME/tarnwick, else
// ~/.config/tarnwick. Created (with its parents) when missing. No trailing slash.
std::string ConfigDirectory();
// The user's documents folder from the XDG user directories, else the home folder.
std::string DocumentsDirectory();
// Mounted removable media (/media/$USER/*, /run/media/$USER/*).
std::vector<std::string> StorageCards();

}  // namespace tarnwick
