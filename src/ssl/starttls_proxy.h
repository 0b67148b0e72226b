// IO_STARTTLSProxy (type 14, "STARTTLS Proxy"): lets a local mail client that speaks plain SMTP,
// POP3 or IMAP reach a server over TLS. It sits between a port-forward worker above and the
// TCP/IP transport below: the server's greeting goes up to the client, the proxy itself sends the
// protocol's STARTTLS command, and once the server agrees it inserts an IO_SSL below itself.
// The client never sees the STARTTLS exchange and its bytes reach the server only inside TLS.
//
// A greeting or answer is read to its last line first (SMTP "220-" continuation lines, IMAP
// untagged lines before the tagged answer). Bytes the server sends after its positive answer and
// before the handshake would be a plaintext injection: they end the connection, as does a
// refused greeting or answer (status 16).
//
// Threads: Receive runs on the user-interface thread; Send on the worker's reader thread, which
// waits for IsConnected, which is false until TLS is up, so the client's first commands wait in
// its socket. The send lock serialises the held data, the send path and the insertion of TLS.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/io.h"
#include "platform/lock.h"

namespace tarnwick {

class IO_SSL;

class IO_STARTTLSProxy : public IO {
  public:
    // tls_proxy_type values.
    enum Protocol : int { kSmtp = 0, kPop3 = 1, kImap = 2 };
    // A greeting or answer longer than this is not a mail server's.
    static constexpr std::size_t kMaxReply = 16 * 1024;
    // Client bytes held before TLS is up.
    static constexpr std::size_t kMaxPending = 64 * 1024;

    IO_STARTTLSProxy();
    ~IO_STARTTLSProxy() override;

    // Forwards Open to the lower layer (14 without one).
    [[nodiscard]] int Open(SessionConfig* config) override;
    void Close() override;
    int IsLinkUp() override;
    // True once TLS is up (the handshake complete) and the connection below is.
    int IsConnected() override;
    int Display(const std::uint8_t* data, int length) override;
    // Data from the server: the greeting, the answer to STARTTLS, then (through TLS) the session.
    int Receive(const std::uint8_t* data, int length) override;
    // Data from the local client: held until TLS is active (13 beyond kMaxPending), then sent
    // through it. With no bytes it sends what is held.
    int Send(const std::uint8_t* data, int length) override;

    bool TlsActive() const { return tls_active_.load(); }

  private:
    enum class Phase { kGreeting, kAnswer, kTls, kRefused };

    // True when reply_ holds a whole greeting or answer; *end receives its length.
    bool ReplyComplete(std::size_t* end) const;
    int OnGreeting(std::string_view reply);
    int OnAnswer(std::string_view reply);
    int Refuse(const std::string& what, std::string_view reply);
    int StartTls();
    // Sends the held bytes below; the send lock must be held.
    int FlushLocked();
    int Protocol() const;

    Phase phase_ = Phase::kGreeting;
    std::string reply_;  // server text of the greeting or answer so far
    std::atomic<bool> tls_active_{false};
    std::atomic<IO_SSL*> ssl_{nullptr};
    Lock send_lock_;
    std::string pending_;  // client bytes not yet sent
};

}  // namespace tarnwick
