// IO_SocketWorker (type 13, "Socket Worker"): bridges one connection accepted by a port-forward
// listener and the protocol chain below it (TLS, or the STARTTLS proxy, over TCP/IP). Its
// reader thread waits until the chain below is connected (the TLS handshake complete), then
// passes what the local program writes down the chain; what comes up the chain is written to
// the local program. Until the chain is connected the program's bytes wait in its socket, which
// pauses the program instead of holding its data.
//
// The local program closing its end, or a failed send down the chain, disconnects this session
// only; the listener goes on accepting.
//
// Threads: Open, Close and Receive run on the user-interface thread, the reader loop on its own.
// A local program that stops reading cannot hold the user-interface thread for long: a write
// that makes no progress for kStalledWrite ends the session.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/io.h"
#include "platform/worker_thread.h"

namespace tarnwick {

class IO_SocketWorker : public IO {
  public:
    static constexpr std::size_t kReadSize = 16 * 1024;  // one full TLS record
    static constexpr std::chrono::milliseconds kStalledWrite{10000};

    // Takes over the accepted socket.
    explicit IO_SocketWorker(int socket);
    ~IO_SocketWorker() override;

    // Shows "Connecting new session", opens the chain below and starts the reader. The lower
    // layer's status when it fails; 10 when the reader cannot be started.
    [[nodiscard]] int Open(SessionConfig* config) override;
    // Closes the chain below, then the local connection; the reader ends.
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    // Keys typed at the worker's terminal go nowhere.
    int Send(const std::uint8_t*, int) override { return status::kOk; }
    // Data from the remote side: written to the local program. 11 once the connection is
    // closed, 12 when it fails or stalls.
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;

    // How long a write to the local program may make no progress (kStalledWrite by default).
    void SetStallLimit(std::chrono::milliseconds limit) { stall_limit_ = limit; }

  private:
    int ReaderLoop();
    // Waits until the chain below is connected; false when the worker is stopping instead.
    bool WaitForChain();

    std::atomic<int> socket_;
    std::atomic<bool> run_{true};
    std::chrono::milliseconds stall_limit_ = kStalledWrite;
    std::mutex wait_mutex_;
    std::condition_variable wake_;
    std::mutex close_mutex_;
    WorkerThread reader_;
};

}  // namespace tarnwick
