// What the port-forwarding dialogs of the SSH2 set-up do, without a toolkit: the list dialog
// ("Local Port Forwarding") and the validation of its add dialog. The GUI draws Rows() and calls
// these operations; errors go through the user-interface services.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "core/session_config.h"

namespace tarnwick {

struct ForwardColumn {
    const char* title;
    int width;
};
// "Local Port" 70, "Remote Host" 90, "Remote Port" 90, "Allow" 50.
std::span<const ForwardColumn> PortForwardColumns();

enum class ForwardField { kNone, kLocalPort, kRemoteHost, kRemotePort };

// What the add dialog's remote host field holds when it opens: most forwards reach a service on
// the server itself.
inline constexpr const char* kDefaultRemoteHost = "localhost";
// The port fields take at most this many characters.
inline constexpr int kPortFieldLength = 5;

struct ForwardValidation {
    bool ok = false;
    std::string message;                       // the error text (the box is titled "Error")
    ForwardField field = ForwardField::kNone;  // where the focus goes back to
    PortForward forward;                       // the record, when ok
};

// The add dialog's checks on OK, in order: local port, remote host, remote port. Ports are at
// most five digits and must lie between 1 and 65536. On failure the message is shown in an
// "Error" box when show is set.
ForwardValidation ValidatePortForward(const std::string& local_port, const std::string& remote_host,
                                      const std::string& remote_port, bool allow_nonlocal,
                                      bool show = true);

class PortForwardListModel {
  public:
    // Takes every record out of the session's list; each row is inserted at the top, so the
    // newest record is shown first.
    void Load(SessionConfig& config);
    // Rows from the top; "Allow" shows "Y" or "N".
    const std::vector<PortForward>& Rows() const { return rows_; }
    static std::string AllowText(const PortForward& forward) {
        return forward.allow_nonlocal ? "Y" : "N";
    }
    // Inserts a new row at the top; a local port already listed shows "A forward for this port
    // already exists." and the forward is discarded.
    bool Add(const PortForward& forward);
    bool Delete(int row);
    // Closing the dialog (either button): the session's list is rebuilt from the rows, bottom
    // row first, so that it keeps its order and new forwards come last.
    void Store(SessionConfig& config) const;

  private:
    std::vector<PortForward> rows_;
};

}  // namespace tarnwick
