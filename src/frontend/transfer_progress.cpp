#include "frontend/transfer_progress.h"

#include <cstdio>

namespace tarnwick {

TransferProgressModel::TransferProgressModel(bool send_mode, std::function<void()> changed)
    : started_(Clock::now()), changed_(std::move(changed)) {
    state_.send_mode = send_mode;
}

template <typename F>
void TransferProgressModel::Change(F&& f) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        f(state_);
    }
    if (changed_) changed_();
}

void TransferProgressModel::SetDoneText(const std::string& text) {
    Change([&](Snapshot& s) { s.done_text = text; });
}

void TransferProgressModel::SetTotalText(const std::string& text) {
    Change([&](Snapshot& s) { s.total_text = text; });
}

void TransferProgressModel::SetPercentage(int percent) {
    Change([&](Snapshot& s) { s.percentage = percent < 0 ? 0 : (percent > 100 ? 100 : percent); });
}

void TransferProgressModel::SetStatusText(const std::string& text) {
    Change([&](Snapshot& s) { s.status = text; });
}

bool TransferProgressModel::IsCancelled() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_.cancelled;
}

void TransferProgressModel::Close() {
    Change([](Snapshot& s) { s.closed = true; });
}

void TransferProgressModel::SetFileName(const std::string& name) {
    Change([&](Snapshot& s) { s.file = name; });
}

void TransferProgressModel::SetBytes(std::uint64_t done, std::uint64_t total) {
    const double seconds = std::chrono::duration<double>(now_() - started_).count();
    Change([&](Snapshot& s) {
        s.bytes_done = done;
        s.bytes_total = total;
        s.bytes_per_second = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    });
}

void TransferProgressModel::Cancel() {
    Change([](Snapshot& s) { s.cancelled = true; });
}

TransferProgressModel::Snapshot TransferProgressModel::Get() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return state_;
}

std::string TransferProgressModel::Describe(const Snapshot& s) {
    std::string line = "Transfer: ";
    if (!s.file.empty()) line += s.file + " ";
    line += s.done_text + " of " + s.total_text + " KB transferred";
    if (s.send_mode) line += " " + std::to_string(s.percentage) + "%";
    if (s.bytes_per_second > 0) line += " " + RateText(s.bytes_per_second);
    if (!s.status.empty()) line += " " + s.status;
    if (s.cancelled) line += " (cancelling)";
    return line;
}

std::string TransferProgressModel::RateText(double bytes_per_second) {
    if (!(bytes_per_second > 0)) return {};
    char rate[32];
    if (bytes_per_second >= 1024 * 1024) {
        std::snprintf(rate, sizeof rate, "%.1f MB/s", bytes_per_second / (1024 * 1024));
    } else {
        std::snprintf(rate, sizeof rate, "%.1f KB/s", bytes_per_second / 1024);
    }
    return rate;
}

}  // namespace tarnwick
