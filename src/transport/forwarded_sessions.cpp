#include "transport/forwarded_sessions.h"

#include <atomic>

namespace tarnwick {

namespace {
std::atomic<ForwardedSessions*> g_sessions{nullptr};
}  // namespace

ForwardedSessions* SetForwardedSessions(ForwardedSessions* sessions) {
    return g_sessions.exchange(sessions);
}

ForwardedSessions* GetForwardedSessions() {
    return g_sessions.load();
}

}  // namespace tarnwick
