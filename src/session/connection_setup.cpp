#include "session/connection_setup.h"

#include <strings.h>
#include <algorithm>
#include <filesystem>

#include "platform/folders.h"

namespace tarnwick {

std::vector<std::string> SavedSessionFolders() {
    std::vector<std::string> folders = {ConfigDirectory()};
    for (const std::string& card : StorageCards())
        folders.push_back(card);
    return folders;
}

std::vector<SavedSession> FindSavedSessions(const std::vector<std::string>& folders) {
    std::vector<SavedSession> found;
    for (const std::string& folder : folders) {
        std::error_code ec;
        auto options = std::filesystem::directory_options::skip_permission_denied;
        std::filesystem::recursive_directory_iterator it(folder, options, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (it.depth() > 16) {
                it.disable_recursion_pending();  // a link loop must not trap the walk
                continue;
            }
            const auto& path = it->path();
            std::string name = path.filename().string();
            if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".tks") != 0) continue;
            if (name.rfind("DEFAULT_", 0) == 0) continue;
            std::error_code file_ec;
            if (!it->is_regular_file(file_ec)) continue;
            found.push_back({name.substr(0, name.size() - 4), path.string()});
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const SavedSession& a, const SavedSession& b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return found;
}

}  // namespace tarnwick
