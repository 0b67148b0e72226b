// The transfer progress window without a toolkit: what a transfer reports (from its worker
// thread) is kept under a lock, the face is told that something changed and draws a snapshot; the
// face's Cancel sets the flag the worker polls. The rate is computed from the byte counts.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/user_interface.h"

namespace tarnwick {

class TransferProgressModel : public TransferProgress {
  public:
    using Clock = std::chrono::steady_clock;

    struct Snapshot {
        bool send_mode = false;
        std::string file;
        std::string done_text = "0";
        std::string total_text = "(unknown)";
        int percentage = 0;  // shown only when sending
        std::string status;
        std::uint64_t bytes_done = 0;
        std::uint64_t bytes_total = 0;
        double bytes_per_second = 0;
        bool cancelled = false;
        bool closed = false;
    };

    // changed is called (from whichever thread reported) after every change; it must not block.
    explicit TransferProgressModel(bool send_mode, std::function<void()> changed = {});

    void SetDoneText(const std::string& text) override;
    void SetTotalText(const std::string& text) override;
    void SetPercentage(int percent) override;
    void SetStatusText(const std::string& text) override;
    bool IsCancelled() const override;
    void Close() override;
    void SetFileName(const std::string& name) override;
    void SetBytes(std::uint64_t done, std::uint64_t total) override;

    // The face's Cancel (or closing the window).
    void Cancel();
    Snapshot Get() const;
    // One line for a status bar: "Transfer: name 12 of 100 KB transferred 12% 1.5 MB/s status".
    static std::string Describe(const Snapshot& snapshot);
    // A rate as the window shows it ("1.5 MB/s", "12.0 KB/s"); empty when nothing has moved.
    static std::string RateText(double bytes_per_second);

    // For tests: the clock the rate is measured with.
    void SetClock(std::function<Clock::time_point()> now) { now_ = std::move(now); }

  private:
    template <typename F>
    void Change(F&& f);

    mutable std::mutex mutex_;
    Snapshot state_;
    Clock::time_point started_;
    std::function<Clock::time_point()> now_ = [] { return Clock::now(); };
    std::function<void()> changed_;
};

}  // namespace tarnwick
