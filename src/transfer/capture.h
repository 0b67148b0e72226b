// IO_Capture: writes everything the session receives (and, with local echo on, everything it
// sends) to a log file, as raw bytes after protocol decoding and before the terminal interprets
// them, until the user stops it. The session only copies what passes into a buffer; a writer
// thread of the filter's own puts full buffers into the file, so a slow disk does not slow the
// session down until several megabytes wait. Closing the filter (Stop Capture, disconnect, quit)
// writes what is still held before it returns. A file error is shown once; capturing stops there
// while the session goes on.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/io.h"
#include "core/io_buffer.h"
#include "platform/worker_thread.h"
#include "transfer/transfer_file.h"

namespace tarnwick {

class IO_Capture final : public IO {
  public:
    // With a path, the file is created at once (an error is shown and the filter stays without
    // a file); without one, Open asks for it.
    explicit IO_Capture(const char* path = nullptr);
    ~IO_Capture() override;

    // 13 when no file was chosen, 27 when it cannot be created, else 0.
    [[nodiscard]] int Open(SessionConfig* config) override;
    // Flushes what is held and closes the file.
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    int Send(const std::uint8_t* data, int length) override;
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;

    bool HasFile() const { return file_ != nullptr; }

    static constexpr std::uint32_t kBufferSize = 64 * 1024;
    // Buffers waiting for the writer at most; beyond them the session waits for the disk.
    static constexpr std::size_t kMaxWaiting = 64;
    // Emptied buffers kept for filling again.
    static constexpr std::size_t kSpares = 8;

  private:
    bool CreateFile(const std::string& path);
    void Write(const std::uint8_t* data, std::size_t length);
    // Queues a buffer for the writer (after what is being gathered); the mutex must be held.
    void Hand(std::unique_lock<std::mutex>& lock, std::unique_ptr<IO_Buffer> buffer);
    void HandFilling(std::unique_lock<std::mutex>& lock);
    int WriterMain();
    // Shows the file error once, after the current delivery up the chain.
    void Report(const std::string& text);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<TransferFile> file_;
    std::unique_ptr<IO_Buffer> filling_;
    std::deque<std::unique_ptr<IO_Buffer>> waiting_;
    std::vector<std::unique_ptr<IO_Buffer>> spare_;
    bool closing_ = false;
    bool failed_ = false;
    WorkerThread writer_;
};

}  // namespace tarnwick
