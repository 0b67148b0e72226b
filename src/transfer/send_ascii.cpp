#include "transfer/send_ascii.h"

#include "core/preferences.h"

namespace tarnwick {

namespace {

constexpr std::size_t kReadChunk = 4096;
// A transport that queues what the peer has not taken yet is not given more than this ahead:
// without pacing the file would otherwise pile up in its queue (which gives up on a peer that lets
// too much wait).
constexpr std::size_t kMaxBacklog = 64 * 1024;
constexpr int kBacklogPollMs = 10;

}  // namespace

IO_SendAscii::IO_SendAscii() : TransferFilter(kLayerSendAscii, "Send Ascii") {}

IO_SendAscii::~IO_SendAscii() {
    Close();
}

int IO_SendAscii::Open(SessionConfig* config) {
    AttachConfig(config);
    if (lower_ != nullptr) {
        if (int result = lower_->Open(config); result != status::kOk) return result;
    }
    auto path = Ui().OpenFileDialog(TransferFileDialog("Select file to send", "sascii.txt"));
    if (!path) return status::kOutOfMemory;  // the code of a cancelled file choice
    int error = 0;
    file_ = OpenFileForReading(*path, &error);
    if (!file_) {
        Ui().ShowMessage("Notice", "Unable to open '" + *path + "' for reading.");
        return status::kFileOpenFailed;
    }
    return StartWorker() ? status::kOk : status::kOutOfMemory;
}

int IO_SendAscii::Receive(const std::uint8_t* data, int length) {
    return upper_ != nullptr ? upper_->Receive(data, length) : status::kOk;
}

void IO_SendAscii::Work() {
    // The session links the filter only after Open: the first byte waits for that.
    if (!AwaitLower()) return;
    std::uint8_t chunk[kReadChunk];
    std::uint64_t offset = 0;
    for (;;) {
        const long long got = file_->ReadAt(offset, chunk, sizeof chunk);
        if (got < 0) {
            SayLine("Unable to read '" + file_->path() + "': " + file_->ErrorText() +
                    ". Send Ascii stopped.");
            return;
        }
        if (got == 0) return;
        for (long long i = 0; i < got; ++i) {
            IO* lower = Lower();
            if (lower == nullptr || Stopping()) return;
            if (lower->Send(&chunk[i], 1) != status::kOk) {
                SayLine("The connection failed. Send Ascii stopped.");
                return;
            }
            const int pacing = Preferences::Instance().GetInt(pref::TextPacing);
            if (pacing > 0 && !SleepFor(pacing)) return;
            while (lower->SendBacklog() > kMaxBacklog) {
                if (!SleepFor(kBacklogPollMs)) return;
            }
        }
        offset += static_cast<std::uint64_t>(got);
    }
}

}  // namespace tarnwick
