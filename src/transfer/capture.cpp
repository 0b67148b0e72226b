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
    closing_ = false;
    failed_ = false;
    writer_.SetWaker([this] {
        std::lock_guard<std::mutex> guard(mutex_);
        closing_ = true;
        changed_.notify_all();
    });
    if (!writer_.Start([this] { return WriterMain(); })) {
        Ui().ShowMessage("Notice", "Unable to open '" + path + "' for writing.");
        file_.reset();
        return false;
    }
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
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!file_) return;
        HandFilling(lock);
        closing_ = true;
        changed_.notify_all();
    }
    // The writer empties the queue before it ends.
    writer_.Stop();
    std::lock_guard<std::mutex> guard(mutex_);
    if (!failed_ && !file_->Finish()) {
        failed_ = true;
        Report("Unable to write to the capture file '" + file_->path() +
               "': " + file_->ErrorText() + ". Nothing more is captured; the file holds " +
               std::to_string(file_->Written()) + " bytes.");
    }
    file_.reset();
    filling_.reset();
    waiting_.clear();
    spare_.clear();
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
    std::unique_lock<std::mutex> lock(mutex_);
    while (length > 0 && file_ && !failed_ && !closing_) {
        if (!filling_) {
            if (!spare_.empty()) {
                filling_ = std::move(spare_.back());
                spare_.pop_back();
            } else {
                filling_ = std::make_unique<IO_Buffer>(kBufferSize);
            }
        }
        const std::size_t part = std::min<std::size_t>(length, kBufferSize - filling_->size());
        std::memcpy(filling_->data() + filling_->size(), data, part);
        filling_->setLength(static_cast<std::uint32_t>(filling_->size() + part));
        data += part;
        length -= part;
        if (filling_->size() == kBufferSize) HandFilling(lock);
    }
}

void IO_Capture::HandFilling(std::unique_lock<std::mutex>& lock) {
    if (filling_ && filling_->size() > 0) Hand(lock, std::move(filling_));
}

void IO_Capture::Hand(std::unique_lock<std::mutex>& lock, std::unique_ptr<IO_Buffer> buffer) {
    // A disk slower than the session holds the session back here rather than lose its text.
    changed_.wait(lock, [this] { return waiting_.size() < kMaxWaiting || failed_ || closing_; });
    if (failed_) return;
    waiting_.push_back(std::move(buffer));
    changed_.notify_all();
}

int IO_Capture::WriterMain() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return !waiting_.empty() || closing_; });
        if (waiting_.empty()) break;  // closing, and everything written
        std::unique_ptr<IO_Buffer> buffer = std::move(waiting_.front());
        waiting_.pop_front();
        changed_.notify_all();
        if (failed_) continue;
        lock.unlock();
        const bool written = file_->Write(buffer->data(), buffer->size());
        lock.lock();
        if (!written && !failed_) {
            failed_ = true;
            Report("Unable to write to the capture file '" + file_->path() +
                   "': " + file_->ErrorText() + ". Nothing more is captured; the file holds " +
                   std::to_string(file_->Written()) + " bytes.");
        }
        // Buffers go round: the session fills what the writer has emptied, in memory still warm.
        if (spare_.size() < kSpares) {
            buffer->clear();
            spare_.push_back(std::move(buffer));
        }
        changed_.notify_all();
    }
    writer_.MarkExiting();
    return 0;
}

void IO_Capture::Report(const std::string& text) {
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    if (dispatcher.HasUiThread()) {
        dispatcher.Post([text] { Ui().ShowMessage("Notice", text); });
    } else {
        Ui().ShowMessage("Notice", text);
    }
}

}  // namespace tarnwick
