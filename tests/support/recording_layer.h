// A layer that records everything that reaches it, for tests of the layers around it. Placed above
// a layer it records what comes up (Receive, Display); placed below it records what goes down
// (Send) and answers the control requests with configurable values.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/io.h"

namespace tarnwick::testing {

class RecordingLayer : public IO {
  public:
    explicit RecordingLayer(int type = kLayerCapture, const char* name = "Recorder")
        : IO(type, name) {}
    ~RecordingLayer() override { ++*destroyed_counter_; }

    int Open(SessionConfig* config) override {
        AttachConfig(config);
        ++opens;
        if (lower_ != nullptr && open_lower) return lower_->Open(config);
        return open_result;
    }
    void Close() override { ++closes; }
    int IsLinkUp() override { return link_up; }
    int IsConnected() override { return connected; }
    int Send(const std::uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(mutex_);
        sent.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        ++send_calls;
        return send_result;
    }
    int Receive(const std::uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(mutex_);
        received.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        ++receive_calls;
        return receive_result;
    }
    int Display(const std::uint8_t* data, int length) override {
        std::lock_guard<std::mutex> guard(mutex_);
        displayed.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        return 0;
    }
    int CanSendBreak() override { return can_break; }
    int SendBreak() override {
        ++breaks;
        return break_result;
    }

    std::string Sent() {
        std::lock_guard<std::mutex> guard(mutex_);
        return sent;
    }
    std::string Received() {
        std::lock_guard<std::mutex> guard(mutex_);
        return received;
    }
    std::string Displayed() {
        std::lock_guard<std::mutex> guard(mutex_);
        return displayed;
    }
    void ClearRecords() {
        std::lock_guard<std::mutex> guard(mutex_);
        sent.clear();
        received.clear();
        displayed.clear();
    }
    // Counts destructions into an external counter (to check "destroyed exactly once").
    void CountDestructionIn(int* counter) { destroyed_counter_ = counter; }

    int open_result = 0;
    bool open_lower = true;
    int send_result = 0;
    int receive_result = 0;
    int link_up = 1;
    int connected = 1;
    int can_break = 0;
    int break_result = 0;
    int opens = 0;
    int closes = 0;
    int breaks = 0;
    int send_calls = 0;
    int receive_calls = 0;

  private:
    std::mutex mutex_;
    std::string sent;
    std::string received;
    std::string displayed;
    int own_counter_ = 0;
    int* destroyed_counter_ = &own_counter_;
};

}  // namespace tarnwick::testing
