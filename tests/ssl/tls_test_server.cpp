#include "tls_test_server.h"

#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>

#include "crypto/hmac.h"
#include "crypto/random_generator.h"
#include "crypto/wire.h"

namespace tarnwick::testing {

namespace {

// The private key's RSA decryption with PKCS #1 v1.5 padding; empty on failure.
SecureBytes RsaDecrypt(const std::string& key_pem, std::string_view encrypted) {
    SecureBytes plain;
    FILE* file = std::fopen(key_pem.c_str(), "r");
    if (file == nullptr) return plain;
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (key == nullptr) return plain;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(encrypted.data());
    if (context != nullptr && EVP_PKEY_decrypt_init(context) > 0 &&
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) > 0 &&
        EVP_PKEY_decrypt(context, nullptr, &length, in, encrypted.size()) > 0) {
        plain.resize(length);
        if (EVP_PKEY_decrypt(context, plain.data(), &length, in, encrypted.size()) > 0) {
            plain.resize(length);
        } else {
            plain.clear();
        }
    }
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    return plain;
}

}  // namespace

std::string HandshakeMessage(std::uint8_t type, std::string_view body) {
    std::string message;
    WireWriter(message).Byte(type).String24(body);
    return message;
}

TlsTestServer::TlsTestServer(Options options)
    : IO(kLayerTCPIP, "TCP/IP"), options_(std::move(options)), plain_(options_.starts_plain) {}

TlsTestServer::~TlsTestServer() = default;

int TlsTestServer::Open(SessionConfig* config) {
    AttachConfig(config);
    if (connected_) return status::kAlreadyOpen;
    connected_ = true;
    return status::kOk;
}

void TlsTestServer::Close() {
    connected_ = false;
}

int TlsTestServer::Deliver(std::size_t piece) {
    std::string bytes;
    bytes.swap(to_client_);
    if (piece == 0) piece = bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        if (upper_ == nullptr) break;
        const std::size_t n = std::min(piece, bytes.size() - at);
        const int result = upper_->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data() + at),
                                           static_cast<int>(n));
        if (result != status::kOk) return result;
    }
    return status::kOk;
}

void TlsTestServer::SendRecord(std::uint8_t type, std::string_view body) {
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(body.size() - at, kSSLMaxPlaintext);
        write_.Seal(type, reinterpret_cast<const std::uint8_t*>(body.data() + at), n, &to_client_);
        at += n;
    } while (at < body.size());
    if (write_.Active()) last_block_ = to_client_.substr(to_client_.size() - 8);
}

void TlsTestServer::SendAlert(std::uint8_t level, std::uint8_t description) {
    const char body[2] = {static_cast<char>(level), static_cast<char>(description)};
    SendRecord(kSSLAlert, std::string_view(body, 2));
}

void TlsTestServer::SendBadPaddingRecord(std::string_view text) {
    const std::uint8_t* block = key_block_.data();
    std::string plain(text);
    std::string prefix;
    WireWriter(prefix)
        .Uint64(write_.SequenceNumber())
        .Byte(kSSLApplicationData)
        .Byte(3)
        .Byte(1)
        .Uint16(static_cast<std::uint16_t>(text.size()));
    std::uint8_t mac[20];
    HmacSha1(reinterpret_cast<const std::uint8_t*>((prefix + plain).data()),
             prefix.size() + plain.size(), block + suite_->ServerMacOffset(), 20, mac);
    plain.append(reinterpret_cast<const char*>(mac), 20);
    const std::size_t padding = SSLCipherState::PaddingLength(plain.size(), 8);
    plain.append(padding + 1, static_cast<char>(padding));
    plain[plain.size() - 2] = static_cast<char>(padding ^ 0x40);  // one padding byte disagrees

    DES_cblock iv;
    std::memcpy(iv, last_block_.data(), 8);
    std::string cipher(plain.size(), '\0');
    const std::uint8_t* key = block + suite_->ServerKeyOffset();
    DES_key_schedule schedules[3];
    for (int i = 0; i < (suite_->triple ? 3 : 1); ++i) {
        DES_cblock k;
        std::memcpy(k, key + 8 * i, 8);
        DES_set_key_unchecked(&k, &schedules[i]);
    }
    auto* in = reinterpret_cast<const unsigned char*>(plain.data());
    auto* out = reinterpret_cast<unsigned char*>(cipher.data());
    if (suite_->triple) {
        DES_ede3_cbc_encrypt(in, out, static_cast<long>(plain.size()), &schedules[0], &schedules[1],
                             &schedules[2], &iv, DES_ENCRYPT);
    } else {
        DES_ncbc_encrypt(in, out, static_cast<long>(plain.size()), &schedules[0], &iv, DES_ENCRYPT);
    }
    WireWriter(to_client_).Byte(kSSLApplicationData).Byte(3).Byte(1).String16(cipher);
}

void TlsTestServer::FlipWaitingByte(std::size_t offset) {
    to_client_.at(offset) = static_cast<char>(to_client_.at(offset) ^ 0x01);
}

int TlsTestServer::Send(const std::uint8_t* data, int length) {
    if (!connected_) return status::kNotConnected;
    if (plain_) {
        plain_received_.append(reinterpret_cast<const char*>(data),
                               static_cast<std::size_t>(length));
        return status::kOk;
    }
    std::size_t at = 0;
    while (at < static_cast<std::size_t>(length)) {
        std::size_t used = 0;
        const auto collected = pending_.Take(data + at, static_cast<std::size_t>(length) - at,
                                             kSSLMaxCiphertext, &used);
        at += used;
        if (collected == SSLPacket::Collect::kNeedMore) break;
        if (collected != SSLPacket::Collect::kComplete) {
            connected_ = false;
            return status::kSendFailed;
        }
        ProcessRecord(pending_);
        pending_.Reset();
    }
    return status::kOk;
}

void TlsTestServer::ProcessRecord(SSLPacket& record) {
    if (!read_.Open(record)) {
        client_alert_ = 0x7fff;  // not authentic: noted, not answered
        return;
    }
    const std::string_view body(reinterpret_cast<const char*>(record.Body()), record.BodyLength());
    switch (record.RecordType()) {
        case kSSLChangeCipherSpec:
            read_.Activate(*suite_, key_block_, true, false);
            break;
        case kSSLAlert:
            if (body.size() == 2) {
                client_alert_ =
                    (static_cast<std::uint8_t>(body[0]) << 8) | static_cast<std::uint8_t>(body[1]);
            }
            break;
        case kSSLHandshake:
            handshake_.append(body);
            while (handshake_.size() >= 4) {
                WireReader header(handshake_.data(), 4);
                header.Byte();
                const std::size_t n = header.Uint24();
                if (handshake_.size() < 4 + n) break;
                const std::string message = handshake_.substr(0, 4 + n);
                handshake_.erase(0, 4 + n);
                OnHandshake(message);
            }
            break;
        case kSSLApplicationData:
            received_.append(body);
            if (options_.respond && handshake_done_) {
                const std::string reply = options_.respond(body);
                if (!reply.empty()) SendApplicationData(reply);
            } else if (handshake_done_) {
                SendApplicationData(body);
            }
            break;
        default:
            break;
    }
}

void TlsTestServer::Hash(std::string_view message) {
    md5_.Update(message.data(), message.size());
    sha1_.Update(message.data(), message.size());
}

void TlsTestServer::Digests(std::uint8_t out[36]) const {
    CMD5 md5 = md5_;
    CSHA1 sha1 = sha1_;
    md5.Final(out);
    sha1.Final(out + 16);
}

void TlsTestServer::OnHandshake(std::string_view message) {
    WireReader reader(message);
    const std::uint8_t type = reader.Byte();
    reader.Uint24();
    if (type == 1) {  // ClientHello
        client_hello_.assign(message);
        Hash(message);
        reader.Uint16();
        const std::string_view random = reader.Bytes(kTlsRandomSize);
        std::memcpy(client_random_, random.data(), kTlsRandomSize);
        reader.String8();
        WireReader suites(reader.String16());
        std::uint16_t offered = 0;
        while (!suites.failed() && suites.left() >= 2)
            offered = suites.Uint16();
        const std::uint16_t chosen = options_.suite != 0 ? options_.suite : offered;
        suite_ = FindCipherSuite(chosen);
        SendFlight();
        if (suite_ == nullptr) {
            // A suite the client did not offer: the test only looks at the refusal.
            suite_ = FindCipherSuite(kSuite3DesEdeCbcSha);
        }
        return;
    }
    if (type == 16) {  // ClientKeyExchange
        Hash(message);
        const std::string_view encrypted = reader.String16();
        const SecureBytes premaster = RsaDecrypt(options_.key_pem, encrypted);
        if (premaster.size() != kTlsMasterSecretSize) return;
        master_ =
            TlsMasterSecret(premaster.data(), premaster.size(), client_random_, server_random_);
        key_block_ = TlsKeyBlock(master_, client_random_, server_random_, suite_->key_block_size);
        return;
    }
    if (type == 20) {  // the client's Finished
        std::uint8_t digests[36];
        Digests(digests);
        std::uint8_t expected[kTlsVerifyDataSize];
        TlsFinishedVerifyData(master_, "client finished", digests, expected);
        client_finished_ok_ = message.size() == 4 + kTlsVerifyDataSize &&
                              std::memcmp(message.data() + 4, expected, kTlsVerifyDataSize) == 0;
        Hash(message);
        SendFinished();
    }
}

void TlsTestServer::SendFlight() {
    RandomGenerator::Global().Fill(server_random_, sizeof server_random_);
    std::string hello_body;
    WireWriter hello(hello_body);
    hello.Byte(options_.version_major).Byte(options_.version_minor);
    hello.Bytes(server_random_, sizeof server_random_);
    std::uint8_t session_id[32];
    RandomGenerator::Global().Fill(session_id, sizeof session_id);
    hello.String8(std::string_view(reinterpret_cast<const char*>(session_id), 32));
    hello.Uint16(options_.suite != 0 ? options_.suite : suite_ != nullptr ? suite_->id : 0);
    hello.Byte(0);
    std::string list;
    WireWriter(list).String24(options_.certificate_der);
    for (const std::string& extra : options_.chain)
        WireWriter(list).String24(extra);
    std::string certificate_body;
    WireWriter(certificate_body).String24(list);

    std::vector<std::string> messages;
    const std::string server_hello = HandshakeMessage(2, hello_body);
    const std::string certificate = HandshakeMessage(11, certificate_body);
    if (options_.certificate_first) {
        messages = {certificate, server_hello};
    } else {
        messages = {server_hello, certificate};
    }
    for (const std::string& extra : options_.before_done)
        messages.push_back(extra);
    messages.push_back(HandshakeMessage(14, ""));
    std::string flight;
    for (const std::string& message : messages) {
        Hash(message);
        flight += message;
    }
    switch (options_.packing) {
        case Packing::kRecordPerMessage:
            for (const std::string& message : messages)
                SendRecord(kSSLHandshake, message);
            break;
        case Packing::kOneRecord:
            SendRecord(kSSLHandshake, flight);
            break;
        case Packing::kFragments:
            for (std::size_t at = 0; at < flight.size(); at += options_.fragment_size)
                SendRecord(kSSLHandshake, flight.substr(at, options_.fragment_size));
            break;
    }
}

void TlsTestServer::SendFinished() {
    const char change = 1;
    SendRecord(kSSLChangeCipherSpec, std::string_view(&change, 1));
    write_.Activate(*suite_, key_block_, false, true);
    std::uint8_t digests[36];
    Digests(digests);
    std::uint8_t verify[kTlsVerifyDataSize];
    TlsFinishedVerifyData(master_, "server finished", digests, verify);
    if (options_.corrupt_finished) verify[5] ^= 0x20;
    SendRecord(kSSLHandshake,
               HandshakeMessage(
                   20, std::string_view(reinterpret_cast<const char*>(verify), sizeof verify)));
    handshake_done_ = true;
}

}  // namespace tarnwick::testing
