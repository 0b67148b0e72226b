// SSH2 channels: the base class (which is also the interactive session channel), the forward
// channel that carries one accepted local TCP connection to a destination reached from the
// server ("direct-tcpip"), and the listener that accepts those connections.
//
// Flow control both ways: data for the server is split to its maximum packet size and held until
// its window allows it; data from the server is acknowledged with WINDOW_ADJUST only once it has
// been delivered (to the terminal at once, to a forward's local socket when that has taken it),
// so a slow local reader slows the server down instead of losing data. Data beyond the window or
// packet size the client announced is a protocol error that closes the channel: what the client
// holds for a channel is bounded by its own window, and nothing it accepted is ever dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "crypto/secure.h"
#include "platform/worker_thread.h"
#include "transport/tcp_acceptor.h"

namespace tarnwick {

class IO_SSH2;

// How much the client lets the server send on a channel it opens, and when it says so again.
struct ChannelWindow {
    std::uint32_t initial;     // announced in CHANNEL_OPEN
    std::uint32_t max_packet;  // announced in CHANNEL_OPEN
    std::uint32_t adjust;      // the WINDOW_ADJUST amount once the window is spent
    // With this set, the window is topped up by what has been consumed as soon as half of it is,
    // instead of only once it is spent, so the server never waits for an adjustment.
    bool top_up_at_half;
};

class SSH2Channel {
  public:
    enum State : int {
        kCreated = 0,
        kOpenRequested = 1,
        kOpen = 2,
        kEndOfData = 3,
        kDestroyed = 4,
        kFailed = 5,
    };
    // A CLOSE from the server for this channel (which has no socket) ends the whole session.
    static constexpr unsigned kCloseEndsSession = 1u << 0;
    static constexpr std::uint32_t kUnconfirmed = 0xffffffffu;

    SSH2Channel(IO_SSH2* owner, std::uint32_t local_id, unsigned flags);
    virtual ~SSH2Channel();
    SSH2Channel(const SSH2Channel&) = delete;
    SSH2Channel& operator=(const SSH2Channel&) = delete;

    // CHANNEL_DATA arrived: the session channel hands it to the layer's upper layer.
    virtual int OnData(std::string_view data);
    // CHANNEL_EXTENDED_DATA arrived: shown as informational text.
    virtual int OnExtendedData(std::uint32_t type, std::string_view data);
    // The channel is open (CHANNEL_OPEN_CONFIRMATION, or CHANNEL_SUCCESS for the session).
    virtual void OnOpened();
    // The server sent EOF: no more data will come.
    virtual void OnEof();
    // The server sent CLOSE. Returns true when the whole session is to end.
    virtual bool OnClose();
    // The layer is going away or closing: end every thread of the channel now.
    virtual void Shutdown() {}
    // The server broke the channel's flow control: nothing more of it is taken, and the channel
    // is closed from our side.
    virtual void Abandon();
    // True when the channel may be destroyed without losing anything (its thread has ended).
    virtual bool Finished() const { return true; }
    // On the user-interface thread after every receive and pump: what the channel's own thread
    // left for it to show or finish.
    virtual void Service() {}

    // CHANNEL_OPEN_CONFIRMATION: the server's number, window and maximum packet size. Data held
    // back until now goes out.
    void Confirm(std::uint32_t remote_id, std::uint32_t window, std::uint32_t max_packet);
    // Queues data for the server and sends what its window and packet size allow now.
    [[nodiscard]] int SendData(const std::uint8_t* bytes, std::size_t length);
    // WINDOW_ADJUST from the server: more may be sent.
    void OnWindowAdjust(std::uint32_t bytes);
    // Data from the server arrived: true when it fits the window and packet size the client
    // announced (the window shrinks by it), false when the server overran them or the channel
    // was abandoned.
    bool TakeIncoming(std::size_t bytes);
    // Counts data from the server as delivered and tells the server when to send more.
    [[nodiscard]] int Consumed(std::uint32_t bytes);
    [[nodiscard]] int SendEof();
    [[nodiscard]] int SendClose();
    // CHANNEL_REQUEST with a body of extra fields (already encoded).
    [[nodiscard]] int SendRequest(const char* name, bool want_reply, std::string_view fields);

    std::uint32_t local_id() const { return local_id_; }
    std::uint32_t remote_id() const { return remote_id_.load(); }
    bool confirmed() const { return remote_id_.load() != kUnconfirmed; }
    int state() const { return state_.load(); }
    void set_state(int state) { state_.store(state); }
    unsigned flags() const { return flags_; }
    bool close_sent() const { return close_sent_.load(); }
    bool close_received() const { return close_received_.load(); }
    bool abandoned() const { return abandoned_.load(); }
    // Bytes waiting for the server's window.
    std::size_t Pending();
    // The window the client still allows the server.
    std::int64_t local_window();
    std::int64_t remote_window();
    std::uint32_t remote_max_packet();

    ChannelWindow window_policy;

  protected:
    // Sends held data as far as window and packet size allow; channel lock held.
    int FlushLocked();
    // Called with the channel lock held whenever the server's window grew or data was flushed.
    virtual void OnSendSpace() {}

    IO_SSH2* owner_;
    const std::uint32_t local_id_;
    const unsigned flags_;
    std::atomic<std::uint32_t> remote_id_{kUnconfirmed};
    std::atomic<int> state_{kCreated};
    std::atomic<bool> eof_sent_{false};
    std::atomic<bool> close_sent_{false};
    std::atomic<bool> close_received_{false};
    std::atomic<bool> abandoned_{false};

    std::mutex mutex_;
    std::int64_t remote_window_ = 0;
    std::uint32_t remote_max_packet_ = 0;
    std::int64_t local_window_ = 0;     // what the server may still send
    std::uint32_t unacknowledged_ = 0;  // consumed since the last adjustment
    SecureString pending_;              // data waiting for window space (plain text)
    std::size_t pending_start_ = 0;
    bool eof_pending_ = false;  // EOF (and CLOSE) go out once the held data has
    bool close_pending_ = false;
};

// One accepted local connection carried to host:port through the server.
class SSH2ForwardChannel final : public SSH2Channel {
  public:
    SSH2ForwardChannel(IO_SSH2* owner, std::uint32_t local_id, int socket, std::string host,
                       std::uint32_t port, std::string originator, std::uint32_t originator_port);
    ~SSH2ForwardChannel() override;

    // Sends CHANNEL_OPEN and runs the thread that moves bytes between socket and channel.
    bool Start();
    int OnData(std::string_view data) override;
    void OnOpened() override;
    void OnEof() override;
    bool OnClose() override;
    void Shutdown() override;
    void Abandon() override;
    bool Finished() const override;
    // CHANNEL_OPEN_FAILURE: nothing will ever flow.
    void OpenFailed();

    const std::string& host() const { return host_; }
    std::uint32_t port() const { return port_; }

  protected:
    void OnSendSpace() override;

  private:
    int Run();
    void Wake();

    int socket_;
    std::string host_;
    std::uint32_t port_;
    std::string originator_;
    std::uint32_t originator_port_;
    int wake_fd_ = -1;
    WorkerThread thread_;
    std::atomic<bool> finished_{false};
    // Data from the server not yet written to the socket (guarded by mutex_).
    std::deque<SecureString> to_socket_;
    std::size_t to_socket_bytes_ = 0;
    bool remote_eof_ = false;
    bool remote_closed_ = false;
    bool open_failed_ = false;
    std::condition_variable opened_;
};

// A listening socket for one configured forward; each connection becomes a forward channel.
class SSH2ForwardListener {
  public:
    enum ListenState : int { kListenFailed = 1, kListening = 2 };

    SSH2ForwardListener(IO_SSH2* owner, std::uint32_t local_port, std::string host,
                        std::uint32_t remote_port, bool allow_nonlocal);
    ~SSH2ForwardListener();
    SSH2ForwardListener(const SSH2ForwardListener&) = delete;
    SSH2ForwardListener& operator=(const SSH2ForwardListener&) = delete;

    // Binds, listens and starts the accept thread; false leaves the listener failed.
    bool Start();
    void Stop();
    int listen_state() const { return listen_state_; }
    std::uint32_t local_port() const { return local_port_; }
    // The port actually bound (differs from local_port only when that was 0).
    std::uint32_t bound_port() const { return bound_port_; }

  private:
    void Accepted(int socket, const std::string& peer, std::uint32_t peer_port);

    IO_SSH2* owner_;
    std::uint32_t local_id_;
    std::uint32_t local_port_;
    std::uint32_t bound_port_ = 0;
    std::string host_;
    std::uint32_t remote_port_;
    bool allow_nonlocal_;
    TcpAcceptor acceptor_;
    int listen_state_ = kListenFailed;
};

// The terminal modes sent with the terminal request: 51 opcode/value pairs and TTY_OP_END.
std::string TerminalModes();

}  // namespace tarnwick
