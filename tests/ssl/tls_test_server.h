// An in-memory TLS 1.0 server for the client's tests, built on the client's own record layer and
// PRF, with OpenSSL for the RSA private key. It sits below IO_SSL in the transport's place: what
// the client sends is processed at once, and what the server writes waits until the test hands it
// up with Deliver (whole, or in pieces of any size). Besides the ordinary handshake (either
// suite) it can pack, split, reorder and corrupt what it sends, so each rule of the client can be
// broken on purpose. It is the peer of suite 0x0009 (single DES), which no server on Debian
// offers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/io.h"
#include "crypto/md5.h"
#include "crypto/secure.h"
#include "crypto/sha1.h"
#include "ssl/ssl_prf.h"
#include "ssl/ssl_record.h"

namespace tarnwick::testing {

class TlsTestServer : public IO {
  public:
    enum class Packing {
        kRecordPerMessage,  // ServerHello, Certificate, ServerHelloDone: a record each
        kOneRecord,         // all three in one record
        kFragments,         // the three cut into records of fragment_size bytes
    };

    struct Options {
        std::string certificate_der;     // the server's certificate
        std::vector<std::string> chain;  // further certificates after it
        std::string key_pem;             // path of the certificate's private key
        std::uint16_t suite = 0;         // 0: the client's last offer (triple DES)
        std::uint8_t version_major = 3;  // ServerHello's version
        std::uint8_t version_minor = 1;
        Packing packing = Packing::kRecordPerMessage;
        std::size_t fragment_size = 1;
        // Handshake messages (header included) sent just before ServerHelloDone.
        std::vector<std::string> before_done;
        bool certificate_first = false;  // Certificate before ServerHello
        bool corrupt_finished = false;   // a wrong byte in the server's verify data
        // When set, answers application data; otherwise it goes back as it came.
        std::function<std::string(std::string_view)> respond;
        // Plain text first (a STARTTLS exchange): records are expected only after BeginTls.
        bool starts_plain = false;
    };

    explicit TlsTestServer(Options options);
    ~TlsTestServer() override;

    int Open(SessionConfig* config) override;
    void Close() override;
    int IsLinkUp() override { return connected_ ? 1 : 0; }
    int IsConnected() override { return connected_ ? 1 : 0; }
    int Send(const std::uint8_t* data, int length) override;
    int Receive(const std::uint8_t*, int) override { return status::kNotSupported; }
    int Display(const std::uint8_t* data, int length) override { return DisplayUp(data, length); }

    // Hands what the server has written to the layer above: in pieces of piece bytes (0: all at
    // once). Returns the first nonzero status of its Receive, else 0.
    int Deliver(std::size_t piece = 0);
    std::size_t Waiting() const { return to_client_.size(); }
    const std::string& WaitingBytes() const { return to_client_; }
    std::string TakeWaiting() { return std::exchange(to_client_, std::string()); }

    // After the handshake: records protected with the server's write state.
    void SendRecord(std::uint8_t type, std::string_view body);
    void SendApplicationData(std::string_view text) { SendRecord(kSSLApplicationData, text); }
    void SendAlert(std::uint8_t level, std::uint8_t description);
    void SendRaw(std::string_view bytes) { to_client_.append(bytes); }
    // A record whose MAC is right and whose padding is not (its bytes disagree with its length
    // byte), encrypted apart from the record layer with OpenSSL's DES.
    void SendBadPaddingRecord(std::string_view text);
    // Flips one bit of the byte at this offset of what waits for the client.
    void FlipWaitingByte(std::size_t offset);

    // Plain text before TLS: what the client sent, and the switch to records.
    const std::string& plain_received() const { return plain_received_; }
    void BeginTls() { plain_ = false; }

    bool handshake_done() const { return handshake_done_; }
    bool client_finished_ok() const { return client_finished_ok_; }
    // Application data from the client, in order.
    const std::string& received() const { return received_; }
    const std::string& client_hello() const { return client_hello_; }
    // The last alert from the client (level << 8 | description), -1 for none.
    int client_alert() const { return client_alert_; }
    bool closed() const { return !connected_; }

  private:
    void ProcessRecord(SSLPacket& record);
    void OnHandshake(std::string_view message);
    void SendFlight();
    void SendFinished();
    void Hash(std::string_view message);
    // MD5 and SHA-1 of the handshake so far.
    void Digests(std::uint8_t out[36]) const;
    Options options_;
    bool connected_ = false;
    std::string to_client_;
    SSLPacket pending_;
    SSLCipherState read_;
    SSLCipherState write_;
    const SSLCipherSuite* suite_ = nullptr;
    std::uint8_t client_random_[kTlsRandomSize] = {};
    std::uint8_t server_random_[kTlsRandomSize] = {};
    SecureBytes master_;
    SecureBytes key_block_;
    CMD5 md5_;
    CSHA1 sha1_;
    std::string handshake_;  // handshake bytes not yet a whole message
    std::string client_hello_;
    std::string received_;
    std::string last_block_;  // the last 8 ciphertext bytes written: the next record's IV
    bool plain_ = false;
    std::string plain_received_;
    bool handshake_done_ = false;
    bool client_finished_ok_ = false;
    int client_alert_ = -1;
};

// A handshake message: type, 24-bit length, body.
std::string HandshakeMessage(std::uint8_t type, std::string_view body);

}  // namespace tarnwick::testing
