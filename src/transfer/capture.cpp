#include "transfer/capture.h"

#include <cstring>

#include "core/session_config.h"
#include "platform/ui_dispatcher.h"
#include "transfer/transfer_filter.h"

namespace tarnwick {

IO_Capture::IO_Capture(const char* path) : IO(kLayerCapture, "Capture") {
    if (path != nullptr) CreateFile(path);
}

IO_Capture::~IO_Capture() {
    Close();
}

bool IO_Capture::CreateFile(const std::string& path) {
    int error = 0;
    file_ = OpenFileForWriting(path, true, &error);
    if (!file_) {
        Ui().ShowMessage("Notice", "Unable to open '" + path + "' for writing.");
        return false;
    }
    buffer_.reserve(kBufferSize);
    failed_ = false;
    return true;
}

int IO_Capture::Open(SessionConfig* config) {
    AttachConfig(config);
    if (lower_ != nullptr) {
        if (int result = lower_->Open(config); result != status::kOk) return result;
    }
    if (file_) return status::kOk;
    auto path = Ui().SaveFileDialog(TransferFileDialog("Save capture log", "capture.txt"));
    if (!path) return status::kOutOfMemory;  // the code of a cancelled file choice
    return CreateFile(*path) ? status::kOk : status::kFileOpenFailed;
}

void IO_Capture::Close() {
    if (lower_ != nullptr) lower_->Close();
    std::lock_guard<std::mutex> guard(file_mutex_);
    if (!file_) return;
    Flush();
    if (!failed_ && !file_->Finish()) Failed();
    file_.reset();
}

int IO_Capture::IsLinkUp() {
    return lower_ != nullptr ? lower_->IsLinkUp() : 1;
}

int IO_Capture::IsConnected() {
    return lower_ != nullptr ? lower_->IsConnected() : 1;
}

int IO_Capture::Send(const std::uint8_t* data, int length) {
    if (lower_ == nullptr) return status::kNotConnected;
    if (config_ != nullptr && config_->GetInt(setting::local_echo) == 1 && length > 0) {
        Write(data, static_cast<std::size_t>(length));
    }
    return lower_->Send(data, length);
}

int IO_Capture::Receive(const std::uint8_t* data, int length) {
    if (length > 0 && data != nullptr) Write(data, static_cast<std::size_t>(length));
    return upper_ != nullptr ? upper_->Receive(data, length) : status::kOk;
}

int IO_Capture::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

void IO_Capture::Write(const std::uint8_t* data, std::size_t length) {
    std::lock_guard<std::mutex> guard(file_mutex_);
    if (!file_ || failed_) return;
    if (buffer_.size() + length > kBufferSize) {
        Flush();
        if (failed_) return;
        if (length >= kBufferSize) {
            if (!file_->Write(data, length)) Failed();
            return;
        }
    }
    buffer_.insert(buffer_.end(), data, data + length);
}

void IO_Capture::Flush() {
    if (buffer_.empty() || failed_) return;
    if (!file_->Write(buffer_.data(), buffer_.size())) Failed();
    buffer_.clear();
}

void IO_Capture::Failed() {
    failed_ = true;
    buffer_.clear();
    const std::string text = "Unable to write to the capture file '" + file_->path() +
                             "': " + file_->ErrorText() +
                             ". Nothing more is captured; the file holds " +
                             std::to_string(file_->Written()) + " bytes.";
    // Shown after the current delivery up the chain has finished, not in the middle of it.
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    if (dispatcher.HasUiThread()) {
        dispatcher.Post([text] { Ui().ShowMessage("Notice", text); });
    } else {
        Ui().ShowMessage("Notice", text);
    }
}

}  // namespace tarnwick
