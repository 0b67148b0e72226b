// Where the "New Connection" chooser finds saved sessions: every "*.tks" file (not "DEFAULT_*")
// in the settings folder and on mounted storage cards, with their sub-folders.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

struct SavedSession {
    std::string name;  // the file name without ".tks"
    std::string path;
};

// The settings folder, then the root folder of every storage card.
std::vector<std::string> SavedSessionFolders();

// Every "*.tks" file (not "DEFAULT_*") under the folders and their sub-folders, sorted by name
// without regard to case.
std::vector<SavedSession> FindSavedSessions(const std::vector<std::string>& folders);

}  // namespace tarnwick
