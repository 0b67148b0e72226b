// The plain dialogs of the Qt front end, each built on a toolkit-free model: the "New Connection"
// chooser and the parameter form of each connection kind, the host key manager, and the input
// buffer window.
#pragma once

#include <QLineEdit>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

namespace tarnwick {

class SessionConfig;

// What the chooser decided.
struct ConnectionChoice {
    bool accepted = false;             // the record is to be connected
    std::optional<std::string> saved;  // a saved session to open instead
};

// The chooser, then the kind's form, for a fresh record.
ConnectionChoice RunConnectionDialogs(QWidget* parent, SessionConfig& config);
// The parameter form of one kind; true when accepted.
bool RunParameterForm(QWidget* parent, SessionConfig& config, int kind);

// The SSH2 set-up's list of local port forwards.
void RunPortForwards(QWidget* parent, SessionConfig& config);

// The host key manager over the known-hosts store.
void RunHostKeyManager(QWidget* parent);

// "Tarnwick Input Buffer": a line of text sent to the current session, byte by byte, with a
// carriage return after it.
class InputBuffer final : public QWidget {
    Q_OBJECT

  public:
    // `send` gets the line (UTF-8); `closed` is called when the window hides.
    InputBuffer(QWidget* parent, std::function<void(const std::string&)> send,
                std::function<void()> closed);
    void ShowAndFocus();
    QLineEdit* field() const { return field_; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void SendLine();

    QLineEdit* field_;
    std::function<void(const std::string&)> send_;
    std::function<void()> closed_;
};

}  // namespace tarnwick
