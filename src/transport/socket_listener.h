// IO_SocketListener (type 12, "Socket Listener"): the local end of SSL port forwarding and of the
// STARTTLS proxy. It takes a transport's place in its session's chain: at Open it records the
// chain's layer types as a template, discards the layers below itself and listens on the
// session's portnum_listener port on the loopback addresses only (127.0.0.1 and, where the
// machine has it, ::1), so that only programs on this machine can use the relay. Every accepted
// connection becomes a session of its own, whose chain repeats the template with an
// IO_SocketWorker in the listener's place (built by the session layer, ForwardedSessions).
//
// Threads: Open and Close run on the user-interface thread; the accept thread waits for
// connections and hands each to the session layer. When the port cannot be had, or the template
// cannot be built, the accept thread ends and the listener's session is disconnected.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/io.h"
#include "platform/worker_thread.h"

namespace tarnwick {

class IO_SocketListener : public IO {
  public:
    IO_SocketListener();
    ~IO_SocketListener() override;

    // Records the template, discards the chain below and starts the accept thread. 32 without a
    // terminal or upper layer above, 10 when the thread cannot be started.
    [[nodiscard]] int Open(SessionConfig* config) override;
    // Stops listening (the accept thread ends) and closes the layer below, if any.
    void Close() override;
    // Up from Open until Close or the end of the accept thread.
    int IsLinkUp() override;
    int IsConnected() override { return 0; }
    int Send(const std::uint8_t*, int) override { return status::kOk; }
    int Receive(const std::uint8_t*, int) override { return status::kNotSupported; }
    int Display(const std::uint8_t* data, int length) override;

    // The port listened on, once listening (the one the system chose for port 0); else 0.
    int ListeningPort() const { return port_.load(); }
    std::vector<int> Template() const;
    const std::string& LowerName() const { return lower_name_; }

  private:
    int AcceptLoop();
    // Binds both loopback addresses; false (with the reason shown) when the port cannot be had.
    bool StartListening(int port);
    void Tell(const std::string& text);
    void Debug(const std::string& text);
    // Shuts the listening sockets down, which ends the accept thread's wait.
    void ShutDownSockets();
    // Ends the accept thread, then closes the sockets.
    void StopListening();

    mutable std::mutex template_mutex_;
    std::vector<int> template_;
    std::string lower_name_ = "unknown";
    bool debug_ = false;
    std::atomic<int> socket4_{-1};
    std::atomic<int> socket6_{-1};
    std::atomic<int> port_{0};
    std::atomic<bool> run_{true};
    std::atomic<bool> listening_{false};
    std::mutex close_mutex_;
    WorkerThread accept_thread_;
};

}  // namespace tarnwick
