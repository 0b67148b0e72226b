#include "transport/serial_devices.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace tarnwick {

namespace {

namespace fs = std::filesystem;

// The entries of folder whose names begin with prefix followed by a number, in numeric order
// (ttyS2 before ttyS10).
std::vector<std::string> NumberedDevices(const std::string& folder, const std::string& prefix) {
    std::vector<std::pair<long, std::string>> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (!std::all_of(digits.begin(), digits.end(),
                         [](char c) { return c >= '0' && c <= '9'; }) ||
            digits.size() > 6) {
            continue;
        }
        found.emplace_back(std::strtol(digits.c_str(), nullptr, 10), entry.path().string());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : found)
        paths.push_back(std::move(path));
    return paths;
}

// A built-in port answers when the kernel knows a UART behind it. The type is read from sysfs,
// which needs no permission on the device; without sysfs the device itself is asked.
bool BuiltInPortAnswers(const std::string& path, const std::string& sys_root) {
    const std::string name = fs::path(path).filename().string();
    std::ifstream type_file(sys_root + "/class/tty/" + name + "/type");
    int type = -1;
    if (type_file >> type) return type != PORT_UNKNOWN;
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    serial_struct info{};
    const bool answers = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return answers;
}

}  // namespace

std::vector<SerialDevice> ListSerialDevices(const std::string& dev_root,
                                            const std::string& sys_root) {
    std::vector<SerialDevice> devices;
    std::set<std::string> shown_targets;
    auto add = [&devices](std::string port, std::string display) {
        if (devices.size() < kMaxSerialDevices)
            devices.push_back({std::move(port), std::move(display)});
    };

    std::error_code ec;
    std::vector<fs::path> stable;
    for (const auto& entry : fs::directory_iterator(dev_root + "/serial/by-id", ec))
        stable.push_back(entry.path());
    std::sort(stable.begin(), stable.end());
    for (const fs::path& link : stable) {
        std::error_code target_ec;
        const fs::path target = fs::canonical(link, target_ec);
        std::string display = link.filename().string();
        if (!target_ec) {
            shown_targets.insert(target.string());
            display += " (" + target.string() + ")";
        }
        add(link.string(), display);
    }

    for (const std::string& path : NumberedDevices(dev_root, "ttyS")) {
        if (BuiltInPortAnswers(path, sys_root)) add(path, path);
    }
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        for (const std::string& path : NumberedDevices(dev_root, prefix)) {
            std::error_code target_ec;
            const fs::path real = fs::canonical(path, target_ec);
            if (!target_ec && shown_targets.count(real.string()) != 0) continue;
            add(path, path);
        }
    }
    return devices;
}

}  // namespace tarnwick
