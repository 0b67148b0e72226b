// The connection dialogs of the Qt front end: the "New Connection" chooser, the parameter dialog
// of each connection kind, "Terminal Parameters", "SSH2 Advanced", "Select Algorithm" and the
// port-forward list with its add dialog. Each is a face of a toolkit-free model (the console asks
// the same models on the tty), laid out by Qt's layouts and usable with the keyboard alone: tab
// order follows the fields, every control has a mnemonic, Enter presses the default button and
// Escape cancels.
#pragma once

#include <QWidget>
#include <optional>
#include <string>

namespace tarnwick {

class SessionConfig;
struct AlgorithmLists;

// What Connect's dialogs decided.
struct ConnectionChoice {
    bool accepted = false;             // the record is to be connected
    std::optional<std::string> saved;  // a saved session to open and connect instead
};

// The chooser, then the parameter dialog of the chosen kind (or of the saved session chosen with
// "Edit..."), for a fresh record.
ConnectionChoice RunConnectionDialogs(QWidget* parent, SessionConfig& config);
// The parameter dialog of one kind; true when accepted, and the record is then saved as the
// kind's default file.
bool RunParameterDialog(QWidget* parent, SessionConfig& config, int kind);

void RunTerminalParameters(QWidget* parent, SessionConfig& config);
void RunSsh2Advanced(QWidget* parent, SessionConfig& config);
void RunSelectAlgorithm(QWidget* parent, SessionConfig& config, const AlgorithmLists& lists);
// "Local Port Forwarding": closing it with either button keeps the list it shows.
void RunPortForwards(QWidget* parent, SessionConfig& config);

}  // namespace tarnwick
