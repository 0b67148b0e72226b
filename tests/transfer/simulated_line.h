// A line for the XMODEM procedures with a virtual clock: bytes arrive at set times, waits and
// purges move the clock instead of sleeping, and a peer written in the test answers what is sent.
// A transfer that would take minutes of time-outs runs in microseconds, and exactly the same way
// every time. Also a file in memory that can be told to fail.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "transfer/transfer_file.h"
#include "transfer/xmodem.h"

namespace tarnwick::testing {

class SimulatedLine : public xmodem::Link {
  public:
    // What the far end of the line takes to answer.
    static constexpr std::int64_t kLatency = 5;

    // bytes reach our side delay_ms from now, in order.
    void Arrive(const std::string& bytes, std::int64_t delay_ms = kLatency) {
        const std::int64_t at = now_ + delay_ms;
        auto position = std::upper_bound(arrivals_.begin(), arrivals_.end(), at,
                                         [](std::int64_t t, const Arrival& a) { return t < a.at; });
        std::vector<Arrival> added;
        for (char c : bytes)
            added.push_back({at, static_cast<std::uint8_t>(c)});
        arrivals_.insert(position, added.begin(), added.end());
    }

    int WaitByte(int timeout_ms) override {
        if (Cancelled()) return -1;
        if (!arrivals_.empty() && arrivals_.front().at <= now_ + timeout_ms) {
            now_ = std::max(now_, arrivals_.front().at);
            const int byte = arrivals_.front().byte;
            arrivals_.pop_front();
            return byte;
        }
        now_ += timeout_ms;
        return -1;
    }
    void Purge(int quiet_ms) override {
        DropArrived();
        for (;;) {
            now_ += quiet_ms;
            if (!DropArrived()) return;
        }
    }
    bool SendBytes(const std::uint8_t* data, std::size_t length) override {
        const std::string bytes(reinterpret_cast<const char*>(data), length);
        sent += bytes;
        if (peer) peer(bytes);
        return send_ok;
    }
    bool Cancelled() override { return cancel_at >= 0 && now_ >= cancel_at; }
    std::int64_t NowMs() override { return now_; }
    void Say(const std::string& line) override { said.push_back(line); }

    std::function<void(const std::string&)> peer;
    std::string sent;
    std::vector<std::string> said;
    bool send_ok = true;
    std::int64_t cancel_at = -1;

  private:
    struct Arrival {
        std::int64_t at;
        std::uint8_t byte;
    };
    bool DropArrived() {
        bool any = false;
        while (!arrivals_.empty() && arrivals_.front().at <= now_) {
            arrivals_.pop_front();
            any = true;
        }
        return any;
    }

    std::int64_t now_ = 1000;
    std::deque<Arrival> arrivals_;
};

class MemoryFile : public TransferFile {
  public:
    explicit MemoryFile(std::string contents = {}, std::string path = "memory.bin")
        : TransferFile(std::move(path)), contents_(std::move(contents)) {
        size_ = contents_.size();
    }
    long long ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length) override {
        if (fail_reads) {
            error_ = 5;  // EIO
            return -1;
        }
        if (offset >= contents_.size()) return 0;
        const std::size_t n = std::min<std::size_t>(length, contents_.size() - offset);
        std::copy_n(contents_.data() + offset, n, data);
        return static_cast<long long>(n);
    }
    bool Write(const std::uint8_t* data, std::size_t length) override {
        std::size_t room = length;
        if (fail_after >= 0) {
            const long long left = std::max(0LL, fail_after - static_cast<long long>(written_));
            room = std::min<std::size_t>(length, static_cast<std::size_t>(left));
        }
        contents_.append(reinterpret_cast<const char*>(data), room);
        written_ += room;
        if (room < length) {
            error_ = 28;  // ENOSPC
            return false;
        }
        return true;
    }
    bool Finish() override { return !fail_finish; }

    const std::string& contents() const { return contents_; }
    bool fail_reads = false;
    bool fail_finish = false;
    long long fail_after = -1;  // the disk is full once the file holds this many bytes

  private:
    std::string contents_;
};

// Bytes that look random and are the same on every run.
inline std::string Pattern(std::size_t size, unsigned seed = 7) {
    std::string data(size, '\0');
    std::uint32_t x = seed;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

// What a receiver keeps of a file: whole blocks, the last one padded with 0x1A.
inline std::string Padded(const std::string& data) {
    std::string padded = data;
    padded.append((xmodem::kBlockData - data.size() % xmodem::kBlockData) % xmodem::kBlockData,
                  static_cast<char>(xmodem::kPad));
    return padded;
}

}  // namespace tarnwick::testing
