#include "frontend/port_forward_model.h"

#include <array>

#include "platform/user_interface.h"

namespace tarnwick {

namespace {

constexpr std::array<ForwardColumn, 4> kColumns{{
    {"Local Port", 70},
    {"Remote Host", 90},
    {"Remote Port", 90},
    {"Allow", 50},
}};

// The port in text, or -1 when it is not a number the field can hold.
long PortValue(const std::string& text) {
    if (text.empty() || text.size() > static_cast<std::size_t>(kPortFieldLength)) return -1;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool CheckPort(const std::string& text, ForwardField field, ForwardValidation* result) {
    if (text.empty()) {
        result->message = "You must enter a port.";
        result->field = field;
        return false;
    }
    long value = PortValue(text);
    if (value < 1 || value > 65536) {
        result->message = "A port number must be between 1 and 65536.";
        result->field = field;
        return false;
    }
    return true;
}

}  // namespace

std::span<const ForwardColumn> PortForwardColumns() {
    return kColumns;
}

ForwardValidation ValidatePortForward(const std::string& local_port, const std::string& remote_host,
                                      const std::string& remote_port, bool allow_nonlocal,
                                      bool show) {
    ForwardValidation result;
    bool ok = CheckPort(local_port, ForwardField::kLocalPort, &result);
    if (ok && remote_host.empty()) {
        result.message = "You must enter a remote host.";
        result.field = ForwardField::kRemoteHost;
        ok = false;
    }
    ok = ok && CheckPort(remote_port, ForwardField::kRemotePort, &result);
    if (!ok) {
        if (show) Ui().ShowMessage("Error", result.message);
        return result;
    }
    result.ok = true;
    result.forward.local_port = static_cast<std::uint32_t>(PortValue(local_port));
    result.forward.remote_port = static_cast<std::uint32_t>(PortValue(remote_port));
    result.forward.remote_host = remote_host;
    result.forward.allow_nonlocal = allow_nonlocal ? 1 : 0;
    return result;
}

void PortForwardListModel::Load(SessionConfig& config) {
    rows_.clear();
    for (const PortForward& forward : config.ForwardsCopy())
        rows_.insert(rows_.begin(), forward);
    config.ClearForwards();
}

bool PortForwardListModel::Add(const PortForward& forward) {
    for (const PortForward& row : rows_) {
        if (row.local_port == forward.local_port) {
            Ui().ShowMessage("Error", "A forward for this port already exists.");
            return false;
        }
    }
    rows_.insert(rows_.begin(), forward);
    return true;
}

bool PortForwardListModel::Delete(int row) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return false;
    rows_.erase(rows_.begin() + row);
    return true;
}

void PortForwardListModel::Store(SessionConfig& config) const {
    config.ClearForwards();
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it)
        config.AddForward(*it);
}

}  // namespace tarnwick
