// IO_SSL: a TLS 1.0 client (RFC 2246) as one layer of a session chain (type 6, "SSL"). Below it
// is a TCP/IP transport; above it the terminal, the Telnet layer, a port-forward worker or the
// STARTTLS proxy. It offers RSA key exchange with DES-CBC-SHA (0x0009) and DES-CBC3-SHA
// (0x000A), checks the server's certificate, and then carries the upper layer's bytes in
// encrypted, MACed records. No session resumption, no client certificates, no renegotiation.
//
// The handshake follows one order only: ServerHello, Certificate, ServerHelloDone; the client's
// ClientKeyExchange, ChangeCipherSpec and Finished; the server's ChangeCipherSpec and Finished,
// whose verify data must match. Handshake messages are reassembled across records and several
// may share a record. Once the server's ChangeCipherSpec has arrived every record must carry a
// valid MAC and padding. Anything else ends the connection with a fatal alert to the server and
// a line that tells the user why.
//
// Threads: Open, Close and Receive run on the user-interface thread (the handshake records are
// sent from there); Send may come from any thread (a transfer worker, a port-forward worker).
// The write lock makes each record write (sequence number, MAC, encryption, the send below)
// atomic. Bytes sent before the handshake is complete are held, up to kMaxHeldBytes, and sent
// in order as soon as it is.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/io.h"
#include "crypto/md5.h"
#include "crypto/secure.h"
#include "crypto/sha1.h"
#include "platform/lock.h"
#include "ssl/certificate.h"
#include "ssl/ssl_prf.h"
#include "ssl/ssl_record.h"

namespace tarnwick {

struct SSLTestAccess;

// Handshake message types.
enum SSLHandshakeType : std::uint8_t {
    kHelloRequest = 0,
    kClientHello = 1,
    kServerHello = 2,
    kCertificateMessage = 11,
    kServerKeyExchange = 12,
    kCertificateRequest = 13,
    kServerHelloDone = 14,
    kCertificateVerify = 15,
    kClientKeyExchange = 16,
    kFinished = 20,
};

// Alert descriptions the client sends.
enum SSLAlert : std::uint8_t {
    kAlertCloseNotify = 0,
    kAlertUnexpectedMessage = 10,
    kAlertBadRecordMac = 20,
    kAlertRecordOverflow = 22,
    kAlertHandshakeFailure = 40,
    kAlertBadCertificate = 42,
    kAlertUnsupportedCertificate = 43,
    kAlertCertificateUnknown = 46,
    kAlertIllegalParameter = 47,
    kAlertDecodeError = 50,
    kAlertDecryptError = 51,
    kAlertProtocolVersion = 70,
    kAlertInternalError = 80,
};

// The text shown for a server's alert description (with its line end), or nullptr when the
// description is not one of TLS 1.0's.
const char* SSLAlertText(int description);

class IO_SSL : public IO {
  public:
    // Bytes the upper layer may send before the handshake is complete.
    static constexpr std::size_t kMaxHeldBytes = 64 * 1024;
    // Handshake messages longer than this are refused (certificate chains stay far below).
    static constexpr std::uint32_t kMaxHandshakeMessage = 256 * 1024;

    IO_SSL();
    ~IO_SSL() override;

    // Opens the lower layer and sends ClientHello. 14 without a lower layer, 16 when ClientHello
    // cannot be sent, 7 when a handshake already runs, else the lower layer's status.
    [[nodiscard]] int Open(SessionConfig* config) override;
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    // Application data: split into records of at most 16 384 bytes. Before the handshake is
    // complete the bytes are held (13 when that would pass kMaxHeldBytes); after a failure or
    // Close, 11.
    int Send(const std::uint8_t* data, int length) override;
    // Bytes from the transport. 0, or 11 once the connection has ended (for a fault, an alert
    // from the server or a refused certificate; the layer has closed itself).
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;

    bool HandshakeComplete() const { return complete_.load(); }
    // The suite the server chose (0 before ServerHello).
    std::uint16_t CipherSuite() const { return suite_ != nullptr ? suite_->id : 0; }
    const Certificate& ServerCertificate() const { return certificate_; }

  private:
    friend struct SSLTestAccess;

    enum class State {
        kIdle,                    // not opened
        kExpectServerHello,       // ClientHello sent
        kExpectCertificate,       //
        kExpectServerHelloDone,   //
        kExpectChangeCipherSpec,  // the client's flight sent
        kExpectFinished,          // the server's ChangeCipherSpec arrived
        kEstablished,             // the server's Finished checked
        kEnded,                   // a fault, an alert, or Close
    };

    void ResetConnection();
    bool DebugOn() const;
    void Show(std::string_view text);
    void Debug(std::string_view text);
    // Ends the connection: tells the user why (unless text is empty), sends a fatal alert
    // (unless alert is negative), closes. Returns 11 for Receive.
    int Fatal(int alert, std::string_view text);

    int ProcessRecord(SSLPacket& record);
    int OnChangeCipherSpec(const std::uint8_t* body, std::size_t length);
    int OnAlert(const std::uint8_t* body, std::size_t length);
    int OnHandshakeRecord(const std::uint8_t* body, std::size_t length);
    int OnHandshakeMessage(std::uint8_t type, std::string_view message);
    int OnServerHello(std::string_view body);
    int OnCertificate(std::string_view body);
    int OnServerHelloDone(std::string_view body);
    int OnFinished(std::string_view body);

    int SendClientHello();
    int SendClientFlight();
    // Adds a handshake message (header included) to the running digests.
    void HashHandshake(std::string_view message);
    void HandshakeDigests(std::uint8_t out[36]) const;
    // Seals records into a buffer and sends it below; the write lock must be held.
    int WriteRecordsLocked(std::uint8_t type, const std::uint8_t* data, std::size_t length);
    int WriteRecords(std::uint8_t type, const std::uint8_t* data, std::size_t length);

    std::atomic<State> state_{State::kIdle};
    std::atomic<bool> complete_{false};
    const SSLCipherSuite* suite_ = nullptr;
    std::uint8_t client_random_[kTlsRandomSize] = {};
    std::uint8_t server_random_[kTlsRandomSize] = {};
    std::string session_id_;
    std::uint8_t compression_ = 0;
    SecureBytes master_secret_;
    SecureBytes key_block_;
    CMD5 handshake_md5_;
    CSHA1 handshake_sha1_;
    Certificate certificate_;

    // The receiving side, used on the user-interface thread only.
    SSLPacket pending_;
    SSLCipherState read_;
    std::string handshake_buffer_;  // handshake bytes not yet a whole message

    // The sending side, under write_lock_.
    Lock write_lock_;
    SSLCipherState write_;
    std::string held_;      // application data from before the handshake's end
    std::string outgoing_;  // records being built
};

}  // namespace tarnwick
