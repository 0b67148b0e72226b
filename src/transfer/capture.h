// IO_Capture: writes everything the session receives (and, with local echo on, everything it
// sends) to a log file, as raw bytes after protocol decoding and before the terminal interprets
// them, until the user stops it. Writes are gathered and flushed when the buffer fills and when
// the filter is closed, so nothing is lost on Stop Capture, disconnect or quit; a file error is
// shown once and capturing stops while the session goes on.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/io.h"
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

    static constexpr std::size_t kBufferSize = 64 * 1024;

  private:
    bool CreateFile(const std::string& path);
    void Write(const std::uint8_t* data, std::size_t length);
    // The mutex must be held.
    void Flush();
    void Failed();

    std::mutex file_mutex_;
    std::unique_ptr<TransferFile> file_;
    std::vector<std::uint8_t> buffer_;
    bool failed_ = false;
};

}  // namespace tarnwick
