// IO_SendAscii: sends a text file down the chain one byte at a time, pausing "TextPacing"
// milliseconds after each byte (read again for every byte, so a change applies at once), exactly
// as the bytes stand in the file. Received bytes still reach the terminal; keystrokes are
// discarded while the file goes out. The filter removes itself at the end of the file.
#pragma once

#include "transfer/transfer_filter.h"

namespace tarnwick {

class IO_SendAscii final : public TransferFilter {
  public:
    IO_SendAscii();
    ~IO_SendAscii() override;

    // 13 when no file was chosen, 27 when it cannot be opened, else 0 with the worker waiting to
    // be linked below the terminal.
    [[nodiscard]] int Open(SessionConfig* config) override;
    int Receive(const std::uint8_t* data, int length) override;

  private:
    void Work() override;
};

}  // namespace tarnwick
