#include "transfer/transfer_filter.h"

#include <chrono>

#include "platform/folders.h"
#include "platform/ui_dispatcher.h"

namespace tarnwick {

namespace {

std::atomic<TransferEndedHandler> g_ended_handler{nullptr};

// The Cancel of the progress window is looked at this often while a wait goes on.
constexpr std::chrono::milliseconds kCancelPoll{100};

}  // namespace

void SetTransferEndedHandler(TransferEndedHandler handler) {
    g_ended_handler.store(handler);
}

FileDialogRequest TransferFileDialog(const char* title, const char* name) {
    FileDialogRequest request;
    request.title = title;
    request.initial_path = DocumentsDirectory() + "/" + name;
    request.default_extension = "txt";
    request.filters = {{"Text (*.txt)", "*.txt"}, {"All files (*.*)", "*.*"}};
    request.selected_filter = 1;
    return request;
}

TransferFilter::TransferFilter(int type, const char* name) : IO(type, name) {}

TransferFilter::~TransferFilter() {
    Close();
}

void TransferFilter::Close() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (lower_ != nullptr) lower_->Close();
    worker_.Stop();
    if (progress_) {
        progress_->Close();
        progress_.reset();
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        received_.clear();
    }
    if (file_) file_->Finish();
}

int TransferFilter::IsLinkUp() {
    return lower_ != nullptr ? lower_->IsLinkUp() : 1;
}

int TransferFilter::IsConnected() {
    return lower_ != nullptr ? lower_->IsConnected() : 1;
}

int TransferFilter::SetLower(IO* layer) {
    int result = IO::SetLower(layer);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        worker_lower_ = lower_;
    }
    wake_.notify_all();
    return result;
}

int TransferFilter::Send(const std::uint8_t*, int) {
    return status::kOk;
}

int TransferFilter::Receive(const std::uint8_t* data, int length) {
    if (data == nullptr || length <= 0) return status::kOk;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        const std::size_t room = kMaxQueued - std::min(kMaxQueued, received_.size());
        received_.insert(received_.end(), data,
                         data + std::min(room, static_cast<std::size_t>(length)));
    }
    wake_.notify_all();
    return status::kOk;
}

int TransferFilter::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

bool TransferFilter::StartWorker() {
    worker_.SetWaker([this] {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
    });
    return worker_.Start([this] {
        Work();
        finished_.store(true);
        worker_.MarkExiting();
        if (TransferEndedHandler handler = g_ended_handler.load()) handler(GetSession(), this);
        return 0;
    });
}

IO* TransferFilter::Lower() {
    std::lock_guard<std::mutex> guard(mutex_);
    return worker_lower_;
}

bool TransferFilter::AwaitLower() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return stopping_ || worker_lower_ != nullptr; });
    return !stopping_;
}

bool TransferFilter::SendDown(const std::uint8_t* data, std::size_t length) {
    IO* lower = Lower();
    return lower != nullptr && lower->Send(data, static_cast<int>(length)) == status::kOk;
}

bool TransferFilter::Stopping() {
    std::lock_guard<std::mutex> guard(mutex_);
    return stopping_;
}

bool TransferFilter::CancelRequested() {
    return Stopping() || (progress_ && progress_->IsCancelled());
}

int TransferFilter::WaitQueuedByte(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeout_ms));
    for (;;) {
        if (progress_ && progress_->IsCancelled()) return -1;
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) return -1;
        if (!received_.empty()) {
            const std::uint8_t byte = received_.front();
            received_.pop_front();
            return byte;
        }
        const auto now = Clock::now();
        if (now >= deadline) return -1;
        wake_.wait_until(lock, std::min(deadline, now + kCancelPoll));
    }
}

void TransferFilter::PurgeQueue(int quiet_ms) {
    using Clock = std::chrono::steady_clock;
    const auto quiet = std::chrono::milliseconds(std::max(0, quiet_ms));
    std::unique_lock<std::mutex> lock(mutex_);
    received_.clear();
    auto interval_end = Clock::now() + quiet;
    for (;;) {
        // A peer that never stops sending would hold the purge for ever: Cancel ends it too.
        if (progress_ && progress_->IsCancelled()) return;
        const auto now = Clock::now();
        if (now >= interval_end) {
            if (received_.empty()) return;
            received_.clear();
            interval_end = now + quiet;
            continue;
        }
        if (wake_.wait_until(lock, std::min(interval_end, now + kCancelPoll),
                             [this] { return stopping_; })) {
            return;
        }
    }
}

bool TransferFilter::SleepFor(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(std::max(0, ms)),
                           [this] { return stopping_; });
}

void TransferFilter::SayLine(const std::string& line) {
    UiDispatcher& dispatcher = UiDispatcher::Instance();
    auto show = [this, line] {
        DisplayString(line.c_str());
        DisplayString("\r\n");
    };
    if (!dispatcher.HasUiThread()) {
        show();
        return;
    }
    dispatcher.RunAndWait(show);
}

}  // namespace tarnwick
