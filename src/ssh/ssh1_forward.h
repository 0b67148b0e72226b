// Local port forwards of an SSH protocol 1 session (a TcpAcceptor per configured forward listens):
// one channel per accepted connection, opened with PORT_OPEN and carried with CHANNEL_DATA.
//
// Each direction of a channel closes on its own, so that a side that has finished sending can
// still receive everything the other side has to say:
//
//   local socket -> server   open --(local EOF: send INPUT_EOF)--> waiting --(OUTPUT_CLOSED)-->
//   closed server -> local socket   open --(INPUT_EOF)--> draining --(all written: shut the
//   socket's
//                            sending side, send OUTPUT_CLOSED)--> closed
//
// An OUTPUT_CLOSED while the local side still sends means the far end takes nothing more: the
// channel answers INPUT_EOF and stops reading. A socket error closes both directions. The channel
// has finished once both directions are closed. SSH-1 has no flow control, so what the server
// sends waits in memory for the local socket; a channel whose local reader falls far behind is
// closed rather than left to grow without bound.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/worker_thread.h"

namespace tarnwick {

class IO_SSH1;

class SSH1ForwardChannel {
  public:
    // The most data from the server that waits for a slow local reader.
    static constexpr std::size_t kMaxToSocket = 16u << 20;
    // The most data one CHANNEL_DATA carries.
    static constexpr std::size_t kReadSize = 16384;

    // Takes the socket of an accepted connection to be carried to host:port.
    SSH1ForwardChannel(IO_SSH1* owner, std::uint32_t local_id, int socket, std::string host,
                       std::uint32_t port, std::uint32_t local_port);
    ~SSH1ForwardChannel();
    SSH1ForwardChannel(const SSH1ForwardChannel&) = delete;
    SSH1ForwardChannel& operator=(const SSH1ForwardChannel&) = delete;

    // Starts the thread, which sends PORT_OPEN and then moves the bytes.
    bool Start();
    // Ends the thread now (the layer is closing); the socket is closed.
    void Shutdown();
    // True once the thread has ended: the channel may be destroyed.
    bool Finished() const;

    // ---- Messages from the server, on the receive path ----
    void OnOpenConfirmation(std::uint32_t remote_id);
    void OnOpenFailure();
    void OnData(std::string_view data);
    void OnInputEof();
    void OnOutputClosed();

    std::uint32_t local_id() const { return local_id_; }
    bool confirmed() const { return confirmed_.load(); }

  private:
    enum Input { kInputOpen, kInputEofSent, kInputClosed };
    enum Output { kOutputOpen, kOutputDraining, kOutputClosed };

    int Run();
    void Wake();
    [[nodiscard]] bool SendOpen();
    [[nodiscard]] bool SendControl(std::uint8_t message);
    // The local socket failed: nothing more can be read or written. Lock held.
    void FailLocally();

    IO_SSH1* owner_;
    const std::uint32_t local_id_;
    int socket_;
    const std::string host_;
    const std::uint32_t port_;
    const std::uint32_t local_port_;
    int wake_fd_ = -1;
    WorkerThread thread_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> confirmed_{false};

    std::mutex mutex_;
    std::uint32_t remote_id_ = 0;
    bool open_failed_ = false;
    Input input_ = kInputOpen;
    Output output_ = kOutputOpen;
    bool send_input_eof_ = false;  // control messages the thread is to send
    bool send_output_closed_ = false;
    bool overflowed_ = false;  // the server sent more than the local reader can be left to take
    std::deque<std::string> to_socket_;
    std::size_t to_socket_bytes_ = 0;
};

}  // namespace tarnwick
