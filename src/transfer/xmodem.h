// XMODEM (128-byte blocks, 8-bit checksum or CRC-16) as two procedures, one per direction, that do
// no I/O of their own: they read bytes, wait, purge and send through a Link, and read or write the
// file through a TransferFile. The filters give them a Link over the session's chain and a worker
// thread; the tests and the fuzz target give them a simulated line with a virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick {

class TransferFile;
class TransferProgress;

namespace xmodem {

inline constexpr std::uint8_t SOH = 0x01;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t CAN = 0x18;
inline constexpr std::uint8_t kCrcRequest = 'C';
inline constexpr std::uint8_t kPad = 0x1A;
inline constexpr std::size_t kBlockData = 128;
inline constexpr std::size_t kChecksumBlock = 3 + kBlockData + 1;  // 132 bytes on the wire
inline constexpr std::size_t kCrcBlock = 3 + kBlockData + 2;       // 133 bytes on the wire

// The waits of the protocol in milliseconds. The product uses the defaults; tests and benchmarks
// shorten them.
struct Timing {
    int handshake_ms = 60000;  // sender: for the receiver's first "C" or NAK
    int answer_ms = 1000;      // sender: each wait for ACK, NAK or CAN
    int header_ms = 10000;     // receiver: the window for a block's first three bytes
    int body_byte_ms = 1000;   // receiver: each further byte of a block
    int purge_ms = 500;        // the quiet interval of a purge
};

// What the procedures need of the line, the clock and the user.
class Link {
  public:
    virtual ~Link() = default;
    // The next received byte within timeout_ms, or -1 when none came or the transfer is being
    // cancelled.
    virtual int WaitByte(int timeout_ms) = 0;
    // Discards what has arrived, then waits quiet_ms at a time, discarding what came meanwhile,
    // until one whole interval passes with nothing new.
    virtual void Purge(int quiet_ms) = 0;
    // False when the connection failed.
    virtual bool SendBytes(const std::uint8_t* data, std::size_t length) = 0;
    // The user pressed Cancel, or the filter is being closed.
    virtual bool Cancelled() = 0;
    virtual std::int64_t NowMs() = 0;
    // One line of text for the user's terminal.
    virtual void Say(const std::string& line) = 0;
};

enum class Outcome { kDone, kFailed, kCancelled };

// A block as it goes on the wire: SOH, number, its complement, 128 data bytes (a short last block
// padded with 0x1A), then the checksum or the CRC high byte first. Returns its length.
std::size_t BuildBlock(std::uint32_t counter, const std::uint8_t* data, std::size_t length,
                       bool crc, std::uint8_t* block);

class Sender {
  public:
    // progress may be null.
    Sender(Link& link, TransferFile& file, TransferProgress* progress, const Timing& timing);
    Outcome Run();
    bool crc_mode() const { return crc_; }
    std::uint32_t blocks_acknowledged() const { return counter_ - 1; }

  private:
    enum class Answer { kAcknowledged, kResend, kStop };
    Outcome Handshake();
    Answer AwaitAnswer(int& errors, Outcome& outcome);
    Outcome SendEndOfFile();
    Outcome Cancel();
    Outcome Fail(const std::string& message);

    Link& link_;
    TransferFile& file_;
    TransferProgress* progress_;
    Timing timing_;
    bool crc_ = true;
    std::uint32_t counter_ = 1;
};

class Receiver {
  public:
    Receiver(Link& link, TransferFile& file, TransferProgress* progress, const Timing& timing);
    Outcome Run();
    bool crc_mode() const { return crc_; }
    std::uint64_t bytes_written() const { return total_; }

  private:
    // The header's length (3, or 1 for EOT and CAN), or 0 when the window ran out.
    int ReadHeader(std::uint8_t* header);
    // Reads a block's data and check into body_; false when the transfer must stop.
    bool ReadBody(Outcome& outcome);
    bool BodyIsGood() const;
    void SendControl(std::uint8_t byte);
    Outcome Finish();
    Outcome Cancel();
    Outcome Fail(const std::string& message);

    Link& link_;
    TransferFile& file_;
    TransferProgress* progress_;
    Timing timing_;
    bool crc_ = true;
    std::uint32_t expected_ = 1;
    int errors_ = 0;
    std::uint64_t total_ = 0;
    std::int64_t start_ms_ = 0;
    std::uint8_t body_[kBlockData + 2] = {};
    bool body_complete_ = false;  // every byte of body_ arrived
};

// What the progress window shows of a receive: each accepted block waits one purge before its ACK.
std::string ReceiveTimeNote(const Timing& timing);

}  // namespace xmodem
}  // namespace tarnwick
