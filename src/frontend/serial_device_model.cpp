#include "frontend/serial_device_model.h"

#include "platform/text.h"

namespace tarnwick {

SerialDeviceModel::SerialDeviceModel(std::vector<SerialDevice> devices)
    : devices_(std::move(devices)) {}

int SerialDeviceModel::Preselected(const std::string& current) const {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].port == current) return static_cast<int>(i);
    }
    return devices_.empty() ? -1 : 0;
}

std::string SerialDeviceModel::InitialValue(const std::string& current) const {
    if (!current.empty()) return current;
    const int index = Preselected(current);
    return index >= 0 ? devices_[static_cast<std::size_t>(index)].port : std::string();
}

std::string SerialDeviceModel::Resolve(const std::string& typed) const {
    const std::string text = TrimBlanks(typed);
    if (!text.empty() && text.size() <= 3 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
        const std::size_t number = std::stoul(text);
        if (number >= 1 && number <= devices_.size()) return devices_[number - 1].port;
    }
    return text;
}

std::string SerialDeviceModel::ListText() const {
    if (devices_.empty()) return "  (no serial devices found: type the path of one)\n";
    std::string text;
    for (std::size_t i = 0; i < devices_.size(); ++i)
        text += "  " + std::to_string(i + 1) + "  " + devices_[i].display + "\n";
    return text;
}

}  // namespace tarnwick
