// The session menu of the main window: one entry per session in the order sessions were added,
// with its title; the first ten entries carry the command identifiers 40030 to 40039 (the GUI's
// menu items and Alt+1..Alt+0, the console's session digits). Written once for every front end.
// The reaper thread and the session code may reach it while a session is destroyed, so it has its
// own lock.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tarnwick {

class Session;

class SessionMenu {
  public:
    static constexpr int kFirstCommand = 40030;
    static constexpr int kLastCommand = 40039;

    struct Entry {
        Session* session = nullptr;
        int command = 0;  // 40030..40039, or 0 when the entry has no menu item
        std::u16string title;
    };

    // Called (without the lock held) after every change, so that a front end can redraw.
    void SetChangedHook(std::function<void()> hook);

    void Add(Session* session, const std::u16string& title);
    void Remove(Session* session);
    // Wraps the title in parentheses unless it already begins with "(".
    void MarkDisconnected(Session* session);
    // Checks the session's entry (the current session) and clears the other check marks.
    void Check(Session* session);

    std::vector<Entry> Entries() const;
    // The session whose entry has this command identifier, or nullptr.
    Session* SessionForCommand(int command) const;
    // The checked session, or nullptr.
    Session* Checked() const;
    std::u16string TitleOf(Session* session) const;

  private:
    void Rebuild();  // lock held
    void Changed();

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    Session* checked_ = nullptr;
    std::function<void()> hook_;
};

}  // namespace tarnwick
