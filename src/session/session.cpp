#include "session/session.h"

#include <mutex>
#include <set>

#include "core/io.h"
#include "core/session_config.h"
#include "platform/text.h"
#include "platform/ui_dispatcher.h"
#include "session/deferred_deletion.h"
#include "session/forwarded_session_host.h"
#include "session/session_builder.h"
#include "terminal/vt100.h"
#include "terminal/vt240.h"
#include "transfer/capture.h"
#include "transfer/transfer_filter.h"
#include "transport/socket.h"

namespace tarnwick {

namespace {

std::mutex g_capture_mutex;
std::function<IO*()> g_capture_factory;

// The sessions that exist, so that the end of a transfer reported from a worker thread never
// reaches a session destroyed meanwhile. Only the user-interface thread creates, destroys and
// looks up sessions; the mutex keeps the set itself whole.
std::mutex g_live_mutex;
std::set<Session*> g_live_sessions;

bool IsLive(Session* session) {
    std::lock_guard<std::mutex> guard(g_live_mutex);
    return g_live_sessions.count(session) != 0;
}

constexpr std::chrono::seconds kConfigPurgeInterval{60};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Session

Session::Session(SessionList* list, SessionConfig* config) : list_(list), config_(config) {
    if (config_ != nullptr) config_->AddHolder();
    std::lock_guard<std::mutex> guard(g_live_mutex);
    g_live_sessions.insert(this);
}

Session::~Session() {
    {
        std::lock_guard<std::mutex> guard(g_live_mutex);
        g_live_sessions.erase(this);
    }
    filter_ = nullptr;
    delete terminal_;  // a chain still attached goes with its session
    terminal_ = nullptr;
    display_.reset();
    if (config_ != nullptr) config_->RemoveHolder();
    if (list_ != nullptr) list_->menu().Remove(this);
}

int Session::IsConnected() {
    return terminal_ ? (terminal_->IsConnected() ? 1 : 0) : 0;
}

int Session::IsLinkUp() {
    return terminal_ ? (terminal_->IsLinkUp() ? 1 : 0) : 0;
}

IO* Session::GetTerminal() {
    return terminal_ != nullptr && terminal_->GetType() == kLayerVT ? terminal_ : nullptr;
}

VT* Session::GetVT() {
    return static_cast<VT*>(GetTerminal());
}

void Session::PushKey(int code) {
    LockHolder hold(lock_);
    keys_.PushBack(static_cast<std::int16_t>(code));
}

int Session::PopKey() {
    // The queue can hold code 0 (Ctrl-@), so emptiness is asked first, under the session's lock.
    LockHolder hold(lock_);
    if (keys_.Empty()) return kNoKey;
    return keys_.PopFront();
}

int Session::KeyCount() {
    LockHolder hold(lock_);
    return static_cast<int>(keys_.Count());
}

int Session::StartFilter(IO* filter) {
    if (filter == nullptr) return 0;
    if (terminal_ == nullptr) {
        delete filter;
        return 0;
    }
    filter->SetSession(this);
    int result = filter->Open(config_);
    if (result == status::kOk || result == status::kFilterNeedsLower) {
        filter_ = filter;
        if (terminal_->InsertBelow(filter) != status::kOk) {
            // Not linked: nothing else refers to it yet.
            filter_ = nullptr;
            filter->Close();
            delete filter;
            return 0;
        }
        if (result == status::kOk) return 1;
        // It needed its lower layer to open.
        if (filter->Open(config_) == status::kOk) return 1;
        StopFilter();
        return 0;
    }
    delete filter;
    return 0;
}

int Session::StopFilter() {
    if (filter_ == nullptr) return 0;
    IO* removed = terminal_ != nullptr ? terminal_->RemoveBelow() : nullptr;
    if (removed == nullptr) removed = filter_;
    filter_ = nullptr;
    DeferredDeletion::Instance().Add(removed);
    return 1;
}

void Session::SetCaptureFactory(std::function<IO*()> factory) {
    std::lock_guard<std::mutex> guard(g_capture_mutex);
    g_capture_factory = std::move(factory);
}

void Session::TransferEnded(Session* session, IO* filter) {
    if (session == nullptr) return;
    UiDispatcher::Instance().Post([session, filter] {
        if (!IsLive(session) || session->filter_ != filter) return;
        session->StopFilter();
        SessionList* list = session->list_;
        if (list != nullptr && list->front_end() != nullptr)
            list->front_end()->SessionUpdated(session);
    });
}

void Session::ToggleCapture() {
    if (terminal_ == nullptr) return;
    if (filter_ == nullptr) {
        std::function<IO*()> factory;
        {
            std::lock_guard<std::mutex> guard(g_capture_mutex);
            factory = g_capture_factory;
        }
        StartFilter(factory ? factory() : new IO_Capture());
        return;
    }
    if (filter_->GetType() != kLayerCapture) return;
    IO* removed = terminal_->RemoveBelow();
    if (removed != filter_) {
        // The chain is not what the session thinks it is: end the whole session instead of
        // guessing which layer to throw away.
        if (removed != nullptr) DeferredDeletion::Instance().Add(removed);
        filter_ = nullptr;
        Disconnect();
        return;
    }
    // The capture layer has no thread, so it can go at once.
    removed->Close();
    delete removed;
    filter_ = nullptr;
}

void Session::Disconnect() {
    if (terminal_ != nullptr) {
        IO* terminal = terminal_;
        terminal->Close();
        // From here on nothing of the old chain may draw: the display stays with the session
        // and shows the last screen, while the chain waits for deferred deletion.
        if (VT* vt = GetVT()) vt->DetachDisplay();
        terminal_ = nullptr;
        filter_ = nullptr;
        DeferredDeletion::Instance().Add(terminal);
    }
    if (list_ != nullptr) list_->menu().MarkDisconnected(this);
}

// ---------------------------------------------------------------------------------------------
// SessionList

SessionList::SessionList(SessionFrontEnd* front_end) : front_end_(front_end) {
    SetTransferEndedHandler(&Session::TransferEnded);
    next_config_purge_ = std::chrono::steady_clock::now() + kConfigPurgeInterval;
    RegisterSessionList(this);
}

SessionList::~SessionList() {
    UnregisterSessionList(this);
    current_ = nullptr;
    while (Session* session = sessions_.PopFront())
        delete session;
    // Disconnected chains still hold their settings records: they go before the records do.
    DeferredDeletion::Instance().DestroyAll();
    while (SessionConfig* config = configs_.PopFront())
        delete config;
}

void SessionList::DataArrived(void* context, IO* transport) {
    auto* list = static_cast<SessionList*>(context);
    UiDispatcher::Instance().RunAndWait([list, transport] { list->OnDataArrived(transport); });
}

std::u16string SessionList::TitleFor(SessionConfig* config) {
    const int kind = config->GetInt(setting::session_kind);
    const ConnectionKind* row = FindConnectionKind(kind);
    std::u16string title = row != nullptr ? row->title_prefix : u"";
    if (kind == kKindSerial) {
        const char16_t* device = config->GetWide(setting::serial_device);
        title += device != nullptr ? std::u16string(device) : std::u16string(u"(NULL)");
    } else {
        title += WidenOrNull(config->GetNarrow(setting::hostname));
    }
    return title;
}

int SessionList::CreateSession(SessionConfig* config) {
    if (config == nullptr) return 0;
    config->SetSessionCallback(&SessionList::DataArrived, this);

    auto* session = new Session(this, config);
    session->display_ = front_end_->CreateDisplay(*session);
    sessions_.PushBack(session);
    SetCurrent(session);

    VT* terminal = nullptr;
    if (config->GetInt(setting::terminal_type) == 1) {
        terminal = new VT240(session->display_.get(), config);
    } else {
        terminal = new VT100(session->display_.get(), config);
    }
    session->terminal_ = terminal;

    int opened = 0;
    std::u16string title;
    IO* chain = BuildChain(*config);
    if (chain == nullptr) {
        (void)terminal->Open(config);
        title = u"(Unconnected Terminal)";
    } else if (terminal->InsertBelow(chain) != status::kOk) {
        delete chain;
        (void)terminal->Open(config);
        title = u"(Failed Connection)";
    } else {
        terminal->SetSession(session);
        if (terminal->Open(config) != status::kOk) {
            title = u"(Failed Connection)";
        } else {
            title = TitleFor(config);
            opened = 1;
        }
    }
    menu_.Add(session, title);
    menu_.Check(current_);
    configs_.PushBack(config);
    if (front_end_ != nullptr) front_end_->SessionUpdated(session);
    return opened;
}

void SessionList::SetCurrent(Session* session) {
    current_ = session;
    menu_.Check(session);
    if (front_end_ != nullptr) front_end_->CurrentChanged(session);
}

void SessionList::NextSession() {
    Session* next = nullptr;
    Session* first = nullptr;
    bool found = false;
    sessions_.ForEach([&](Session* s) {
        if (first == nullptr) first = s;
        if (found && next == nullptr) next = s;
        if (s == current_) found = true;
    });
    if (next == nullptr) next = first;
    if (next != nullptr) SetCurrent(next);
}

void SessionList::DisconnectCurrent() {
    if (current_ != nullptr) current_->Disconnect();
}

void SessionList::DisconnectAll() {
    for (Session* session : Sessions()) {
        if (session->IsLinkUp()) session->Disconnect();
    }
}

int SessionList::CountLinkUp() {
    int count = 0;
    sessions_.ForEach([&count](Session* s) { count += s->IsLinkUp() ? 1 : 0; });
    return count;
}

void SessionList::PurgeClosed() {
    bool current_gone = false;
    for (Session* session : Sessions()) {
        if (session->IsLinkUp()) continue;
        sessions_.Remove(session);
        if (session == current_) {
            current_ = nullptr;
            current_gone = true;
        }
        delete session;
    }
    if (current_gone) NextSession();
}

void SessionList::OnDataArrived(IO* transport) {
    Session* owner = FindOwner(transport);
    if (owner == nullptr) return;  // a transport of a session already disconnected
    if (transport->Pump() != status::kOk) owner->Disconnect();
    if (front_end_ != nullptr) front_end_->SessionUpdated(owner);
}

void SessionList::PurgeUnusedConfigs() {
    auto now = std::chrono::steady_clock::now();
    if (now < next_config_purge_) return;
    next_config_purge_ = now + kConfigPurgeInterval;
    std::vector<SessionConfig*> unused;
    configs_.ForEach([&unused](SessionConfig* c) {
        if (c->Holders() <= 0) unused.push_back(c);
    });
    for (SessionConfig* config : unused) {
        configs_.Remove(config);
        delete config;
    }
}

Session* SessionList::FindOwner(IO* layer) {
    Session* owner = nullptr;
    sessions_.ForEach([&](Session* s) {
        if (owner == nullptr && s->terminal_ != nullptr && s->terminal_->Contains(layer)) {
            owner = s;
        }
    });
    return owner;
}

Session* SessionList::OpenAcceptedSession(SessionConfig* config,
                                          const std::vector<int>& layer_template, int socket,
                                          const std::u16string& title) {
    auto* session = new Session(this, config);
    session->display_ = front_end_->CreateDisplay(*session);
    sessions_.PushBack(session);

    IO* top = nullptr;
    bool has_worker = false;
    for (int type : layer_template) {
        IO* layer = nullptr;
        if (type == kLayerVT) {
            // Whatever the session's terminal setting, a forwarded connection only reports.
            if (top == nullptr) layer = new VT100(session->display_.get(), config);
        } else if (type == kLayerSocketListener || type == kLayerSocketWorker) {
            if (!has_worker) layer = MakeTemplateLayer(type, socket);
            has_worker = has_worker || layer != nullptr;
        } else {
            layer = MakeTemplateLayer(type, socket);
        }
        if (layer == nullptr) continue;
        if (top == nullptr) {
            top = layer;
            continue;
        }
        IO* bottom = top;
        while (bottom->GetLower() != nullptr)
            bottom = bottom->GetLower();
        if (bottom->InsertBelow(layer) != status::kOk) delete layer;
    }
    if (!has_worker) CloseSocket(socket);
    session->terminal_ = top;
    menu_.Add(session, title);
    menu_.Check(current_);
    if (top != nullptr) {
        top->SetSession(session);
        if (top->Open(config) != status::kOk) session->Disconnect();
    }
    if (front_end_ != nullptr) front_end_->SessionUpdated(session);
    return session;
}

std::vector<Session*> SessionList::Sessions() {
    std::vector<Session*> all;
    sessions_.ForEach([&all](Session* s) { all.push_back(s); });
    return all;
}

}  // namespace tarnwick
