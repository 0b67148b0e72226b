// A program driven through tmux as a person would use it: keys in, the screen read back. Each
// object has its own tmux server, ended with the object.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/child_process.h"

namespace tarnwick::testing {

class Tmux {
  public:
    // name: the tmux server's, made this process's own.
    explicit Tmux(const std::string& name) : socket_(name + "-" + std::to_string(getpid())) {}
    ~Tmux() { Run("kill-server 2>/dev/null"); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    std::string Run(const std::string& arguments) {
        return RunCommand("tmux -L " + socket_ + " " + arguments);
    }
    // Starts command in a window of the given size.
    void Start(const std::string& command, int columns = 100, int rows = 30) {
        Run("new-session -d -s main -x " + std::to_string(columns) + " -y " + std::to_string(rows) +
            " \"" + command + "\"");
    }
    // Starts the program's console front end with its settings in config_dir: env (environment
    // settings, "NAME=value" or "-u NAME") before it, arguments (a session file) after it.
    void StartConsole(const std::string& config_dir, const std::string& arguments = "",
                      const std::string& env = "", int columns = 100, int rows = 30) {
        Start("env " + env + " TARNWICK_CONFIG_DIR=" + config_dir + " " +
                  std::string(TARNWICK_BINARY_DIR) + "/bin/tarnwick --console " + arguments,
              columns, rows);
    }
    // Opens Connect's chooser and picks the entry that reads entry ("3  New SSL Connection") by
    // typing its number; false when the chooser does not offer it.
    bool Choose(const std::string& entry) {
        Keys("C-] c");
        if (!WaitFor(entry) || Screen().find(entry + "  (not available") != std::string::npos)
            return false;
        Line(entry.substr(0, entry.find(' ')));
        return true;
    }
    // Keys in tmux's notation ("C-] c", "Enter", "Escape").
    void Keys(const std::string& keys) { Run("send-keys -t main " + keys); }
    // Text typed as it stands (no single quotes in it).
    void Literal(const std::string& text) { Run("send-keys -t main -l '" + text + "'"); }
    void Line(const std::string& text) {
        Literal(text);
        Keys("Enter");
    }
    std::string Screen() { return Run("capture-pane -t main -p"); }
    bool WaitFor(const std::string& text,
                 std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (Screen().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    bool Alive() { return Run("has-session -t main 2>/dev/null && echo yes").find("yes") == 0; }
    bool WaitForExit(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (Alive() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return !Alive();
    }

    // Quits the program the way a user does (Ctrl-] q), answering Yes when it asks because a
    // session is still up; true once it has ended.
    bool Quit() {
        Keys("C-] q");
        if (!WaitFor("Really quit?")) return false;
        Keys("y");
        return WaitForExit();
    }

  private:
    std::string socket_;
};

}  // namespace tarnwick::testing
