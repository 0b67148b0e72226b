// Test access to IO_SSH1: puts an open layer where a completed key exchange leaves it, with both
// directions encrypted under a session key the test chooses, so that tests and fuzz targets can
// play the server from any later state.
#pragma once

#include "ssh/ssh1.h"

namespace tarnwick {

struct SSH1TestAccess {
    static void AfterKeyExchange(IO_SSH1& ssh, int cipher, const std::uint8_t* session_key,
                                 int state) {
        ssh.framing_.SetOutgoing(ssh1::MakeCipher(cipher, true, session_key));
        ssh.framing_.SetIncoming(ssh1::MakeCipher(cipher, false, session_key));
        ssh.state_.store(state);
    }
};

}  // namespace tarnwick
