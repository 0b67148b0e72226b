// What the session list does for a chain of layers a test builds by hand: each "data arrived" of
// the transport pumps the chain on the user-interface thread (played by the test's event loop),
// and a pump that fails ends the session and closes the chain.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>

#include "core/io.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/ui_dispatcher.h"

namespace tarnwick::testing {

class ChainDriver {
  public:
    // loop is only kept here: it may be a member of the derived client, made after this base.
    explicit ChainDriver(EventLoop& loop) : loop_(loop) {}
    virtual ~ChainDriver() = default;
    ChainDriver(const ChainDriver&) = delete;
    ChainDriver& operator=(const ChainDriver&) = delete;

    // Runs the event loop until the predicate holds, the session ended, or the time is up.
    bool RunUntil(const std::function<bool()>& predicate,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        return loop_.RunUntil([&] { return predicate() || ended; }, limit) && predicate();
    }

    std::atomic<bool> ended{false};
    int end_status = 0;
    int pumps = 0;

  protected:
    void DriveFrom(SessionConfig& config) {
        config.SetSessionCallback(&ChainDriver::OnDataArrived, this);
    }
    // Closes the chain from its top once the session is over.
    virtual void CloseChain() = 0;

  private:
    static void OnDataArrived(void* context, IO* transport) {
        auto* self = static_cast<ChainDriver*>(context);
        UiDispatcher::Instance().RunAndWait([self, transport] {
            if (self->ended) return;
            ++self->pumps;
            const int result = transport->Pump();
            if (result != 0) {
                self->end_status = result;
                self->ended = true;
                self->CloseChain();
            }
        });
    }

    EventLoop& loop_;
};

}  // namespace tarnwick::testing
