#include "transport/network_request.h"

namespace tarnwick {

NetworkRequest::~NetworkRequest() {
    Release();
}

int NetworkRequest::Request(std::u16string_view destination, int use_proxy) {
    destination_.assign(destination);
    use_proxy_ = use_proxy;
    Release();
    // The system routes to every destination with the networks it has configured; there is no
    // network to bring up first.
    holds_connection_ = true;
    status_.store(kStatusConnected);
    connected_.store(1);
    return 0;
}

int NetworkRequest::IsPending() const {
    std::uint32_t status = status_.load();
    if (status == kStatusDisconnected || (status & kStatusWaitingBit) != 0) return 1;
    return connected_.load() == 0 ? 1 : 0;
}

int NetworkRequest::IsConnected() const {
    return status_.load() == kStatusConnected ? 1 : 0;
}

void NetworkRequest::Release() {
    if (!holds_connection_) return;
    holds_connection_ = false;
    status_.store(kStatusDisconnected);
    connected_.store(0);
}

}  // namespace tarnwick
