// The serial devices offered for a serial session: first the stable names under
// /dev/serial/by-id (shown with their id and the device they stand for), then the built-in ports
// /dev/ttyS* that have hardware behind them, then USB adapters /dev/ttyUSB* and modems
// /dev/ttyACM* not already listed under a stable name. Any other path (a pseudo-terminal made by
// socat, say) can still be typed.
#pragma once

#include <string>
#include <vector>

namespace tarnwick {

struct SerialDevice {
    std::string port;     // what the session stores in serial_device: the path
    std::string display;  // what the list shows
};

// At most this many devices are listed.
inline constexpr std::size_t kMaxSerialDevices = 25;

// The devices under dev_root, with the kernel's port types read under sys_root (tests give
// folders of their own).
std::vector<SerialDevice> ListSerialDevices(const std::string& dev_root = "/dev",
                                            const std::string& sys_root = "/sys");

}  // namespace tarnwick
