// One request to the system's network connection manager to bring up a network that reaches a
// destination before the TCP/IP transport connects ("EnableICM").
//
// Linux has no such manager: the network is whatever the system has configured, so a request
// succeeds at once and reports connected, and releasing it only forgets it. The object keeps the
// request's destination and proxy flag, and the status values and polling interface that the
// transport relies on.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

class NetworkRequest {
  public:
    // Connection states as the transport reads them.
    static constexpr std::uint32_t kStatusConnected = 0x10;
    static constexpr std::uint32_t kStatusDisconnected = 0x20;  // this bit: disconnected or failed
    static constexpr std::uint32_t kStatusWaitingBit = 0x40;

    NetworkRequest() = default;
    ~NetworkRequest();
    NetworkRequest(const NetworkRequest&) = delete;
    NetworkRequest& operator=(const NetworkRequest&) = delete;

    // Asks for a network that reaches destination (the transport passes "tarnwick://" followed by
    // the host name). Any earlier request is released first. Returns 0 or a failure code.
    int Request(std::u16string_view destination, int use_proxy);
    // 1 while the request is still being worked on: the status is disconnected or waiting, or
    // connected has not been reported yet.
    int IsPending() const;
    // 1 when the network is up.
    int IsConnected() const;
    // Gives the connection back; a no-op when there is none.
    void Release();

    std::uint32_t Status() const { return status_.load(); }
    // The destination of the last request (empty when none was ever made).
    const std::u16string& Destination() const { return destination_; }
    int UseProxy() const { return use_proxy_; }

  private:
    std::u16string destination_;
    std::atomic<std::uint32_t> status_{kStatusDisconnected};
    std::atomic<int> connected_{0};
    int use_proxy_ = 0;
    bool holds_connection_ = false;
};

}  // namespace tarnwick
