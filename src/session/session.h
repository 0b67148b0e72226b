// Sessions and the session list. A Session is one connection as the user sees it: a terminal
// display, a layer chain with the terminal on top, the session's settings, the transfer filter
// currently below the terminal, and the keys typed but not yet processed. The session list owns
// every session, builds each one's chain from its settings, switches the current session, and
// disconnects and purges them. It is written once, independent of any toolkit: the console and
// the GUI front ends each own one and supply the displays.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/locked_list.h"
#include "platform/lock.h"
#include "session/session_menu.h"
#include "terminal/key_handling.h"
#include "terminal/terminal_display.h"

namespace tarnwick {

class IO;
class SessionConfig;
class SessionList;
class VT;

// What the session list needs from its front end.
class SessionFrontEnd {
  public:
    virtual ~SessionFrontEnd() = default;
    // The drawing side of a new session.
    virtual std::unique_ptr<TerminalDisplay> CreateDisplay(Session& session) = 0;
    // Received data of the session has been handed to its terminal (redraw, follow the cursor).
    virtual void SessionUpdated(Session* /*session*/) {}
    // Another session became current (show its screen).
    virtual void CurrentChanged(Session* /*session*/) {}
};

class Session final : public KeySession {
  public:
    Session(SessionList* list, SessionConfig* config);
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int IsConnected() override;
    int IsLinkUp() override;
    // The terminal when it is one (type code 7), else nullptr.
    IO* GetTerminal() override;
    VT* GetVT();
    IO* GetFilter() { return filter_; }
    SessionConfig* GetConfig() { return config_; }
    TerminalDisplay* GetDisplay() { return display_.get(); }

    void PushKey(int code) override;
    int PopKey() override;  // kNoKey (32767) when the queue is empty
    int KeyCount();

    // Opens the filter and inserts it below the terminal. 1 when it runs, 0 when refused (the
    // filter is then disposed of).
    int StartFilter(IO* filter);
    // Removes the running filter (it goes to the deferred-deletion list). 0 when there was none.
    int StopFilter();
    // Starts or stops capturing received text to a file.
    void ToggleCapture();
    // Closes the chain; the terminal and its chain wait for deferred deletion, the display keeps
    // the last screen, and the session's title is marked disconnected.
    void Disconnect();

    // How ToggleCapture makes its capture layer; without one it is an IO_Capture that asks for
    // its file.
    static void SetCaptureFactory(std::function<IO*()> factory);
    // The end of a filter's transfer, from its worker thread: the filter is removed on the
    // user-interface thread, if its session still runs it by then.
    static void TransferEnded(Session* session, IO* filter);

  private:
    friend class SessionList;

    SessionList* list_;
    Lock lock_;
    std::unique_ptr<TerminalDisplay> display_;
    IO* terminal_ = nullptr;  // owns the chain below it
    IO* filter_ = nullptr;    // part of the chain
    SessionConfig* config_;
    LockedList<int> keys_;
};

class SessionList {
  public:
    explicit SessionList(SessionFrontEnd* front_end);
    ~SessionList();  // destroys every session in list order, then every settings record
    SessionList(const SessionList&) = delete;
    SessionList& operator=(const SessionList&) = delete;

    // Builds a session from config (the list takes ownership of the record) and makes it current.
    // 1 when its chain opened, 0 otherwise; the session exists either way.
    int CreateSession(SessionConfig* config);
    void SetCurrent(Session* session);
    Session* Current() const { return current_; }
    void NextSession();
    void DisconnectCurrent();
    void DisconnectAll();
    int CountLinkUp();
    void PurgeClosed();
    // The data-arrival notification, on the user-interface thread: pumps the transport of the
    // session that contains it; a failed pump disconnects the session.
    void OnDataArrived(IO* transport);
    // Destroys settings records nobody holds any more; runs at most once a minute.
    void PurgeUnusedConfigs();

    // The session of a connection accepted by a port-forward listener of one of this list's
    // sessions, sharing that session's settings: a VT100 terminal above the listener's template
    // with a worker holding the socket in the listener's place. It joins the list without
    // becoming current and is opened at once; a chain that does not open is disconnected, which
    // closes the socket, so the local program learns of it.
    Session* OpenAcceptedSession(SessionConfig* config, const std::vector<int>& layer_template,
                                 int socket, const std::u16string& title);
    // The session whose chain holds layer, or nullptr.
    Session* FindOwner(IO* layer);

    std::vector<Session*> Sessions();
    SessionMenu& menu() { return menu_; }
    SessionFrontEnd* front_end() { return front_end_; }

    // The function installed in every session's settings: runs OnDataArrived on the
    // user-interface thread and waits for it.
    static void DataArrived(void* context, IO* transport);

  private:
    static std::u16string TitleFor(SessionConfig* config);

    SessionFrontEnd* front_end_;
    SessionMenu menu_;
    Session* current_ = nullptr;
    LockedList<Session*> sessions_;
    LockedList<SessionConfig*> configs_;
    std::chrono::steady_clock::time_point next_config_purge_{};
};

}  // namespace tarnwick
