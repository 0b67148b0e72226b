// IO_TCPIP: the bottom layer of every network session. It connects one outgoing TCP stream to the
// host and port of the session's settings, writes what the layers above send, and runs a reader
// thread that queues what arrives and notifies the user-interface thread, which then pumps the
// queue up the chain.
//
// Threads: Open, Close, Pump and every Receive above run on the user-interface thread; Send may
// also come from transfer threads (the send lock serialises whole writes); the reader thread only
// touches the socket, the receive queue and the notification. Locks are taken pump lock before
// queue lock, and none is held while notifying.
//
// Send never waits for the network: what the socket does not take at once joins an outgoing
// queue that a writer thread drains as the peer reads. A peer that lets kMaxQueued bytes pile up,
// or takes nothing for kStallLimit while data waits, is disconnected and the user told why; a
// peer that stops reading cannot freeze the program.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/io.h"
#include "core/io_buffer.h"
#include "core/locked_list.h"
#include "platform/lock.h"
#include "platform/worker_thread.h"
#include "transport/network_request.h"
#include "transport/outgoing_queue.h"

namespace tarnwick {

class IO_TCPIP : public IO {
  public:
    // Each read is sized to what the socket holds, within these bounds: a key echo takes a small
    // buffer, a bulk transfer large ones, so the round trip to the user-interface thread that
    // follows every read is paid per block rather than per 256 bytes. The reader waits for that
    // round trip, so it is never more than one buffer ahead of the display.
    static constexpr std::uint32_t kMinReadSize = 256;
    static constexpr std::uint32_t kMaxReadSize = 256 * 1024;
    // The outgoing queue's bounds (see above).
    static constexpr std::size_t kMaxQueued = OutgoingQueue::kMaxQueued;
    static constexpr std::chrono::milliseconds kStallLimit = OutgoingQueue::kStallLimit;

    IO_TCPIP();
    ~IO_TCPIP() override;

    // Connects to the "*hostname" and "*portnum" settings. 0, or 7 (already connected), 8 (no
    // socket), 9 (cannot connect; the reason is shown), 10 (no reader thread), 34 (no network).
    [[nodiscard]] int Open(SessionConfig* config) override;
    // Ends the connection and the reader. Safe from any thread, while a notification is in
    // flight, and more than once.
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    int SetLower(IO* layer) override;
    [[nodiscard]] int InsertBelow(IO* layer) override;
    // Takes all bytes (written now or queued, in order) without waiting: 0, 11 (not connected)
    // or 12 (the connection failed or was given up; it is closed or closing).
    int Send(const std::uint8_t* data, int length) override;
    std::size_t SendBacklog() override { return out_.Backlog(); }
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;
    // Hands queued buffers to the upper layer until the queue is empty or a call fails; returns
    // the last status, or 33 once the reader has stopped.
    [[nodiscard]] int Pump() override;

    const NetworkRequest& GetNetworkRequest() const { return network_request_; }
    // Tests shorten the queue's bounds.
    void SetSendLimits(std::size_t max_queued, std::chrono::milliseconds stall_limit);

  private:
    enum Flag : unsigned { kConnected = 1u << 0, kReaderRunning = 1u << 1 };

    static int ReaderMain(void* argument);
    int ReadLoop();
    // Gives the connection up for a reason the user is shown: the socket is shut down, the reader
    // ends, and the pump reports the reason before the session learns of the end.
    void GiveUp(const char* reason);
    void Notify();
    void CloseConnection(bool holding_send_lock);
    // Delivers whatever is queued; the pump lock must be held.
    int DeliverQueued();

    std::atomic<unsigned> flags_{kReaderRunning};
    std::atomic<int> socket_{-1};
    WorkerThread reader_;
    // Its second lock is the pump lock.
    LockedList<std::unique_ptr<IO_Buffer>> queue_;
    Lock send_lock_;
    // Serialises the stopping of the reader and the closing of the descriptor between the
    // user-interface thread and a transfer thread whose send failed.
    std::mutex close_mutex_;
    // Set by the reader when the peer closed or the link failed, until the user-interface thread
    // has reported it.
    std::atomic<bool> peer_ended_{false};
    NetworkRequest network_request_;

    // What the socket did not take at once, drained by the queue's writer thread.
    OutgoingQueue out_;
    // Set once the connection has been given up; the reason is shown by the pump.
    std::atomic<const char*> give_up_reason_{nullptr};
    std::atomic<bool> reason_shown_{false};
    // A write failed (the peer reset the connection): later sends fail too.
    std::atomic<bool> send_failed_{false};
};

}  // namespace tarnwick
