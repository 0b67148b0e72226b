// Test access to IO_SSH2: puts a layer where a completed key exchange and login leave it, with
// keys the test chooses, so that tests and fuzz targets reach the dispatcher directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "ssh/ssh2.h"

namespace tarnwick {

struct SSH2TestAccess {
    // The layer must be open. Incoming packets are then read with the given keys (nullptr:
    // none), the user is logged in, and (with interactive) the session channel is open with the
    // server's number 0 and a large window.
    static void AfterLogin(IO_SSH2& ssh, std::unique_ptr<Encryptor> cipher,
                           std::unique_ptr<HMAC> mac, bool interactive) {
        ssh.v_c_ = "SSH-2.0-Tarnwick2.06";
        ssh.v_s_ = "SSH-2.0-Fuzz";
        ssh.framing_.SetIncoming(std::move(cipher), std::move(mac));
        ssh.first_kex_done_ = true;
        ssh.have_session_id_ = true;
        ssh.auth_started_ = true;
        ssh.authenticated_ = true;
        ssh.cipher_id_ = 3;
        ssh.mac_id_ = 0;
        ssh.hostkey_id_ = 0;
        if (interactive) {
            ssh.session_channel_ = std::make_unique<SSH2Channel>(&ssh, ssh.NextChannelId(),
                                                                 SSH2Channel::kCloseEndsSession);
            ssh.session_channel_->Confirm(0, 1u << 20, 32768);
            ssh.session_channel_->OnOpened();
            ssh.has_session_channel_.store(true);
            ssh.session_requests_sent_ = true;
        }
        {
            LockHolder hold(ssh.send_lock_);
            ssh.last_kex_time_ = std::chrono::steady_clock::now();
        }
        ssh.state_.store(IO_SSH2::kConnected);
    }

    // A re-key once this much has passed either way, or this long after the last exchange.
    static void SetRekeyLimits(IO_SSH2& ssh, std::uint64_t bytes,
                               std::chrono::steady_clock::duration interval) {
        LockHolder hold(ssh.send_lock_);
        ssh.rekey_bytes_ = bytes;
        ssh.rekey_interval_ = interval;
    }

    // The private exponent of the exchange under way (0 when there is none).
    static int ExponentBits(IO_SSH2& ssh) { return ssh.x_.BitLength(); }

    // Makes the negotiated cipher one that cannot be set up.
    static void BreakCipher(IO_SSH2& ssh) { ssh.cipher_id_ = 99; }
};

}  // namespace tarnwick
