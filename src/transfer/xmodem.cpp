#include "transfer/xmodem.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/user_interface.h"
#include "transfer/crc16.h"
#include "transfer/transfer_file.h"

namespace tarnwick::xmodem {

namespace {

// Errors tolerated before a transfer gives up; the tenth or the eleventh, as each rule says.
constexpr int kMaxErrors = 10;
// A receiver ends on the second CAN in a row, as a sender's cancel is always doubled.
constexpr int kCansToEnd = 2;

constexpr const char* kFailed = " File transfer failed.";

std::string WriteFailure(const TransferFile& file) {
    return "Unable to write to '" + file.path() + "': " + file.ErrorText() + "." + kFailed + " " +
           std::to_string(file.Written()) + " bytes were kept.";
}

void CancelPeer(Link& link) {
    const std::uint8_t cancel[2] = {CAN, CAN};
    link.SendBytes(cancel, sizeof cancel);
}

}  // namespace

std::size_t BuildBlock(std::uint32_t counter, const std::uint8_t* data, std::size_t length,
                       bool crc, std::uint8_t* block) {
    length = std::min(length, kBlockData);
    const auto number = static_cast<std::uint8_t>(counter & 0xFF);
    block[0] = SOH;
    block[1] = number;
    block[2] = static_cast<std::uint8_t>(255 - number);
    std::uint8_t* payload = block + 3;
    if (length > 0) std::memcpy(payload, data, length);
    std::memset(payload + length, kPad, kBlockData - length);
    if (crc) {
        const std::uint16_t check = XmodemCrc16(payload, kBlockData);
        payload[kBlockData] = static_cast<std::uint8_t>(check >> 8);
        payload[kBlockData + 1] = static_cast<std::uint8_t>(check & 0xFF);
        return kCrcBlock;
    }
    payload[kBlockData] = XmodemChecksum(payload, kBlockData);
    return kChecksumBlock;
}

std::string ReceiveTimeNote(const Timing& timing) {
    if (timing.purge_ms <= 0) return {};
    // Eight blocks make a kilobyte; each waits at least one quiet interval before its ACK.
    const int per_kb_ms = timing.purge_ms * 8;
    const int per_mb_minutes = (per_kb_ms * 1024 + 59999) / 60000;
    char text[160];
    std::snprintf(text, sizeof text,
                  "Expect at least %d.%d s per KB (%d min per MB): each block waits %d ms "
                  "before it is acknowledged.",
                  per_kb_ms / 1000, (per_kb_ms % 1000) / 100, per_mb_minutes, timing.purge_ms);
    return text;
}

// ---------------------------------------------------------------------------------------------
// Sender

Sender::Sender(Link& link, TransferFile& file, TransferProgress* progress, const Timing& timing)
    : link_(link), file_(file), progress_(progress), timing_(timing) {}

Outcome Sender::Fail(const std::string& message) {
    link_.Say(message);
    return Outcome::kFailed;
}

Outcome Sender::Cancel() {
    CancelPeer(link_);
    link_.Say("File transfer cancelled.");
    return Outcome::kCancelled;
}

Outcome Sender::Handshake() {
    int others = 0;
    for (;;) {
        if (link_.Cancelled()) return Cancel();
        const int byte = link_.WaitByte(timing_.handshake_ms);
        if (byte < 0) {
            if (link_.Cancelled()) return Cancel();
            return Fail("timeout condition: send xmodem failed.");
        }
        if (byte == kCrcRequest || byte == NAK) {
            crc_ = byte == kCrcRequest;
            return Outcome::kDone;
        }
        if (++others >= kMaxErrors) return Fail("error condition: send xmodem failed.");
    }
}

Sender::Answer Sender::AwaitAnswer(int& errors, Outcome& outcome) {
    for (;;) {
        const int byte = link_.WaitByte(timing_.answer_ms);
        if (link_.Cancelled()) {
            outcome = Cancel();
            return Answer::kStop;
        }
        if (byte == ACK) return Answer::kAcknowledged;
        // A receiver that asks for CRC mode again while the first block is unanswered never got
        // it (some empty their input just after asking): it is a NAK for that block.
        if (byte == NAK || (byte == kCrcRequest && crc_ && counter_ == 1)) {
            link_.Purge(timing_.purge_ms);
            if (++errors > kMaxErrors) {
                outcome = Fail("Too many timeouts sending packet. File transfer failed.");
                return Answer::kStop;
            }
            return Answer::kResend;
        }
        if (byte == CAN) {
            outcome = Fail("File transfer cancelled by remote end. File transfer failed.");
            return Answer::kStop;
        }
        if (byte < 0) {
            // The block is not sent again: a receiver that lost it asks with NAK.
            if (++errors >= kMaxErrors) {
                outcome =
                    Fail("Too many timeouts waiting for ACK, NAK, or CAN. File transfer failed.");
                return Answer::kStop;
            }
            continue;
        }
        if (++errors > kMaxErrors) {
            outcome = Fail("Too many timeouts receiving bad data. File transfer failed.");
            return Answer::kStop;
        }
    }
}

Outcome Sender::Run() {
    link_.Purge(timing_.purge_ms);
    if (Outcome o = Handshake(); o != Outcome::kDone) return o;

    const std::uint64_t size = file_.Size();
    int errors = 0;
    std::uint8_t data[kBlockData];
    std::uint8_t block[kCrcBlock];
    for (;;) {
        if (link_.Cancelled()) return Cancel();
        const std::uint64_t offset = static_cast<std::uint64_t>(counter_ - 1) * kBlockData;
        if (progress_ != nullptr)
            progress_->SetStatusText("Positioning at " + std::to_string(offset));
        const long long got = file_.ReadAt(offset, data, kBlockData);
        if (got < 0) {
            CancelPeer(link_);
            return Fail("Unable to read '" + file_.path() + "': " + file_.ErrorText() + "." +
                        kFailed);
        }
        if (got == 0) break;  // the data is exhausted
        const std::size_t length =
            BuildBlock(counter_, data, static_cast<std::size_t>(got), crc_, block);
        Answer answer;
        do {
            if (!link_.SendBytes(block, length)) {
                return Fail("The connection failed." + std::string(kFailed));
            }
            Outcome outcome = Outcome::kFailed;
            answer = AwaitAnswer(errors, outcome);
            if (answer == Answer::kStop) return outcome;
        } while (answer == Answer::kResend);

        ++counter_;
        errors = 0;
        if (progress_ != nullptr) {
            const std::uint64_t done = static_cast<std::uint64_t>(counter_ - 1) * kBlockData;
            progress_->SetDoneText(std::to_string(done / 1024));
            progress_->SetBytes(std::min(done, size), size);
            if (size > 0) {
                progress_->SetPercentage(
                    static_cast<int>(std::min<std::uint64_t>(100, done * 100 / size)));
            }
        }
    }
    return SendEndOfFile();
}

Outcome Sender::SendEndOfFile() {
    const std::uint8_t eot = EOT;
    int errors = 0;
    if (!link_.SendBytes(&eot, 1)) return Fail("The connection failed." + std::string(kFailed));
    for (;;) {
        const int byte = link_.WaitByte(timing_.answer_ms);
        if (link_.Cancelled()) return Cancel();
        if (byte == ACK) {
            link_.Say("File sent successfully.");
            return Outcome::kDone;
        }
        // A receiver that asks for the transfer to begin again missed the end of an empty file
        // (some throw away what arrives right after their request): it gets EOT again, as for NAK.
        if (byte == NAK || byte == kCrcRequest) {
            if (++errors >= kMaxErrors) {
                link_.Say("Too many NAKs waiting for EOT ACK, but file transferred successfully.");
                return Outcome::kDone;
            }
            link_.SendBytes(&eot, 1);
            continue;
        }
        if (byte < 0) {
            if (++errors >= kMaxErrors) {
                link_.Say(
                    "Too many timeouts waiting for EOT ACK, but file transferred successfully.");
                return Outcome::kDone;
            }
            continue;
        }
        link_.Say("Server ends abnormally, but file was sent successfully.");
        return Outcome::kDone;
    }
}

// ---------------------------------------------------------------------------------------------
// Receiver

Receiver::Receiver(Link& link, TransferFile& file, TransferProgress* progress, const Timing& timing)
    : link_(link), file_(file), progress_(progress), timing_(timing) {}

Outcome Receiver::Fail(const std::string& message) {
    link_.Say(message);
    return Outcome::kFailed;
}

Outcome Receiver::Cancel() {
    CancelPeer(link_);
    link_.Say("File transfer cancelled.");
    return Outcome::kCancelled;
}

void Receiver::SendControl(std::uint8_t byte) {
    // A NAK asks for the block again: whatever is still arriving of the bad one must go first.
    if (byte == NAK) link_.Purge(timing_.purge_ms);
    link_.SendBytes(&byte, 1);
}

int Receiver::ReadHeader(std::uint8_t* header) {
    const std::int64_t deadline = link_.NowMs() + timing_.header_ms;
    int count = 0;
    while (count < 3) {
        const std::int64_t left = deadline - link_.NowMs();
        if (left <= 0) return 0;
        const int byte = link_.WaitByte(static_cast<int>(left));
        if (byte < 0) return 0;
        header[count++] = static_cast<std::uint8_t>(byte);
        if (count == 1 && (byte == EOT || byte == CAN)) return 1;
    }
    return 3;
}

bool Receiver::ReadBody(Outcome& outcome) {
    const std::size_t length = kBlockData + (crc_ ? 2 : 1);
    std::memset(body_, 0, sizeof body_);
    body_complete_ = true;
    for (std::size_t i = 0; i < length; ++i) {
        const int byte = link_.WaitByte(timing_.body_byte_ms);
        if (link_.Cancelled()) {
            outcome = Cancel();
            return false;
        }
        if (byte >= 0) {
            body_[i] = static_cast<std::uint8_t>(byte);
            continue;
        }
        // The block is refused whatever its check says (the zeros standing in for the missing
        // bytes could match it); the NAK asks for the block again.
        body_complete_ = false;
        SendControl(NAK);
        if (++errors_ > kMaxErrors) {
            outcome = Fail("Timeout waiting for packet body. File transfer failed.");
            return false;
        }
    }
    errors_ = 0;
    return true;
}

bool Receiver::BodyIsGood() const {
    if (!body_complete_) return false;
    if (crc_) {
        const std::uint16_t check = XmodemCrc16(body_, kBlockData);
        return body_[kBlockData] == (check >> 8) && body_[kBlockData + 1] == (check & 0xFF);
    }
    return body_[kBlockData] == XmodemChecksum(body_, kBlockData);
}

Outcome Receiver::Finish() {
    const std::uint8_t ack = ACK;
    link_.SendBytes(&ack, 1);
    if (!file_.Finish()) return Fail(WriteFailure(file_));
    const std::int64_t seconds = start_ms_ > 0 ? (link_.NowMs() - start_ms_) / 1000 : 0;
    link_.Say("Transfer completed successfully.");
    link_.Say(std::to_string(total_) + " bytes received in " + std::to_string(seconds) +
              " seconds.");
    link_.Say(
        "XMODEM sends whole blocks of 128 bytes: the end of the file may hold up to 127 "
        "bytes of padding (0x1A) that were not in the original.");
    return Outcome::kDone;
}

Outcome Receiver::Run() {
    bool started = false;
    int cans = 0;
    link_.SendBytes(&kCrcRequest, 1);
    for (;;) {
        if (link_.Cancelled()) return Cancel();
        std::uint8_t header[3];
        const int length = ReadHeader(header);
        if (length == 0) {
            if (link_.Cancelled()) return Cancel();
            // A sender that never answers "C" may only know checksums: NAK asks for those.
            if (!started && crc_) crc_ = false;
            SendControl(NAK);
            if (++errors_ > kMaxErrors) {
                return Fail(
                    "Too many timeouts waiting for transfer to begin. File transfer failed.");
            }
            continue;
        }
        if (!started) {
            started = true;
            start_ms_ = std::max<std::int64_t>(1, link_.NowMs());
        }
        if (header[0] == CAN) {
            if (++cans >= kCansToEnd) {
                return Fail("File transfer cancelled by remote end. File transfer failed.");
            }
            continue;
        }
        if (header[0] == EOT) return Finish();
        if (header[0] != SOH) {
            SendControl(NAK);
            continue;
        }
        cans = 0;
        const std::uint8_t number = header[1];
        const auto expected = static_cast<std::uint8_t>(expected_ & 0xFF);
        const auto previous = static_cast<std::uint8_t>(expected - 1);
        const bool whole = header[2] == static_cast<std::uint8_t>(255 - number);
        if (whole && number == previous && expected_ > 1) {
            // The sender did not hear our ACK and sent the block again: it is already in the
            // file, so its body is read and dropped and the ACK is repeated.
            Outcome outcome = Outcome::kFailed;
            if (!ReadBody(outcome)) return outcome;
            if (!BodyIsGood()) {
                SendControl(NAK);
                continue;
            }
            link_.Purge(timing_.purge_ms);
            SendControl(ACK);
            continue;
        }
        if (!whole || number != expected) {
            SendControl(NAK);
            continue;
        }
        if (progress_ != nullptr) {
            progress_->SetDoneText(std::to_string(expected_ * kBlockData / 1024));
        }
        Outcome outcome = Outcome::kFailed;
        if (!ReadBody(outcome)) return outcome;
        if (!BodyIsGood()) {
            SendControl(NAK);
            continue;
        }
        if (!file_.Write(body_, kBlockData)) {
            CancelPeer(link_);
            return Fail(WriteFailure(file_));
        }
        link_.Purge(timing_.purge_ms);
        SendControl(ACK);
        ++expected_;
        total_ += kBlockData;
        if (progress_ != nullptr) progress_->SetBytes(total_, 0);
    }
}

}  // namespace tarnwick::xmodem
