#include "session/forwarded_session_host.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "core/io.h"
#include "platform/text.h"
#include "platform/ui_dispatcher.h"
#include "session/session.h"
#include "session/session_builder.h"
#include "transport/forwarded_sessions.h"
#include "transport/socket.h"
#include "transport/socket_listener.h"

namespace tarnwick {

namespace {

std::mutex g_lists_mutex;
std::vector<SessionList*> g_lists;

// The session holding layer, in any registered list; on the user-interface thread.
Session* FindOwner(IO* layer, SessionList** list) {
    std::lock_guard<std::mutex> guard(g_lists_mutex);
    for (SessionList* candidate : g_lists) {
        if (Session* owner = candidate->FindOwner(layer)) {
            *list = candidate;
            return owner;
        }
    }
    return nullptr;
}

class SessionForwarding final : public ForwardedSessions {
  public:
    bool OpenAccepted(IO_SocketListener* listener, AcceptedConnection connection) override {
        if (!CanBuildTemplate(connection.layer_template)) {
            CloseSocket(connection.socket);
            return false;
        }
        // The socket belongs to whoever takes it first: the task, or this thread when the task
        // never ran (the listener is stopping).
        auto socket = std::make_shared<std::atomic<int>>(connection.socket);
        auto layer_template = std::make_shared<std::vector<int>>(connection.layer_template);
        auto title = std::make_shared<std::u16string>(Utf8ToUtf16(connection.title));
        IO* key = listener;
        UiDispatcher::Instance().RunAndWait([socket, layer_template, title, key] {
            const int fd = socket->exchange(kInvalidSocket);
            if (fd < 0) return;
            SessionList* list = nullptr;
            Session* owner = FindOwner(key, &list);
            if (owner == nullptr) {
                CloseSocket(fd);  // the listener's session has been disconnected meanwhile
                return;
            }
            list->OpenAcceptedSession(owner->GetConfig(), *layer_template, fd, *title);
        });
        const int fd = socket->exchange(kInvalidSocket);
        if (fd >= 0) CloseSocket(fd);
        return true;
    }

    void DisconnectOwner(IO* layer) override {
        UiDispatcher::Instance().RunAndWait([layer] {
            SessionList* list = nullptr;
            if (Session* owner = FindOwner(layer, &list)) {
                owner->Disconnect();
                if (list->front_end() != nullptr) list->front_end()->SessionUpdated(owner);
            }
        });
    }

    void Show(IO* layer, const std::string& text) override {
        auto copy = std::make_shared<std::string>(text);
        UiDispatcher::Instance().RunAndWait([layer, copy] {
            SessionList* list = nullptr;
            if (Session* owner = FindOwner(layer, &list)) {
                layer->DisplayString(copy->c_str());
                if (list->front_end() != nullptr) list->front_end()->SessionUpdated(owner);
            }
        });
    }
};

}  // namespace

void RegisterSessionList(SessionList* list) {
    static SessionForwarding forwarding;
    std::lock_guard<std::mutex> guard(g_lists_mutex);
    g_lists.push_back(list);
    if (GetForwardedSessions() == nullptr) SetForwardedSessions(&forwarding);
}

void UnregisterSessionList(SessionList* list) {
    std::lock_guard<std::mutex> guard(g_lists_mutex);
    g_lists.erase(std::remove(g_lists.begin(), g_lists.end(), list), g_lists.end());
}

}  // namespace tarnwick
