// The XMODEM filters: IO_SendXmodem sends a file, IO_ReceiveXmodem receives one. The session
// inserts one below the terminal for the length of a transfer; while it is there, everything that
// arrives from below goes to the transfer, keystrokes are discarded, and the progress window shows
// the transfer and offers Cancel. Each runs the protocol of xmodem.h on its worker thread.
#pragma once

#include <string>

#include "transfer/transfer_filter.h"
#include "transfer/xmodem.h"

namespace tarnwick {

class XmodemFilter : public TransferFilter, protected xmodem::Link {
  public:
    // 30 without a layer below (the session then links the filter and opens it again), 31 when
    // the layer below is not connected, 29 without an 8-bit path, 27 when no file was chosen or
    // it cannot be opened, else 0 with the worker running.
    [[nodiscard]] int Open(SessionConfig* config) override;

  protected:
    XmodemFilter(int type, const char* name, bool sending, const xmodem::Timing& timing);

    // The file dialog and opening the file; false (the user has been told) when there is none.
    virtual bool ChooseFile() = 0;
    // The transfer itself, once the line is ready.
    virtual void Transfer() = 0;
    // When the line never became 8-bit clean: what was prepared for the transfer is undone.
    virtual void Abandon() {}

    xmodem::Timing timing_;

  private:
    void Work() override;
    bool AwaitEightBitPath();

    // xmodem::Link
    int WaitByte(int timeout_ms) override;
    void Purge(int quiet_ms) override;
    bool SendBytes(const std::uint8_t* data, std::size_t length) override;
    bool Cancelled() override;
    std::int64_t NowMs() override;
    void Say(const std::string& line) override;

    bool sending_;
    bool eight_bit_requested_ = false;
};

class IO_SendXmodem final : public XmodemFilter {
  public:
    explicit IO_SendXmodem(const xmodem::Timing& timing = {});
    ~IO_SendXmodem() override;

  private:
    bool ChooseFile() override;
    void Transfer() override;
};

class IO_ReceiveXmodem final : public XmodemFilter {
  public:
    explicit IO_ReceiveXmodem(const xmodem::Timing& timing = {});
    ~IO_ReceiveXmodem() override;

  private:
    bool ChooseFile() override;
    void Transfer() override;
    void Abandon() override;
};

}  // namespace tarnwick
