// The XMODEM procedures on a simulated line against senders and receivers written here, which can
// lose an ACK, refuse a block, stall or cancel. Every time-out and every purge runs on the line's
// virtual clock.
#include "transfer/xmodem.h"

#include <gtest/gtest.h>

#include <string>

#include "transfer/crc16.h"
#include "transfer/simulated_line.h"

namespace tarnwick {
namespace {

using namespace xmodem;
using testing::MemoryFile;
using testing::SimulatedLine;

using testing::Padded;
using testing::Pattern;

std::string Block(std::uint32_t counter, const std::string& data, bool crc) {
    std::uint8_t block[kCrcBlock];
    const std::size_t length = BuildBlock(
        counter, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), crc, block);
    return std::string(reinterpret_cast<char*>(block), length);
}

// A remote sender, as a terminal program's "send" command behaves.
class PeerSender {
  public:
    PeerSender(SimulatedLine& line, std::string data) : line_(line), data_(std::move(data)) {
        line_.peer = [this](const std::string& bytes) {
            for (char c : bytes)
                OnByte(static_cast<std::uint8_t>(c));
        };
    }
    bool ignore_crc_request = false;  // an old sender that knows only checksums
    std::uint32_t lose_ack_of = 0;    // the ACK of this block never arrives
    std::uint32_t stop_inside = 0;    // the sender stops for good inside this block
    int naks_seen = 0;
    int acks_of_repeat = 0;
    bool finished = false;
    std::string answers;  // every control byte the receiver sent, in order

  private:
    // Shorter than the receiver's ten-second window for the next header.
    static constexpr std::int64_t kRetryMs = 3000;

    std::uint32_t Blocks() const {
        return static_cast<std::uint32_t>((data_.size() + kBlockData - 1) / kBlockData);
    }
    void SendCurrent(std::int64_t delay = SimulatedLine::kLatency) {
        if (current_ > Blocks()) {
            line_.Arrive(std::string(1, static_cast<char>(EOT)), delay);
            in_eot_ = true;
            return;
        }
        std::string block =
            Block(current_, data_.substr((current_ - 1) * kBlockData, kBlockData), crc_);
        if (current_ == stop_inside) {
            block.resize(20);
            stalled_ = true;  // and is never heard of again
        }
        line_.Arrive(block, delay);
    }
    void OnByte(std::uint8_t byte) {
        answers.push_back(static_cast<char>(byte));
        if (stalled_) return;
        if (!started_) {
            if (byte == kCrcRequest && !ignore_crc_request) {
                crc_ = true;
            } else if (byte == NAK) {
                crc_ = false;
            } else {
                return;
            }
            started_ = true;
            SendCurrent();
            return;
        }
        if (in_eot_) {
            finished = byte == ACK;
            return;
        }
        if (byte == NAK) {
            ++naks_seen;
            // As a real sender does, it gives up on a block after ten refusals.
            if (++naks_of_current_ > 10) {
                line_.Arrive("\x18\x18");
                stalled_ = true;
                return;
            }
            SendCurrent();
        } else if (byte == ACK) {
            naks_of_current_ = 0;
            if (repeating_) {
                ++acks_of_repeat;
                repeating_ = false;
            }
            if (current_ == lose_ack_of && !lost_) {
                // The ACK is lost on the way: after its time-out the sender tries again.
                lost_ = true;
                repeating_ = true;
                SendCurrent(kRetryMs);
                return;
            }
            ++current_;
            SendCurrent();
        }
    }

    SimulatedLine& line_;
    std::string data_;
    bool started_ = false;
    bool crc_ = true;
    bool in_eot_ = false;
    bool lost_ = false;
    bool repeating_ = false;
    bool stalled_ = false;
    int naks_of_current_ = 0;
    std::uint32_t current_ = 1;
};

// A remote receiver: asks with "C" or NAK, checks every block and answers it.
class PeerReceiver {
  public:
    PeerReceiver(SimulatedLine& line, bool crc) : line_(line), crc_(crc) {
        line_.peer = [this](const std::string& bytes) { OnBytes(bytes); };
        // Started a second after the sender, once its opening purge is over.
        line_.Arrive(std::string(1, static_cast<char>(crc ? kCrcRequest : NAK)), 1000);
    }
    int nak_first = 0;            // NAK the first block this many times
    bool miss_first_eot = false;  // loses an EOT that comes first, and asks again
    bool nak_every_eot = false;
    bool cancel_at_block_2 = false;
    bool lose_first_block = false;  // empties its input as block 1 comes, asks again 8 s later
    std::string received;
    std::vector<int> numbers;  // block numbers as they arrived
    bool got_eot = false;

  private:
    void Answer(std::uint8_t byte) { line_.Arrive(std::string(1, static_cast<char>(byte))); }
    void OnBytes(const std::string& bytes) {
        buffer_ += bytes;
        const std::size_t length = crc_ ? kCrcBlock : kChecksumBlock;
        while (!buffer_.empty()) {
            const auto first = static_cast<std::uint8_t>(buffer_[0]);
            if (first == EOT) {
                buffer_.erase(0, 1);
                if (miss_first_eot && numbers.empty() && !got_eot && !missed_) {
                    missed_ = true;
                    line_.Arrive(std::string(1, static_cast<char>(crc_ ? kCrcRequest : NAK)), 1000);
                    continue;
                }
                got_eot = true;
                Answer(nak_every_eot ? NAK : ACK);
                continue;
            }
            if (first == CAN) {
                buffer_.erase(0, 1);
                continue;
            }
            if (buffer_.size() < length) return;
            const std::string block = buffer_.substr(0, length);
            buffer_.erase(0, length);
            const auto* data = reinterpret_cast<const std::uint8_t*>(block.data()) + 3;
            bool good =
                block[0] == static_cast<char>(SOH) &&
                static_cast<std::uint8_t>(block[1]) + static_cast<std::uint8_t>(block[2]) == 255;
            if (crc_) {
                const std::uint16_t crc = XmodemCrc16(data, kBlockData);
                good = good && static_cast<std::uint8_t>(block[131]) == (crc >> 8) &&
                       static_cast<std::uint8_t>(block[132]) == (crc & 0xFF);
            } else {
                good = good &&
                       static_cast<std::uint8_t>(block[131]) == XmodemChecksum(data, kBlockData);
            }
            numbers.push_back(static_cast<std::uint8_t>(block[1]));
            if (lose_first_block && numbers.size() == 1) {
                line_.Arrive(std::string(1, static_cast<char>(kCrcRequest)), 8000);
                continue;
            }
            if (!good || nak_first > 0) {
                if (nak_first > 0) --nak_first;
                Answer(NAK);
                continue;
            }
            if (cancel_at_block_2 && numbers.size() == 2) {
                line_.Arrive(std::string(2, static_cast<char>(CAN)));
                continue;
            }
            received.append(reinterpret_cast<const char*>(data), kBlockData);
            Answer(ACK);
        }
    }

    SimulatedLine& line_;
    bool crc_;
    bool missed_ = false;
    std::string buffer_;
};

TEST(XmodemCheckTest, CrcAndChecksumOfKnownData) {
    const std::string check = "123456789";
    const auto* data = reinterpret_cast<const std::uint8_t*>(check.data());
    EXPECT_EQ(XmodemCrc16(data, check.size()), 0x31C3);  // the published XMODEM check value
    EXPECT_EQ(XmodemChecksum(data, check.size()),
              (0x31 + 0x32 + 0x33 + 0x34 + 0x35 + 0x36 + 0x37 + 0x38 + 0x39) & 0xFF);
    EXPECT_EQ(XmodemCrc16(data, 0), 0);
}

TEST(XmodemCheckTest, BlocksArePaddedNumberedAndWrapAt256) {
    const std::string two(2, 'x');
    const std::string block = Block(2, two, true);
    ASSERT_EQ(block.size(), 133u);
    EXPECT_EQ(block.substr(0, 3), std::string("\x01\x02\xfd"));
    EXPECT_EQ(block.substr(3, 2), two);
    EXPECT_EQ(block.substr(5, 126), std::string(126, '\x1a'));
    const std::uint16_t crc =
        XmodemCrc16(reinterpret_cast<const std::uint8_t*>(block.data()) + 3, 128);
    EXPECT_EQ(static_cast<std::uint8_t>(block[131]), crc >> 8);  // high byte first
    EXPECT_EQ(static_cast<std::uint8_t>(block[132]), crc & 0xFF);

    const std::string wrapped = Block(256, two, false);
    ASSERT_EQ(wrapped.size(), 132u);
    EXPECT_EQ(wrapped.substr(0, 3), std::string("\x01\x00\xff", 3));
}

TEST(XmodemSenderTest, AnEmptyFileSendsEndOfFileRightAfterTheHandshake) {
    SimulatedLine line;
    PeerReceiver peer(line, true);
    MemoryFile file("");
    Sender sender(line, file, nullptr, Timing{});
    EXPECT_EQ(sender.Run(), Outcome::kDone);
    EXPECT_EQ(line.sent, std::string(1, static_cast<char>(EOT)));

    // A receiver that missed it and asks again gets it again.
    SimulatedLine again;
    PeerReceiver forgetful(again, true);
    forgetful.miss_first_eot = true;
    Sender second(again, file, nullptr, Timing{});
    EXPECT_EQ(second.Run(), Outcome::kDone);
    EXPECT_EQ(again.sent, std::string(2, static_cast<char>(EOT)));
    EXPECT_TRUE(forgetful.got_eot);
    EXPECT_EQ(again.said, std::vector<std::string>{"File sent successfully."});
}

TEST(XmodemSenderTest, ARepeatedCrcRequestSendsTheFirstBlockAgain) {
    SimulatedLine line;
    PeerReceiver peer(line, true);
    peer.lose_first_block = true;
    const std::string data = Pattern(300);
    MemoryFile file(data);
    Sender sender(line, file, nullptr, Timing{});
    EXPECT_EQ(sender.Run(), Outcome::kDone);
    EXPECT_EQ(peer.numbers, (std::vector<int>{1, 1, 2, 3}));
    EXPECT_EQ(peer.received, Padded(data));
    // Once a block has been acknowledged, a stray "C" is only noise.
    SimulatedLine noisy;
    PeerReceiver second(noisy, true);
    noisy.Arrive("C", 1007);  // while block 2 waits for its answer
    MemoryFile again(data);
    Sender resender(noisy, again, nullptr, Timing{});
    EXPECT_EQ(resender.Run(), Outcome::kDone);
    EXPECT_EQ(second.numbers, (std::vector<int>{1, 2, 3}));
}

TEST(XmodemSenderTest, GivesUpAfterElevenNaksOfOneBlockAndEachNakCostsAPurge) {
    SimulatedLine line;
    PeerReceiver peer(line, true);
    peer.nak_first = 100;
    MemoryFile file(Pattern(300));
    Sender sender(line, file, nullptr, Timing{});
    const std::int64_t start = line.NowMs();
    EXPECT_EQ(sender.Run(), Outcome::kFailed);
    EXPECT_EQ(line.said,
              std::vector<std::string>{"Too many timeouts sending packet. File transfer failed."});
    EXPECT_EQ(peer.numbers.size(), 11u);  // the block and ten repeats
    EXPECT_GE(line.NowMs() - start, 11 * 500);
}

TEST(XmodemSenderTest, TimeOutsAndRefusalsEndWithTheirMessages) {
    {
        // Nobody asks for the file: one minute, then the sender gives up.
        SimulatedLine line;
        MemoryFile file(Pattern(10));
        Sender sender(line, file, nullptr, Timing{});
        const std::int64_t start = line.NowMs();
        EXPECT_EQ(sender.Run(), Outcome::kFailed);
        EXPECT_EQ(line.said, std::vector<std::string>{"timeout condition: send xmodem failed."});
        EXPECT_GE(line.NowMs() - start, 60000);
    }
    {
        // Noise instead of a request: the tenth stray byte ends it.
        SimulatedLine line;
        line.Arrive(std::string(10, 'x'), 600);
        MemoryFile file(Pattern(10));
        Sender sender(line, file, nullptr, Timing{});
        EXPECT_EQ(sender.Run(), Outcome::kFailed);
        EXPECT_EQ(line.said, std::vector<std::string>{"error condition: send xmodem failed."});
    }
    {
        SimulatedLine line;
        PeerReceiver peer(line, true);
        peer.cancel_at_block_2 = true;
        MemoryFile file(Pattern(400));
        Sender sender(line, file, nullptr, Timing{});
        EXPECT_EQ(sender.Run(), Outcome::kFailed);
        EXPECT_EQ(line.said, std::vector<std::string>{
                                 "File transfer cancelled by remote end. File transfer failed."});
    }
    {
        SimulatedLine line;
        PeerReceiver peer(line, true);
        peer.nak_every_eot = true;
        MemoryFile file(Pattern(100));
        Sender sender(line, file, nullptr, Timing{});
        EXPECT_EQ(sender.Run(), Outcome::kDone);
        EXPECT_EQ(line.said,
                  std::vector<std::string>{
                      "Too many NAKs waiting for EOT ACK, but file transferred successfully."});
    }
}

TEST(XmodemSenderTest, AFileThatCannotBeReadOrALostConnectionStopsTheTransfer) {
    {
        SimulatedLine line;
        PeerReceiver peer(line, true);
        MemoryFile file(Pattern(100), "/data/report.txt");
        file.fail_reads = true;
        Sender sender(line, file, nullptr, Timing{});
        EXPECT_EQ(sender.Run(), Outcome::kFailed);
        EXPECT_EQ(
            line.said,
            std::vector<std::string>{
                "Unable to read '/data/report.txt': Input/output error. File transfer failed."});
        EXPECT_EQ(line.sent, "\x18\x18");  // the receiver is told to stop waiting
    }
    {
        SimulatedLine line;
        PeerReceiver peer(line, true);
        line.send_ok = false;
        MemoryFile file(Pattern(100));
        Sender sender(line, file, nullptr, Timing{});
        EXPECT_EQ(sender.Run(), Outcome::kFailed);
        EXPECT_EQ(line.said,
                  std::vector<std::string>{"The connection failed. File transfer failed."});
    }
}

TEST(XmodemReceiverTest, ReceivesFilesOfEverySizeInBothModes) {
    for (bool checksum_only : {false, true}) {
        for (std::size_t size : {0u, 1u, 127u, 128u, 129u, 10000u}) {
            SimulatedLine line;
            const std::string data = Pattern(size, static_cast<unsigned>(size));
            PeerSender peer(line, data);
            peer.ignore_crc_request = checksum_only;
            MemoryFile file;
            Receiver receiver(line, file, nullptr, Timing{});
            EXPECT_EQ(receiver.Run(), Outcome::kDone) << size;
            EXPECT_EQ(receiver.crc_mode(), !checksum_only);
            EXPECT_EQ(file.contents(), Padded(data)) << size;
            EXPECT_TRUE(peer.finished);
            ASSERT_EQ(line.said.size(), 3u);
            EXPECT_EQ(line.said[0], "Transfer completed successfully.");
            EXPECT_EQ(line.said[1].substr(0, line.said[1].find(" in ")),
                      std::to_string(Padded(data).size()) + " bytes received");
            // The padding note follows the completion message.
            EXPECT_NE(line.said[2].find("padding"), std::string::npos);
        }
    }
}

TEST(XmodemReceiverTest, ABlockSentAgainBecauseItsAckWasLostIsAcknowledgedNotWrittenTwice) {
    SimulatedLine line;
    const std::string data = Pattern(600);
    PeerSender peer(line, data);
    peer.lose_ack_of = 2;
    MemoryFile file;
    Receiver receiver(line, file, nullptr, Timing{});
    ASSERT_EQ(receiver.Run(), Outcome::kDone);
    EXPECT_EQ(peer.acks_of_repeat, 1);
    EXPECT_EQ(peer.naks_seen, 0);
    EXPECT_EQ(file.contents(), Padded(data));
    EXPECT_TRUE(peer.finished);
}

TEST(XmodemReceiverTest, ABlockWithBytesThatNeverCameIsRefusedEvenIfItsCheckMatches) {
    // A checksum block of zeros that stops eight bytes short of its data: zeros in the missing
    // places (and in the checksum's) would make it look whole.
    SimulatedLine line;
    line.Arrive(std::string("\x01\x01\xfe", 3) + std::string(120, '\0'), 11000);
    line.Arrive(std::string(1, static_cast<char>(EOT)), 40000);
    MemoryFile file;
    Receiver receiver(line, file, nullptr, Timing{});
    ASSERT_EQ(receiver.Run(), Outcome::kDone);
    EXPECT_FALSE(receiver.crc_mode());
    EXPECT_EQ(file.contents(), "");
    EXPECT_EQ(line.sent.find(static_cast<char>(ACK)), line.sent.size() - 1);  // only the EOT's
}

TEST(XmodemReceiverTest, StallsEndWithTheirMessages) {
    {
        // Nothing ever comes: eleven ten-second windows.
        SimulatedLine line;
        MemoryFile file;
        Receiver receiver(line, file, nullptr, Timing{});
        const std::int64_t start = line.NowMs();
        EXPECT_EQ(receiver.Run(), Outcome::kFailed);
        EXPECT_EQ(line.said,
                  std::vector<std::string>{
                      "Too many timeouts waiting for transfer to begin. File transfer failed."});
        EXPECT_GE(line.NowMs() - start, 11 * 10000);
        EXPECT_FALSE(receiver.crc_mode());
    }
    {
        // The sender stops in the middle of a block.
        SimulatedLine line;
        PeerSender peer(line, Pattern(1000));
        peer.stop_inside = 2;
        MemoryFile file;
        Receiver receiver(line, file, nullptr, Timing{});
        EXPECT_EQ(receiver.Run(), Outcome::kFailed);
        EXPECT_EQ(line.said.back(), "Timeout waiting for packet body. File transfer failed.");
    }
}

TEST(XmodemReceiverTest, AFailedWriteEndsTheTransferAndSaysWhatWasKept) {
    SimulatedLine line;
    PeerSender peer(line, Pattern(1000));
    MemoryFile file("", "/media/card/log.txt");
    file.fail_after = 300;
    Receiver receiver(line, file, nullptr, Timing{});
    EXPECT_EQ(receiver.Run(), Outcome::kFailed);
    EXPECT_EQ(line.said,
              std::vector<std::string>{
                  "Unable to write to '/media/card/log.txt': No space left on device. File "
                  "transfer failed. 300 bytes were kept."});
    EXPECT_EQ(line.sent.substr(line.sent.size() - 2), "\x18\x18");  // the sender is stopped
    EXPECT_FALSE(peer.finished);

    // A file that cannot be closed whole is not reported complete either.
    SimulatedLine line2;
    PeerSender peer2(line2, Pattern(100));
    MemoryFile file2("", "/media/card/log.txt");
    file2.fail_finish = true;
    Receiver receiver2(line2, file2, nullptr, Timing{});
    EXPECT_EQ(receiver2.Run(), Outcome::kFailed);
    ASSERT_EQ(line2.said.size(), 1u);
    EXPECT_EQ(line2.said[0].find("Unable to write to '/media/card/log.txt'"), 0u);
}

TEST(XmodemReceiverTest, TwoCansFromTheSenderEndTheTransfer) {
    SimulatedLine line;
    line.peer = [&line](const std::string& bytes) {
        if (bytes == "C") line.Arrive("\x18\x18");
    };
    MemoryFile file;
    Receiver receiver(line, file, nullptr, Timing{});
    EXPECT_EQ(receiver.Run(), Outcome::kFailed);
    EXPECT_EQ(line.said, std::vector<std::string>{
                             "File transfer cancelled by remote end. File transfer failed."});
}

TEST(XmodemTransferTest, CancelTellsThePeerToStop) {
    {
        SimulatedLine line;
        PeerSender peer(line, Pattern(5000));
        line.cancel_at = 3000;
        MemoryFile file;
        Receiver receiver(line, file, nullptr, Timing{});
        EXPECT_EQ(receiver.Run(), Outcome::kCancelled);
        EXPECT_EQ(line.sent.substr(line.sent.size() - 2), "\x18\x18");
        EXPECT_EQ(line.said, std::vector<std::string>{"File transfer cancelled."});
    }
    {
        SimulatedLine line;
        PeerReceiver peer(line, true);
        line.cancel_at = 1100;
        MemoryFile file(Pattern(50000));
        Sender sender(line, file, nullptr, Timing{});
        EXPECT_EQ(sender.Run(), Outcome::kCancelled);
        EXPECT_EQ(line.sent.substr(line.sent.size() - 2), "\x18\x18");
    }
}

TEST(XmodemTransferTest, TheReceiveProgressNoteGivesTheTimeTheWaitsCost) {
    EXPECT_EQ(ReceiveTimeNote(Timing{}),
              "Expect at least 4.0 s per KB (69 min per MB): each block waits 500 ms before it "
              "is acknowledged.");
    Timing quick;
    quick.purge_ms = 0;
    EXPECT_EQ(ReceiveTimeNote(quick), "");
}

}  // namespace
}  // namespace tarnwick
