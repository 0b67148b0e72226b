#include "ssl/ssl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/preferences.h"
#include "core/session_config.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/wire.h"
#include "platform/text.h"
#include "platform/user_interface.h"
#include "ssl/certificate_check.h"

namespace tarnwick {

namespace {

struct AlertRow {
    int description;
    const char* text;
};

constexpr AlertRow kAlerts[] = {
    {0, "The server is closing the connection\r\n"},
    {10, "The server received an unexpected message\r\n"},
    {20, "The server received a bad MAC\r\n"},
    {21, "The server reports that decryption failed\r\n"},
    {22, "The server reports that the record overflowed\r\n"},
    {30, "The server's decompression failed\r\n"},
    {40, "Handshake failure\r\n"},
    {41, "No certificate error\r\n"},
    {42, "The server reports that the certificate is bad\r\n"},
    {43, "The server does not support this certificate type\r\n"},
    {44, "The server says this certificate is revoked\r\n"},
    {45, "The server says this certificate is expired\r\n"},
    {46, "The server says this certificate is unknown\r\n"},
    {47, "The server reports an illegal parameter\r\n"},
    {48, "The server reports that the Certificate Authority is unknown\r\n"},
    {49, "The server reports that access is denied\r\n"},
    {50, "The server reports an error while decoding\r\n"},
    {51, "The server reports an error while decrypting\r\n"},
    {60,
     "The server reports that it tried to perform an operation not in compliance with US export "
     "restrictions\r\n"},
    {70, "The server reports an unsupported protocol version\r\n"},
    {71, "The server reports that it requires more secure cipher suites than we can provide\r\n"},
    {80, "The server reports an internal error\r\n"},
    {90, "The server reports that the user cancelled the action\r\n"},
    {100, "The server reports that renegotiation is not available\r\n"},
};

struct MessageName {
    int type;
    const char* name;
};

constexpr MessageName kMessageNames[] = {
    {kHelloRequest, "Hello request"},
    {kClientHello, "Client hello"},
    {kServerHello, "Server hello"},
    {kCertificateMessage, "Certificate"},
    {kServerKeyExchange, "Server key exchange"},
    {kCertificateRequest, "Certificate request"},
    {kServerHelloDone, "Server hello done"},
    {kCertificateVerify, "Certificate verify"},
    {kClientKeyExchange, "Client key exchange"},
    {kFinished, "Finished"},
};

const char* MessageNameOf(int type) {
    for (const MessageName& row : kMessageNames) {
        if (row.type == type) return row.name;
    }
    return nullptr;
}

std::string Quoted(int type) {
    const char* name = MessageNameOf(type);
    return name != nullptr ? std::string("a ") + name + " message"
                           : "a message of unknown type " + std::to_string(type);
}

// The handshake message header: type and 24-bit length.
std::string HandshakeMessage(std::uint8_t type, std::string_view body) {
    std::string message;
    WireWriter(message).Byte(type).String24(body);
    return message;
}

}  // namespace

const char* SSLAlertText(int description) {
    for (const AlertRow& row : kAlerts) {
        if (row.description == description) return row.text;
    }
    return nullptr;
}

IO_SSL::IO_SSL() : IO(kLayerSSL, "SSL") {}

IO_SSL::~IO_SSL() = default;

bool IO_SSL::DebugOn() const {
    return config_ != nullptr && config_->GetInt(setting::debug) != 0;
}

void IO_SSL::Show(std::string_view text) {
    DisplayUp(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()));
}

void IO_SSL::Debug(std::string_view text) {
    if (DebugOn()) Show(text);
}

int IO_SSL::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

void IO_SSL::ResetConnection() {
    complete_.store(false);
    suite_ = nullptr;
    session_id_.clear();
    compression_ = 0;
    master_secret_.clear();
    key_block_.clear();
    handshake_md5_.Init();
    handshake_sha1_.Init();
    certificate_.Reset();
    pending_.Reset();
    read_.Reset();
    handshake_buffer_.clear();
    LockHolder hold(write_lock_);
    write_.Reset();
    held_.clear();
    outgoing_.clear();
}

int IO_SSL::Open(SessionConfig* config) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    const State state = state_.load();
    if (state != State::kIdle && state != State::kEnded) return status::kAlreadyOpen;
    AttachConfig(config);
    Ui().SetWaitCursor(true);
    int result = lower_->Open(config);
    if (result == status::kOk || result == status::kAlreadyOpen) {
        ResetConnection();
        state_.store(State::kExpectServerHello);
        if (SendClientHello() != status::kOk) {
            Debug("SendClientHello failed\r\n");
            state_.store(State::kEnded);
            lower_->Close();
            result = status::kProtocolError;
        } else {
            // An open lower layer (the STARTTLS proxy turns TLS on over its open connection)
            // is what this layer needs.
            result = status::kOk;
        }
    }
    Ui().SetWaitCursor(false);
    return result;
}

void IO_SSL::Close() {
    state_.store(State::kEnded);
    complete_.store(false);
    if (lower_ != nullptr) lower_->Close();
    Ui().SetWaitCursor(false);
}

int IO_SSL::IsLinkUp() {
    if (complete_.load()) return 1;
    return lower_ != nullptr && lower_->IsLinkUp() ? 1 : 0;
}

int IO_SSL::IsConnected() {
    if (!complete_.load()) return 0;
    return lower_ == nullptr || lower_->IsConnected() ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Sending

int IO_SSL::WriteRecordsLocked(std::uint8_t type, const std::uint8_t* data, std::size_t length) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    // Records of at most 2^14 bytes, as RFC 2246 requires; a few at a time go down in one send.
    constexpr std::size_t kBatch = 4 * kSSLMaxPlaintext;
    std::size_t at = 0;
    do {
        outgoing_.clear();
        const std::size_t batch_end = std::min(length, at + kBatch);
        do {
            const std::size_t n = std::min<std::size_t>(batch_end - at, kSSLMaxPlaintext);
            write_.Seal(type, data + at, n, &outgoing_);
            at += n;
        } while (at < batch_end);
        const int result = lower_->Send(reinterpret_cast<const std::uint8_t*>(outgoing_.data()),
                                        static_cast<int>(outgoing_.size()));
        if (result != status::kOk) return result;
    } while (at < length);
    return status::kOk;
}

int IO_SSL::WriteRecords(std::uint8_t type, const std::uint8_t* data, std::size_t length) {
    LockHolder hold(write_lock_);
    return WriteRecordsLocked(type, data, length);
}

int IO_SSL::Send(const std::uint8_t* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) return status::kNothingToDo;
    if (length == 0) return status::kOk;
    LockHolder hold(write_lock_);
    const State state = state_.load();
    if (state == State::kIdle || state == State::kEnded) return status::kNotConnected;
    if (!complete_.load()) {
        // Held until the handshake is complete, then sent in order before anything newer.
        if (held_.size() + static_cast<std::size_t>(length) > kMaxHeldBytes) {
            return status::kOutOfMemory;
        }
        held_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        return status::kOk;
    }
    return WriteRecordsLocked(kSSLApplicationData, data, static_cast<std::size_t>(length));
}

int IO_SSL::SendClientHello() {
    RandomGenerator::Global().Fill(client_random_, sizeof client_random_);
    std::string body;
    WireWriter writer(body);
    writer.Byte(3).Byte(1);
    writer.Bytes(client_random_, sizeof client_random_);
    writer.Byte(0);  // no session id: sessions are never resumed
    writer.Uint16(4).Uint16(kSuiteDesCbcSha).Uint16(kSuite3DesEdeCbcSha);
    writer.Byte(1).Byte(0);  // compression: null only
    const std::string message = HandshakeMessage(kClientHello, body);
    HashHandshake(message);
    const int result = WriteRecords(
        kSSLHandshake, reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
    if (result != status::kOk) Debug("Failed to send intro packet\r\n");
    return result;
}

int IO_SSL::SendClientFlight() {
    // ClientKeyExchange: the premaster secret (the version offered, then 46 random bytes)
    // encrypted with the server's RSA key.
    SecureBytes premaster(kTlsMasterSecretSize);
    premaster[0] = 3;
    premaster[1] = 1;
    RandomGenerator::Global().Fill(premaster.data() + 2, premaster.size() - 2);
    const std::size_t k = certificate_.modulus.ByteLength();
    std::string encrypted(k, '\0');
    if (!RsaEncrypt(premaster.data(), premaster.size(), certificate_.exponent, certificate_.modulus,
                    RandomGenerator::Global(), reinterpret_cast<std::uint8_t*>(encrypted.data()),
                    encrypted.size())) {
        Debug("Can't RSA encrypt premaster secret\r\n");
        return Fatal(kAlertInternalError,
                     "The server's RSA key cannot encrypt the key exchange; disconnecting\r\n");
    }
    std::string body;
    WireWriter(body).String16(encrypted);
    const std::string key_exchange = HandshakeMessage(kClientKeyExchange, body);
    HashHandshake(key_exchange);

    master_secret_ =
        TlsMasterSecret(premaster.data(), premaster.size(), client_random_, server_random_);
    key_block_ =
        TlsKeyBlock(master_secret_, client_random_, server_random_, suite_->key_block_size);
    std::uint8_t digests[36];
    HandshakeDigests(digests);
    std::uint8_t verify[kTlsVerifyDataSize];
    TlsFinishedVerifyData(master_secret_, "client finished", digests, verify);
    const std::string finished = HandshakeMessage(
        kFinished, std::string_view(reinterpret_cast<const char*>(verify), sizeof verify));
    // The server's Finished covers the client's.
    HashHandshake(finished);

    Debug("Sending ClientKeyExchange\r\n");
    int result;
    {
        LockHolder hold(write_lock_);
        result = WriteRecordsLocked(kSSLHandshake,
                                    reinterpret_cast<const std::uint8_t*>(key_exchange.data()),
                                    key_exchange.size());
        if (result == status::kOk) {
            const std::uint8_t change = 1;
            result = WriteRecordsLocked(kSSLChangeCipherSpec, &change, 1);
            if (result == status::kOk && !write_.Activate(*suite_, key_block_, true, true)) {
                result = status::kProtocolError;
            }
        }
        if (result == status::kOk) {
            result = WriteRecordsLocked(kSSLHandshake,
                                        reinterpret_cast<const std::uint8_t*>(finished.data()),
                                        finished.size());
        }
    }
    if (result != status::kOk) {
        Debug("Failed to send packet\r\n");
        return Fatal(-1, "The connection failed while sending the key exchange\r\n");
    }
    Debug("Sending ChangeCipherSpec\r\n");
    Debug("Sending 'finished' packet\r\n");
    state_.store(State::kExpectChangeCipherSpec);
    return status::kOk;
}

// ---------------------------------------------------------------------------------------------
// Receiving

int IO_SSL::Fatal(int alert, std::string_view text) {
    if (!text.empty()) Show(text);
    if (alert >= 0 && lower_ != nullptr && lower_->IsConnected()) {
        const std::uint8_t body[2] = {2, static_cast<std::uint8_t>(alert)};
        (void)WriteRecords(kSSLAlert, body, sizeof body);
    }
    Close();
    return status::kNotConnected;
}

int IO_SSL::Receive(const std::uint8_t* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) return status::kNothingToDo;
    std::size_t at = 0;
    const std::size_t total = static_cast<std::size_t>(length);
    while (at < total) {
        const State state = state_.load();
        if (state == State::kIdle || state == State::kEnded) return status::kNotConnected;
        std::size_t used = 0;
        const std::uint32_t limit = read_.Active() ? kSSLMaxCiphertext : kSSLMaxPlaintext;
        const SSLPacket::Collect collected = pending_.Take(data + at, total - at, limit, &used);
        at += used;
        if (collected == SSLPacket::Collect::kNeedMore) break;
        if (collected == SSLPacket::Collect::kNotRecord) {
            return Fatal(kAlertDecodeError,
                         "The server sent something that is not a TLS record; disconnecting\r\n");
        }
        if (collected == SSLPacket::Collect::kTooLong) {
            return Fatal(kAlertRecordOverflow,
                         "The server sent a record longer than TLS allows; disconnecting\r\n");
        }
        const int result = ProcessRecord(pending_);
        // What the user's programs said stays in memory no longer than it must.
        if (pending_.RecordType() == kSSLApplicationData) {
            SecureWipe(pending_.Body(), pending_.BodyLength());
        }
        pending_.Reset();
        if (result != status::kOk) return result;
    }
    return status::kOk;
}

int IO_SSL::ProcessRecord(SSLPacket& record) {
    if (!read_.Open(record)) return Fatal(kAlertBadRecordMac, "Corrupted hash from server\r\n");
    const std::uint8_t* body = record.Body();
    const std::size_t length = record.BodyLength();
    switch (record.RecordType()) {
        case kSSLChangeCipherSpec:
            return OnChangeCipherSpec(body, length);
        case kSSLAlert:
            return OnAlert(body, length);
        case kSSLHandshake:
            return OnHandshakeRecord(body, length);
        case kSSLApplicationData:
            if (state_.load() != State::kEstablished) {
                return Fatal(kAlertUnexpectedMessage,
                             "The server sent data before the handshake was complete; "
                             "disconnecting\r\n");
            }
            if (length == 0 || upper_ == nullptr) return status::kOk;
            return upper_->Receive(body, static_cast<int>(length));
        default:
            break;
    }
    char line[64];
    std::snprintf(line, sizeof line, "Unhandled packet type %d.\r\n", record.RecordType());
    return Fatal(kAlertUnexpectedMessage, line);
}

int IO_SSL::OnChangeCipherSpec(const std::uint8_t* body, std::size_t length) {
    if (state_.load() != State::kExpectChangeCipherSpec || !handshake_buffer_.empty()) {
        return Fatal(kAlertUnexpectedMessage,
                     "The server sent a ChangeCipherSpec out of turn; disconnecting\r\n");
    }
    if (length != 1 || body[0] != 1) {
        return Fatal(kAlertDecodeError,
                     "The server sent a malformed ChangeCipherSpec; disconnecting\r\n");
    }
    if (!read_.Activate(*suite_, key_block_, false, false)) {
        return Fatal(kAlertInternalError, "The server's keys cannot be set up; disconnecting\r\n");
    }
    state_.store(State::kExpectFinished);
    return status::kOk;
}

int IO_SSL::OnAlert(const std::uint8_t* body, std::size_t length) {
    if (length != 2) {
        return Fatal(kAlertDecodeError, "The server sent a malformed alert; disconnecting\r\n");
    }
    char line[80];
    std::snprintf(line, sizeof line, "Level code %d.\r\n", body[0]);
    Debug(line);
    Show("ALERT: ");
    if (const char* text = SSLAlertText(body[1])) {
        Show(text);
    } else {
        std::snprintf(line, sizeof line, "The server returned an unknown error code (%d)\r\n",
                      body[1]);
        Show(line);
    }
    Show("Alert is fatal; terminating\r\n");
    Close();
    return status::kNotConnected;
}

int IO_SSL::OnHandshakeRecord(const std::uint8_t* body, std::size_t length) {
    // RFC 2246 6.2.1: handshake fragments are never empty.
    if (length == 0) {
        return Fatal(kAlertUnexpectedMessage,
                     "The server sent an empty handshake record; disconnecting\r\n");
    }
    handshake_buffer_.append(reinterpret_cast<const char*>(body), length);
    // Several messages may share a record, and one message may span several.
    std::size_t at = 0;
    int result = status::kOk;
    while (handshake_buffer_.size() - at >= 4) {
        WireReader header(handshake_buffer_.data() + at, 4);
        const std::uint8_t type = header.Byte();
        const std::uint32_t message_length = header.Uint24();
        if (message_length > kMaxHandshakeMessage) {
            handshake_buffer_.clear();
            return Fatal(kAlertDecodeError, "The server sent " + Quoted(type) +
                                                " longer than this version accepts; "
                                                "disconnecting\r\n");
        }
        if (handshake_buffer_.size() - at < 4 + message_length) break;
        const std::string message = handshake_buffer_.substr(at, 4 + message_length);
        at += 4 + message_length;
        result = OnHandshakeMessage(type, message);
        if (result != status::kOk) break;
    }
    if (result != status::kOk) {
        handshake_buffer_.clear();
        return result;
    }
    handshake_buffer_.erase(0, at);
    return status::kOk;
}

int IO_SSL::OnHandshakeMessage(std::uint8_t type, std::string_view message) {
    Debug("Received packet type: ");
    const char* name = MessageNameOf(type);
    Debug(name != nullptr ? std::string(name) + "\r\n" : "Unknown; unable to parse\r\n");
    const std::string_view body = message.substr(4);
    // RFC 2246 7.4.1.1: a HelloRequest is not part of the handshake and may be ignored, which a
    // client that never renegotiates does.
    if (type == kHelloRequest && body.empty()) return status::kOk;

    int expected = -1;
    switch (state_.load()) {
        case State::kExpectServerHello:
            expected = kServerHello;
            break;
        case State::kExpectCertificate:
            expected = kCertificateMessage;
            break;
        case State::kExpectServerHelloDone:
            expected = kServerHelloDone;
            break;
        case State::kExpectFinished:
            expected = kFinished;
            break;
        default:
            break;
    }
    if (type != expected) {
        if (type == kCertificateRequest && expected == kServerHelloDone) {
            return Fatal(kAlertHandshakeFailure,
                         "The server asks for a client certificate, which this version cannot "
                         "send; disconnecting\r\n");
        }
        if (expected < 0) {
            return Fatal(kAlertUnexpectedMessage,
                         "The server sent " + Quoted(type) + " out of turn; disconnecting\r\n");
        }
        return Fatal(kAlertUnexpectedMessage, "The server sent " + Quoted(type) + " where " +
                                                  Quoted(expected) +
                                                  " was expected; disconnecting\r\n");
    }
    // The Finished message is checked against the digest of everything before it.
    if (type != kFinished) HashHandshake(message);
    switch (type) {
        case kServerHello:
            return OnServerHello(body);
        case kCertificateMessage:
            return OnCertificate(body);
        case kServerHelloDone:
            return OnServerHelloDone(body);
        default:
            return OnFinished(body);
    }
}

int IO_SSL::OnServerHello(std::string_view body) {
    WireReader reader(body);
    const std::uint8_t major = reader.Byte();
    const std::uint8_t minor = reader.Byte();
    const std::string_view random = reader.Bytes(kTlsRandomSize);
    const std::string_view session_id = reader.String8();
    const std::uint16_t suite = reader.Uint16();
    const std::uint8_t compression = reader.Byte();
    // Extensions: none were offered, but a block that is well formed does no harm.
    if (!reader.failed() && reader.left() > 0) reader.String16();
    if (!reader.done() || session_id.size() > 32) {
        return Fatal(kAlertDecodeError,
                     "The server sent a malformed Server hello message; disconnecting\r\n");
    }
    if (major != 3 || minor != 1) {
        char line[120];
        std::snprintf(line, sizeof line,
                      "The server chose protocol version %d.%d; this version speaks only TLS "
                      "1.0 (3.1); disconnecting\r\n",
                      major, minor);
        return Fatal(kAlertProtocolVersion, line);
    }
    suite_ = FindCipherSuite(suite);
    if (suite_ == nullptr) {
        char line[100];
        std::snprintf(line, sizeof line,
                      "The server chose cipher suite 0x%04X, which was not offered; "
                      "disconnecting\r\n",
                      suite);
        return Fatal(kAlertIllegalParameter, line);
    }
    if (compression != 0) {
        return Fatal(kAlertIllegalParameter,
                     "The server chose a compression method that was not offered; "
                     "disconnecting\r\n");
    }
    std::memcpy(server_random_, random.data(), kTlsRandomSize);
    session_id_.assign(session_id);
    compression_ = compression;
    state_.store(State::kExpectCertificate);
    return status::kOk;
}

int IO_SSL::OnCertificate(std::string_view body) {
    WireReader reader(body);
    WireReader list(reader.String24());
    const std::string_view first = list.String24();
    // Only the server's own certificate is read; the rest of a chain is passed over.
    while (!list.failed() && list.left() > 0)
        list.String24();
    if (!reader.done() || !list.done()) {
        return Fatal(kAlertDecodeError,
                     "The server sent a malformed Certificate message; disconnecting\r\n");
    }
    if (first.empty()) {
        return Fatal(kAlertHandshakeFailure, "The server sent no certificate; disconnecting\r\n");
    }
    if (certificate_.Parse(reinterpret_cast<const std::uint8_t*>(first.data()), first.size()) !=
        0) {
        Debug("Unable to parse/validate certificate from server; disconnecting.\r\n");
        return Fatal(kAlertUnsupportedCertificate,
                     "The server's certificate " + certificate_.Problem() + "; disconnecting.\r\n");
    }
    ServerCheckContext context;
    const char* host = config_ != nullptr ? config_->GetNarrow(setting::hostname) : nullptr;
    context.host = host != nullptr ? host : "";
    context.ca_folder = Utf16ToUtf8(Preferences::Instance().GetWide(pref::CAPath));
    context.now = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    context.debug = DebugOn();
    context.show = [this](std::string_view text) { Show(text); };
    if (!CheckServerCertificate(certificate_, context)) {
        // The user said no; that needs no further words.
        return Fatal(kAlertCertificateUnknown, "");
    }
    state_.store(State::kExpectServerHelloDone);
    return status::kOk;
}

int IO_SSL::OnServerHelloDone(std::string_view body) {
    if (!body.empty()) {
        return Fatal(kAlertDecodeError,
                     "The server sent a malformed Server hello done message; disconnecting\r\n");
    }
    return SendClientFlight();
}

int IO_SSL::OnFinished(std::string_view body) {
    std::uint8_t digests[36];
    HandshakeDigests(digests);
    std::uint8_t expected[kTlsVerifyDataSize];
    TlsFinishedVerifyData(master_secret_, "server finished", digests, expected);
    const bool match = body.size() == kTlsVerifyDataSize &&
                       ConstantTimeEqual(expected, body.data(), kTlsVerifyDataSize) == 1;
    SecureWipe(expected, sizeof expected);
    if (!match) {
        return Fatal(kAlertDecryptError,
                     "The server's Finished message does not match the handshake; "
                     "disconnecting\r\n");
    }
    Ui().SetWaitCursor(false);
    int result;
    {
        // What the upper layer sent meanwhile goes first, before anything it sends from now on.
        LockHolder hold(write_lock_);
        result = held_.empty()
                     ? status::kOk
                     : WriteRecordsLocked(kSSLApplicationData,
                                          reinterpret_cast<const std::uint8_t*>(held_.data()),
                                          held_.size());
        SecureWipe(held_.data(), held_.size());
        held_.clear();
        if (result == status::kOk) {
            state_.store(State::kEstablished);
            complete_.store(true);
        }
    }
    if (result != status::kOk) return Fatal(-1, "The connection failed\r\n");
    Debug(std::string("Connected with TLS 1.0, ") + suite_->name + "\r\n");
    return status::kOk;
}

void IO_SSL::HashHandshake(std::string_view message) {
    handshake_md5_.Update(message.data(), message.size());
    handshake_sha1_.Update(message.data(), message.size());
}

void IO_SSL::HandshakeDigests(std::uint8_t out[36]) const {
    CMD5 md5 = handshake_md5_;
    CSHA1 sha1 = handshake_sha1_;
    md5.Final(out);
    sha1.Final(out + 16);
}

}  // namespace tarnwick
