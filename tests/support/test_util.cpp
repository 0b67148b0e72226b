#include "support/test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tarnwick::testing {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tarnwick-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

IsolatedConfig::IsolatedConfig() {
    if (const char* old = std::getenv("TARNWICK_CONFIG_DIR")) {
        previous_ = old;
        had_previous_ = true;
    }
    setenv("TARNWICK_CONFIG_DIR", dir_.path().c_str(), 1);
}

IsolatedConfig::~IsolatedConfig() {
    if (had_previous_) {
        setenv("TARNWICK_CONFIG_DIR", previous_.c_str(), 1);
    } else {
        unsetenv("TARNWICK_CONFIG_DIR");
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tarnwick::testing
