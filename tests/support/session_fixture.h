// Whole sessions as the program keeps them, for tests that drive them against real peers: a
// session list drawing into memory displays, scripted user-interface services, the event loop that
// plays the user-interface thread, and settings in a folder of the test's own.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "session/deferred_deletion.h"
#include "session/session.h"
#include "support/memory_front_end.h"
#include "support/test_util.h"
#include "terminal/key_handling.h"

namespace tarnwick::testing {

class SessionListFixture {
  public:
    SessionListFixture() {
        RegistryStore::Instance().Close();  // reopened in this test's configuration folder
        Preferences::Instance().SetInt(pref::EnableICM, 0);
    }
    ~SessionListFixture() {
        CloseSessions();
        RegistryStore::Instance().Close();
    }
    SessionListFixture(const SessionListFixture&) = delete;
    SessionListFixture& operator=(const SessionListFixture&) = delete;

    // Opens a session from config (which the list takes over) and makes it current; nullptr when
    // the list refused it.
    Session* Create(SessionConfig* config) {
        return list_->CreateSession(config) == 1 ? list_->Current() : nullptr;
    }
    // Ends every session. A test whose peer is a member of its own (ended before this fixture)
    // calls it in TearDown, so that the sessions end while the peer still runs.
    void CloseSessions() {
        list_.reset();
        DeferredDeletion::Instance().DestroyAll();
    }
    // Text typed on the keyboard of a session.
    static void Type(Session* s, const std::string& text) {
        for (unsigned char c : text)
            s->PushKey(c);
        KeyHandler::PumpKeys(s);
    }
    bool WaitForScreen(Session* s, const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return loop_.RunUntil([&] { return ScreenText(s).find(text) != std::string::npos; }, limit);
    }

    IsolatedConfig isolated_;
    ScriptedUi ui_;
    EventLoop loop_;
    MemoryFrontEnd front_end_;
    std::unique_ptr<SessionList> list_ = std::make_unique<SessionList>(&front_end_);
};

}  // namespace tarnwick::testing
