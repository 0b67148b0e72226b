// The Telnet protocol layer: strips commands from the received stream, answers option
// negotiation (it never starts one, except to ask for an 8-bit path), reports the terminal type
// and window size when asked, doubles IAC in data sent down, and sends BREAK.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/io.h"

namespace tarnwick {

class IO_Telnet : public IO {
  public:
    // Telnet bytes.
    static constexpr std::uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                                  BRK = 243, SE = 240;
    // Options.
    static constexpr std::uint8_t BINARY = 0, ECHO = 1, SGA = 3, TTYPE = 24, NAWS = 31;

    IO_Telnet();
    ~IO_Telnet() override;

    int Open(SessionConfig* config) override;
    void Close() override;
    int Send(const std::uint8_t* data, int length) override;
    int Receive(const std::uint8_t* data, int length) override;
    int ReceiveBuffer(std::unique_ptr<IO_Buffer>&& buffer) override;
    int Display(const std::uint8_t* data, int length) override;
    int Is8BitClean() override;
    // Asks the peer for (or out of) binary mode. The path becomes 8-bit only once the peer agrees,
    // so the answer is 1 when a request went out (or the path already is as asked: nothing to
    // wait for) and 0 when it could not be sent.
    int Request8Bit(int enable) override;
    int CanSendBreak() override;
    int SendBreak() override;

    bool binary() const { return (flags_ & kBinaryFlag) != 0; }
    bool sga() const { return (flags_ & kSgaFlag) != 0; }

  private:
    enum State { kData = 0, kCommand = 1, kOption = 2, kSubnegotiation = 3 };
    enum Verb { kNone = 0, kWill = 1, kWont = 2, kDo = 3, kDont = 4 };
    static constexpr std::uint32_t kBinaryFlag = 1u << 0;
    static constexpr std::uint32_t kSgaFlag = 1u << 1;

    void SendCommand(std::uint8_t verb, std::uint8_t option);
    void Refuse(std::uint8_t option);
    void HandleOption(std::uint8_t option);
    void EndSubnegotiation();
    void SendWindowSize();
    void SendTerminalType();
    // Writes a reply below in one Send; a reply that cannot be sent is lost with the connection.
    void SendBytes(const std::string& bytes);
    void DeliverUp(const std::uint8_t* data, int length);
    int LocalEcho() const;
    void SetLocalEcho(int value);

    std::uint32_t flags_ = 0;
    int state_ = kData;
    int verb_ = kNone;
    std::array<std::uint8_t, 255> subnegotiation_{};
    int subnegotiation_length_ = 0;
    int previous_sb_byte_ = -1;  // the byte before the latest one in a subnegotiation
};

}  // namespace tarnwick
