// Helpers shared by the tests.
#pragma once

#include <string>

namespace tarnwick::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Points TARNWICK_CONFIG_DIR at a fresh temporary folder for the lifetime of the object, so that a
// test never touches the user's settings.
class IsolatedConfig {
  public:
    IsolatedConfig();
    ~IsolatedConfig();
    const std::string& path() const { return dir_.path(); }
    std::string File(const std::string& name) const { return dir_.File(name); }

  private:
    TempDir dir_;
    std::string previous_;
    bool had_previous_ = false;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace tarnwick::testing
