// What the filters with a worker thread (XMODEM both ways, ASCII send) share: the queue of bytes
// received while a transfer runs, the layer below as the worker may use it, waits that end at
// once when the filter is closed, lines for the user's terminal, and telling the session that the
// transfer has ended.
//
// Threads: Open, Close, Receive and the linking run on the user-interface thread; the worker only
// sends down, waits, and hands text and its end to the user-interface thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "core/io.h"
#include "platform/user_interface.h"
#include "platform/worker_thread.h"
#include "transfer/transfer_file.h"

namespace tarnwick {

// Called on the worker thread when a filter's transfer has ended; the session installs it and
// removes the filter on the user-interface thread.
using TransferEndedHandler = void (*)(Session* session, IO* filter);
void SetTransferEndedHandler(TransferEndedHandler handler);

// The file dialogs of the transfers: the name in the documents folder, "Text (*.txt)" and
// "All files (*.*)" with the second chosen.
FileDialogRequest TransferFileDialog(const char* title, const char* name);

class TransferFilter : public IO {
  public:
    ~TransferFilter() override;

    // Closes the layer below (which ends a write the worker may be blocked in), stops the worker,
    // closes the progress window, drops the queued bytes and closes the file.
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    int SetLower(IO* layer) override;
    // Keystrokes typed during a transfer are discarded.
    int Send(const std::uint8_t* data, int length) override;
    // Received bytes go to the transfer.
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;

    // The worker has finished.
    bool Finished() const { return finished_.load(); }

    // Received bytes kept for the worker at most; a flood beyond it is dropped (the protocol
    // recovers by asking again).
    static constexpr std::size_t kMaxQueued = 64 * 1024;

  protected:
    TransferFilter(int type, const char* name);

    // Runs Work on the worker thread; when it returns, the session is told. False when no thread
    // could be started.
    bool StartWorker();
    virtual void Work() = 0;

    // For the worker. The layer below, or nullptr while the filter is not (or no longer) linked.
    IO* Lower();
    // Waits until the filter is linked below the terminal; false when it is closed first.
    bool AwaitLower();
    bool SendDown(const std::uint8_t* data, std::size_t length);
    int WaitQueuedByte(int timeout_ms);
    void PurgeQueue(int quiet_ms);
    // The filter is being closed.
    bool Stopping();
    // Closing, or the user pressed Cancel in the progress window.
    bool CancelRequested();
    // Sleeps ms; false when the filter is closed meanwhile.
    bool SleepFor(int ms);
    // One line in the session's terminal, written on the user-interface thread.
    void SayLine(const std::string& line);

    std::unique_ptr<TransferProgress> progress_;
    std::unique_ptr<TransferFile> file_;

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::uint8_t> received_;
    IO* worker_lower_ = nullptr;
    bool stopping_ = false;
    WorkerThread worker_;
    std::atomic<bool> finished_{false};
};

}  // namespace tarnwick
