// Test access to IO_SSH1: puts an open layer where a completed key exchange leaves it, with both
// directions encrypted under a session key the test chooses, so that tests and fuzz targets can
// play the server from any later state. And a stand-in for the terminal at the top of the chain
// that records what comes up and reports the type and size a test sets.
#pragma once

#include "ssh/ssh1.h"
#include "support/recording_layer.h"

namespace tarnwick {

struct SSH1TestAccess {
    static void AfterKeyExchange(IO_SSH1& ssh, int cipher, const std::uint8_t* session_key,
                                 int state) {
        ssh.framing_.SetOutgoing(ssh1::MakeCipher(cipher, true, session_key));
        ssh.framing_.SetIncoming(ssh1::MakeCipher(cipher, false, session_key));
        ssh.state_.store(state);
    }
};

class TerminalStandIn : public testing::RecordingLayer {
  public:
    explicit TerminalStandIn(TerminalFacts facts = {})
        : RecordingLayer(kLayerVT, "VT"), facts_(std::move(facts)) {}
    bool QueryTerminal(TerminalFacts* facts) override {
        *facts = facts_;
        return true;
    }

  private:
    TerminalFacts facts_;
};

}  // namespace tarnwick
