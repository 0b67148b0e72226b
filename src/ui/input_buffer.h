// The input buffer window of the Qt front end.
#pragma once

#include <QLineEdit>
#include <QWidget>
#include <functional>
#include <string>

namespace tarnwick {

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
