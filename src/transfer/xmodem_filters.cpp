#include "transfer/xmodem_filters.h"

#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/ui_dispatcher.h"

namespace tarnwick {

namespace {

constexpr const char* kNeeds8Bit =
    "XModem transfers require an 8-bit data path. The connection you are using is not 8-bit "
    "capable.";
// How long the peer has to agree to an 8-bit path once we asked for one.
constexpr int kEightBitWaitMs = 1000;
constexpr int kEightBitPollMs = 100;

}  // namespace

XmodemFilter::XmodemFilter(int type, const char* name, bool sending, const xmodem::Timing& timing)
    : TransferFilter(type, name), timing_(timing), sending_(sending) {}

int XmodemFilter::Open(SessionConfig* config) {
    AttachConfig(config);
    if (lower_ == nullptr) return status::kFilterNeedsLower;
    if (!lower_->IsConnected()) return status::kLowerNotConnected;
    if (!lower_->Is8BitClean()) {
        if (lower_->Request8Bit(1) == 0) {
            Ui().ShowMessage("Notice", kNeeds8Bit);
            return status::kNot8BitClean;
        }
        // The answer comes through the user-interface thread, which must not wait for it here:
        // the worker waits instead.
        eight_bit_requested_ = true;
    }
    if (!ChooseFile()) return status::kFileOpenFailed;
    progress_ = Ui().CreateTransferProgress(sending_);
    progress_->SetFileName(std::filesystem::path(file_->path()).filename().string());
    if (sending_) {
        progress_->SetTotalText(std::to_string(file_->Size() / 1024));
        progress_->SetStatusText("Starting xfer");
    } else {
        progress_->SetTotalText("(unknown)");
        progress_->SetStatusText(xmodem::ReceiveTimeNote(timing_));
    }
    if (!StartWorker()) {
        progress_->Close();
        progress_.reset();
        return status::kOutOfMemory;
    }
    return status::kOk;
}

bool XmodemFilter::AwaitEightBitPath() {
    auto clean = std::make_shared<std::atomic<bool>>(false);
    for (int waited = 0;; waited += kEightBitPollMs) {
        UiDispatcher::Instance().RunAndWait(
            [this, clean] { clean->store(lower_ != nullptr && lower_->Is8BitClean() != 0); });
        if (clean->load()) return true;
        if (waited >= kEightBitWaitMs || !SleepFor(kEightBitPollMs)) return false;
    }
}

void XmodemFilter::Work() {
    if (eight_bit_requested_ && !AwaitEightBitPath()) {
        Abandon();
        if (!Stopping()) Ui().ShowMessage("Notice", kNeeds8Bit);
    } else {
        Transfer();
    }
    if (progress_) progress_->SetStatusText("Finished; shutting down.");
}

int XmodemFilter::WaitByte(int timeout_ms) {
    return WaitQueuedByte(timeout_ms);
}

void XmodemFilter::Purge(int quiet_ms) {
    PurgeQueue(quiet_ms);
}

bool XmodemFilter::SendBytes(const std::uint8_t* data, std::size_t length) {
    return SendDown(data, length);
}

bool XmodemFilter::Cancelled() {
    return CancelRequested();
}

std::int64_t XmodemFilter::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void XmodemFilter::Say(const std::string& line) {
    SayLine(line);
}

// ---------------------------------------------------------------------------------------------

IO_SendXmodem::IO_SendXmodem(const xmodem::Timing& timing)
    : XmodemFilter(kLayerSendXmodem, "Send XModem", true, timing) {}

IO_SendXmodem::~IO_SendXmodem() {
    Close();
}

bool IO_SendXmodem::ChooseFile() {
    auto path = Ui().OpenFileDialog(TransferFileDialog("Select file to send", "sxmodem.txt"));
    if (!path) return false;
    int error = 0;
    file_ = OpenFileForReading(*path, &error);
    if (!file_) {
        Ui().ShowMessage("Notice", "Unable to open '" + *path + "' for reading.");
        return false;
    }
    return true;
}

void IO_SendXmodem::Transfer() {
    xmodem::Sender sender(*this, *file_, progress_.get(), timing_);
    sender.Run();
}

// ---------------------------------------------------------------------------------------------

IO_ReceiveXmodem::IO_ReceiveXmodem(const xmodem::Timing& timing)
    : XmodemFilter(kLayerReceiveXmodem, "Receive XModem", false, timing) {}

IO_ReceiveXmodem::~IO_ReceiveXmodem() {
    Close();
}

bool IO_ReceiveXmodem::ChooseFile() {
    auto path = Ui().SaveFileDialog(TransferFileDialog("Select file to receive", "rxmodem.txt"));
    if (!path) return false;
    int error = 0;
    // An existing file is emptied only once the transfer can start.
    file_ = OpenFileForWriting(*path, false, &error);
    if (!file_) {
        Ui().ShowMessage("Notice", "Unable to open '" + *path + "' for writing.");
        return false;
    }
    return true;
}

void IO_ReceiveXmodem::Transfer() {
    if (!file_->Truncate()) {
        SayLine("Unable to write to '" + file_->path() + "': " + file_->ErrorText() +
                ". File transfer failed.");
        return;
    }
    xmodem::Receiver receiver(*this, *file_, progress_.get(), timing_);
    receiver.Run();
}

void IO_ReceiveXmodem::Abandon() {
    file_->DiscardIfCreated();
}

}  // namespace tarnwick
