// IO_Serial: the transport of a serial session. It opens a serial device (or a pseudo-terminal)
// by path for this program alone, programs speed, data bits, parity, stop bits and flow control
// from the session's settings, reads the line on its own reader thread into the session's receive
// path, writes on demand, and sends a line break.
//
// Threads: Open, Close, Pump and every Receive above run on the user-interface thread; Send and
// SendBreak may also come from transfer threads (the send lock serialises whole writes); the
// reader thread only reads the device, queues what arrives and notifies. Locks are taken pump lock
// before queue lock, and none is held while notifying.
//
// A line held back by flow control makes Send wait; a device that takes nothing for kStallLimit
// while data waits is given up and the session ended with a message, so that it cannot freeze
// the program.
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
#include "transport/outgoing_queue.h"

namespace tarnwick {

class IO_Serial : public IO {
  public:
    static constexpr std::uint32_t kMinReadSize = 256;
    static constexpr std::uint32_t kMaxReadSize = 64 * 1024;
    // A read waits this long for the first byte before the reader looks at its flag again.
    static constexpr int kReadTimeoutMs = 1000;
    static constexpr int kBreakMs = 500;
    // Said when a session asks for hardware flow control.
    static constexpr const char* kNoDsrHandshake =
        "Hardware flow control uses RTS and CTS only: a Linux serial line cannot hold its output "
        "on DSR.";

    IO_Serial();
    ~IO_Serial() override;

    // Opens "serial_device" with the line settings of the session. 0, or 7 (already open), 17
    // (the device cannot be opened or cannot take the settings; the reason is shown), 10 (no
    // reader thread).
    [[nodiscard]] int Open(SessionConfig* config) override;
    // Ends the reader and releases the device. Safe from any thread and more than once.
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    int SetLower(IO* layer) override;
    [[nodiscard]] int InsertBelow(IO* layer) override;
    // Takes all bytes without waiting for the line (written now or queued, in order): 0, 11 (not
    // open) or 12 (the device failed or was given up; the session is told why and ends). A line
    // held back by flow control that takes nothing for a minute, or lets 16 MiB pile up, is
    // given up.
    int Send(const std::uint8_t* data, int length) override;
    std::size_t SendBacklog() override { return out_.Backlog(); }
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;
    int CanSendBreak() override;
    // Holds the line in the break condition for half a second; 0 also without a device.
    int SendBreak() override;
    // Hands queued buffers up; 33 once the reader has stopped (the device has gone).
    [[nodiscard]] int Pump() override;

    const std::string& device() const { return device_; }
    // Tests shorten the time a held line is waited for.
    void SetStallLimit(std::chrono::milliseconds limit) {
        out_.SetLimits(OutgoingQueue::kMaxQueued, limit);
    }

  private:
    enum Flag : unsigned { kOpen = 1u << 0, kReaderAlive = 1u << 1 };

    // Opens and programs the device; an empty string, or the reason it failed.
    std::string OpenDevice(SessionConfig& config);
    int ReadLoop();
    void Wake();
    void CloseDevice(bool holding_send_lock);
    int DeliverQueued();
    void Tell(const std::string& line);
    // Ends the session for reason: the reader stops, and the pump shows the reason.
    void GiveUp(const std::string& reason);
    std::string StallReason() const;
    std::string LostReason(const std::string& why) const;

    std::atomic<unsigned> flags_{kReaderAlive};
    std::atomic<int> fd_{-1};
    // Written by Close, or when the device is given up, to end the reader's wait.
    int wake_fd_ = -1;
    std::string device_;
    WorkerThread reader_;
    // Its second lock is the pump lock.
    LockedList<std::unique_ptr<IO_Buffer>> queue_;
    Lock send_lock_;
    std::mutex close_mutex_;
    // Why the reader ended by itself (the device went away), until Pump has told the user.
    std::mutex lost_mutex_;
    std::string lost_reason_;
    std::string give_up_reason_;  // under lost_mutex_
    OutgoingQueue out_;
};

}  // namespace tarnwick
