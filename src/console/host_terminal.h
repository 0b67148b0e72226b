// The terminal the console front end runs in: raw mode, the alternate screen, its size, and
// putting everything back on exit, also when a signal ends the program.
#pragma once

#include <termios.h>

#include <string>

namespace tarnwick {

class HostTerminal {
  public:
    HostTerminal();
    ~HostTerminal();  // restores the terminal
    HostTerminal(const HostTerminal&) = delete;
    HostTerminal& operator=(const HostTerminal&) = delete;

    // Switches to raw mode and the alternate screen and installs the restoring signal handlers.
    // False (with a reason) when standard input or output is not a terminal.
    bool Enter(std::string& error);
    // Puts the terminal back as it was. Safe to call more than once.
    void Restore();

    int input_fd() const { return in_fd_; }
    // Rows and columns of the host terminal (24 x 80 when it cannot tell).
    void Size(int& rows, int& columns) const;
    // A descriptor that becomes readable when the window size changes.
    int resize_fd() const;
    // Empties the resize descriptor; true when a resize was signalled.
    bool TakeResize();

    // Writes all bytes to the terminal.
    void Write(const std::string& bytes) const;

  private:
    int in_fd_ = 0;
    int out_fd_ = 1;
    bool entered_ = false;
    termios saved_{};
};

}  // namespace tarnwick
