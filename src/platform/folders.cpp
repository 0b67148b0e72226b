#include "platform/folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace tarnwick {

namespace {

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/tmp";
}

std::string UserName() {
    if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') return user;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    return {};
}

std::mutex privacy_mutex;
std::vector<std::string> made_private;  // guarded by privacy_mutex

std::string StripTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

}  // namespace

std::string ConfigDirectory() {
    std::string dir;
    if (const char* own = std::getenv("TARNWICK_CONFIG_DIR"); own != nullptr && *own != '\0') {
        dir = own;
    } else if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        dir = std::string(xdg) + "/tarnwick";
    } else {
        dir = HomeDirectory() + "/.config/tarnwick";
    }
    dir = StripTrailingSlash(dir);
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) {
        // The parents as the system makes them, the folder itself private from the start.
        const std::filesystem::path path(dir);
        if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
        ::mkdir(dir.c_str(), 0700);
    } else if (dir != HomeDirectory()) {
        RestrictToOwner(dir);
    }
    return dir;
}

bool RestrictToOwner(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (info.st_uid != ::geteuid() || (info.st_mode & S_ISVTX) != 0) return false;
    if (!S_ISDIR(info.st_mode) && !S_ISREG(info.st_mode)) return false;
    if ((info.st_mode & 077) == 0) return false;
    if (::chmod(path.c_str(), info.st_mode & 07700) != 0) return false;
    std::lock_guard<std::mutex> guard(privacy_mutex);
    made_private.push_back(path);
    return true;
}

std::string TakePrivacyNotice() {
    std::lock_guard<std::mutex> guard(privacy_mutex);
    if (made_private.empty()) return {};
    std::string notice =
        "Other users of this computer could read Tarnwick's settings (accepted host keys, saved "
        "sessions, imported keys). Only you can read them now:";
    for (const std::string& path : made_private)
        notice += "\n  " + path;
    made_private.clear();
    return notice;
}

std::string DocumentsDirectory() {
    const std::string home = HomeDirectory();
    std::string config_home = home + "/.config";
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg == '/') {
        config_home = xdg;
    }
    // user-dirs.dirs holds lines such as XDG_DOCUMENTS_DIR="$HOME/Documents".
    std::ifstream in(config_home + "/user-dirs.dirs");
    std::string line;
    const std::string prefix = "XDG_DOCUMENTS_DIR=\"";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) != 0) continue;
        std::string value = line.substr(prefix.size());
        if (auto quote = value.find('"'); quote != std::string::npos) value.resize(quote);
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        std::error_code ec;
        if (!value.empty() && value != "/" && std::filesystem::is_directory(value, ec)) {
            return StripTrailingSlash(value);
        }
    }
    return home;
}

std::vector<std::string> StorageCards() {
    std::vector<std::string> cards;
    const std::string user = UserName();
    for (const std::string& base : {"/media/" + user, "/run/media/" + user}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(base, ec)) {
            if (entry.is_directory(ec)) cards.push_back(entry.path().string());
        }
    }
    return cards;
}

}  // namespace tarnwick
