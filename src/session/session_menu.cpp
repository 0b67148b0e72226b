#include "session/session_menu.h"

namespace tarnwick {

void SessionMenu::SetChangedHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(mutex_);
    hook_ = std::move(hook);
}

void SessionMenu::Changed() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        hook = hook_;
    }
    if (hook) hook();
}

void SessionMenu::Rebuild() {
    int command = kFirstCommand;
    for (Entry& entry : entries_) {
        entry.command = command <= kLastCommand ? command++ : 0;
    }
}

void SessionMenu::Add(Session* session, const std::u16string& title) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.push_back(Entry{session, 0, title});
        Rebuild();
    }
    Changed();
}

void SessionMenu::Remove(Session* session) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        std::erase_if(entries_, [session](const Entry& e) { return e.session == session; });
        if (checked_ == session) checked_ = nullptr;
        Rebuild();
    }
    Changed();
}

void SessionMenu::MarkDisconnected(Session* session) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (Entry& entry : entries_) {
            if (entry.session == session && (entry.title.empty() || entry.title[0] != u'(')) {
                entry.title = u"(" + entry.title + u")";
            }
        }
        Rebuild();
    }
    Changed();
}

void SessionMenu::Check(Session* session) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        checked_ = session;
    }
    Changed();
}

std::vector<SessionMenu::Entry> SessionMenu::Entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
}

Session* SessionMenu::SessionForCommand(int command) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Entry& entry : entries_) {
        if (entry.command != 0 && entry.command == command) return entry.session;
    }
    return nullptr;
}

Session* SessionMenu::Checked() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return checked_;
}

std::u16string SessionMenu::TitleOf(Session* session) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const Entry& entry : entries_) {
        if (entry.session == session) return entry.title;
    }
    return {};
}

}  // namespace tarnwick
