// IO_SSH1: opening and closing, the version exchange, the receive path and its dispatcher, key
// exchange, login, terminal and shell, the traffic filler, and the owner's side of the forwards.
#include "ssh/ssh1.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/known_hosts.h"
#include "core/session_config.h"
#include "core/status.h"
#include "crypto/bignum.h"
#include "crypto/md5.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/secure.h"
#include "crypto/wire.h"
#include "platform/user_interface.h"
#include "ssh/ssh2.h"
#include "transport/socket.h"

namespace tarnwick {

using namespace ssh1;

namespace {

constexpr const char* kClientVersion = "SSH-1.5-Tarnwick" TARNWICK_VERSION_TEXT "\n";

struct RsaPublicKey {
    BigNum e;
    BigNum n;
};

// An SSH-1 multiple-precision integer: a uint16 bit count, then (bits + 7) / 8 octets, most
// significant first.
bool ReadMpint1(WireReader& reader, BigNum* out) {
    const std::uint16_t bits = reader.Uint16();
    std::string_view body = reader.Bytes((bits + 7u) / 8u);
    if (reader.failed()) return false;
    return out->SetBytes(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
}

// A key as SMSG_PUBLIC_KEY carries it: its announced size (the modulus itself is what counts),
// exponent and modulus.
bool ReadKey(WireReader& reader, RsaPublicKey* key) {
    reader.Uint32();
    return ReadMpint1(reader, &key->e) && ReadMpint1(reader, &key->n);
}

// Why a pair of server keys cannot carry the session key; empty when they can.
std::string KeyProblem(const RsaPublicKey& server, const RsaPublicKey& host) {
    char line[200];
    for (const RsaPublicKey* key : {&server, &host}) {
        const char* which = key == &server ? "server key" : "host key";
        const int bits = key->n.BitLength();
        if (bits < kMinKeyBits || bits > kMaxKeyBits) {
            std::snprintf(line, sizeof line,
                          "The server's %s has %d bits; only keys of %d to %d bits are accepted. "
                          "Disconnecting.\r\n",
                          which, bits, kMinKeyBits, kMaxKeyBits);
            return line;
        }
        // An even modulus is no RSA modulus, and an exponent below 3 (or not below the
        // modulus) would not hide the session key at all.
        if (!key->n.IsOdd() || key->e.IsNegative() || key->e < BigNum(3u) || key->e >= key->n) {
            std::snprintf(line, sizeof line,
                          "The server's %s is not a usable RSA key. Disconnecting.\r\n", which);
            return line;
        }
    }
    const int difference = std::abs(server.n.BitLength() - host.n.BitLength());
    if (difference < kKeyMargin) {
        std::snprintf(line, sizeof line,
                      "The server key and the host key differ by %d bits; at least %d are needed "
                      "to encrypt the session key with both. Disconnecting.\r\n",
                      difference, kKeyMargin);
        return line;
    }
    return {};
}

// The value a PKCS #1 step yields: exactly as many octets as the key's modulus.
bool EncryptStep(const SecureBytes& in, const RsaPublicKey& key, SecureBytes* out) {
    out->assign(key.n.ByteLength(), 0);
    return RsaEncrypt(in.data(), in.size(), key.e, key.n, RandomGenerator::Global(), out->data(),
                      out->size());
}

}  // namespace

const IO_SSH1::Dispatch IO_SSH1::kDispatch[] = {
    {kDisconnect, &IO_SSH1::OnDisconnect},
    {kSmsgPublicKey, &IO_SSH1::OnPublicKey},
    {kSmsgSuccess, &IO_SSH1::OnSuccess},
    {kSmsgFailure, &IO_SSH1::OnFailure},
    {kSmsgStdoutData, &IO_SSH1::OnOutputData},
    {kSmsgStderrData, &IO_SSH1::OnOutputData},
    {kSmsgExitStatus, &IO_SSH1::OnExitStatus},
    {kChannelOpenConfirmation, &IO_SSH1::OnChannelOpenConfirmation},
    {kChannelOpenFailure, &IO_SSH1::OnChannelOpenFailure},
    {kChannelData, &IO_SSH1::OnChannelData},
    {kChannelInputEof, &IO_SSH1::OnChannelInputEof},
    {kChannelOutputClosed, &IO_SSH1::OnChannelOutputClosed},
    {kPortOpen, &IO_SSH1::OnPortOpen},
    {kIgnore, &IO_SSH1::OnIgnore},
    {kDebug, &IO_SSH1::OnDebug},
};

IO_SSH1::IO_SSH1() : SSH(kLayerSSH1, "SSH1") {}

IO_SSH1::~IO_SSH1() {
    Close();
    {
        std::lock_guard<std::mutex> guard(listeners_mutex_);
        listeners_.clear();
    }
    std::lock_guard<std::mutex> guard(channels_mutex_);
    channels_.clear();
}

// ---- Messages for the user ----

bool IO_SSH1::DebugOn() const {
    return config_ != nullptr && config_->GetInt(setting::debug) != 0;
}

void IO_SSH1::Show(std::string_view text) {
    DisplayUp(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()));
}

void IO_SSH1::Debug(std::string_view text) {
    if (DebugOn()) Show(text);
}

int IO_SSH1::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

// ---- Opening and closing ----

int IO_SSH1::Open(SessionConfig* config) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    if (config == nullptr) return status::kNotSupported;
    if (opened_) return status::kAlreadyOpen;
    AttachConfig(config);
    opened_ = true;
    cipher_ = config->GetInt(setting::ssh_cipher);
    framing_.SetCheckCrc(config->GetInt(setting::ssh1_check_CRC) != 0);
    Ui().SetWaitCursor(true);
    int result = lower_->Open(config);
    if (result != status::kOk) {
        Ui().SetWaitCursor(false);
        return result;
    }
    if (config->GetInt(setting::ssh_streamFill) != 0) StartFiller();
    Debug("Connected; waiting for server\r\n");
    return status::kOk;
}

void IO_SSH1::Close() {
    closed_.store(true);
    state_.store(kVersionExchange);
    // The transport first: its shutdown ends any send a forward thread or the filler is blocked
    // in, so that they can be joined.
    if (lower_ != nullptr) lower_->Close();
    StopChannels();
    if (filler_.HasHandle()) {
        filler_run_.store(false);
        filler_wake_.notify_all();
        filler_.Stop();
    }
    Ui().SetWaitCursor(false);
}

int IO_SSH1::CloseLayer(int result) {
    Close();
    return result;
}

int IO_SSH1::Malformed(std::string_view message) {
    Show("The server sent a malformed " + std::string(message) + " message; disconnecting\r\n");
    return CloseLayer(status::kBadPacket);
}

int IO_SSH1::IsLinkUp() {
    if (state_.load() == kInteractive && !closed_.load()) return 1;
    return IO::IsLinkUp();
}

int IO_SSH1::IsConnected() {
    if (state_.load() != kInteractive) return 0;
    return lower_ != nullptr ? (lower_->IsConnected() ? 1 : 0) : 1;
}

// ---- Sending ----

int IO_SSH1::sendPacket(SSHPacket& packet) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    LockHolder hold(send_lock_);
    return SendLocked(packet);
}

int IO_SSH1::SendLocked(SSHPacket& packet) {
    int result = framing_.Seal(packet, RandomGenerator::Global());
    if (result != status::kOk) return result;
    return lower_->Send(packet.data(), static_cast<int>(packet.size()));
}

int IO_SSH1::SendMessage(std::uint8_t message, std::string_view fields) {
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(message);
    if (!packet->putBytes(fields.data(), static_cast<std::uint32_t>(fields.size()))) {
        return status::kOutOfMemory;
    }
    packet->finish();
    return sendPacket(*packet);
}

int IO_SSH1::Send(const std::uint8_t* data, int length) {
    // Keys typed before the shell runs have nowhere to go.
    if (state_.load() != kInteractive || closed_.load()) return status::kOk;
    if (length <= 0 || data == nullptr) return length == 0 ? status::kOk : status::kNothingToDo;
    std::size_t offset = 0;
    const std::size_t total = static_cast<std::size_t>(length);
    while (offset < total) {
        const std::size_t n = std::min(total - offset, kMaxStdinChunk);
        PooledPacket packet(*this);
        if (!packet) return status::kOutOfMemory;
        packet->beginPayload();
        packet->putByte(kCmsgStdinData);
        if (!packet->putString(data + offset, static_cast<std::uint32_t>(n))) {
            return status::kOutOfMemory;
        }
        packet->finish();
        int result = sendPacket(*packet);
        if (result != status::kOk) return result;
        offset += n;
    }
    return status::kOk;
}

// ---- Receiving ----

int IO_SSH1::Receive(const std::uint8_t* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) return status::kNothingToDo;
    LockHolder hold(receive_lock_);
    if (error_ != 0) return error_;
    if (closed_.load()) return status::kNotConnected;
    const int state = state_.load();
    int result;
    if (state == kVersionExchange) {
        result = VersionExchange(data, static_cast<std::size_t>(length));
    } else if (state >= kWaitPublicKey && state <= kInteractive) {
        result = FeedPackets(data, static_cast<std::size_t>(length));
    } else {
        result = status::kNotSupported;
    }
    if (result != status::kOk) error_ = result;
    ReapChannels();
    return result;
}

int IO_SSH1::VersionExchange(const std::uint8_t* data, std::size_t length) {
    std::size_t used = 0;
    VersionLineReader::Result found = version_reader_.Add(data, length, &used);
    if (found == VersionLineReader::Result::kNeedMore) return status::kOk;
    ServerVersion version;
    if (found == VersionLineReader::Result::kFailed ||
        !ParseVersionLine(version_reader_.line(), &version)) {
        Show("The server sent no valid version line; disconnecting\r\n");
        return CloseLayer(status::kProtocolError);
    }
    Debug("Server reports " + PrintableText(version_reader_.line()) + "\r\n");
    // 1.1 to 1.5, and 1.99 from a server that also speaks protocol 2. A server that speaks only
    // protocol 2 (or 1.0) cannot take a protocol 1.5 client.
    if (version.major != 1 || version.minor < 1) {
        Show("Server uses an incompatible version\r\n");
        return CloseLayer(status::kSsh1VersionTooOld);
    }
    int result = lower_ != nullptr ? lower_->SendString(kClientVersion) : status::kNoLowerLayer;
    if (result != status::kOk) return result;
    state_.store(kWaitPublicKey);
    // What followed the line is the start of the first packet.
    if (used < length) return FeedPackets(data + used, length - used);
    return status::kOk;
}

int IO_SSH1::FeedPackets(const std::uint8_t* data, std::size_t length) {
    int result = framing_.Feed(data, length, [this](SSHPacket& packet) {
        int dispatched = DispatchPacket(packet);
        if (dispatched != status::kOk) return dispatched;
        return closed_.load() ? status::kNotConnected : status::kOk;
    });
    char line[160];
    switch (framing_.fault()) {
        case SSH1Framing::Fault::kNone:
            return result;
        case SSH1Framing::Fault::kLength:
            std::snprintf(line, sizeof line,
                          "Received corrupted packet (length field %lu); disconnecting\r\n",
                          static_cast<unsigned long>(framing_.fault_length()));
            Show(line);
            break;
        case SSH1Framing::Fault::kCrc:
            Show("Corrupted CRC bytes from server! Disconnecting.\r\n");
            break;
        case SSH1Framing::Fault::kAttack:
            Show(
                "A packet from the server repeats cipher blocks, as a CRC compensation attack "
                "does. Disconnecting.\r\n");
            break;
    }
    return CloseLayer(result);
}

int IO_SSH1::DispatchPacket(SSHPacket& packet) {
    packet.seekPayload();
    const std::uint8_t message = packet.getByte();
    for (const Dispatch& entry : kDispatch) {
        if (entry.message == message) return (this->*entry.handle)(packet);
    }
    return Unhandled(message);
}

int IO_SSH1::Unhandled(std::uint8_t message) {
    char line[80];
    std::snprintf(line, sizeof line, "Ignoring unhandled response %lu\r\n",
                  static_cast<unsigned long>(message));
    Show(line);
    return status::kOk;
}

// ---- Generic messages ----

int IO_SSH1::OnDisconnect(SSHPacket& packet) {
    Debug("Disconnect\r\n");
    WireReader reader(packet.readPointer(), packet.remaining());
    std::string_view text = reader.String();
    if (!text.empty()) Show(PrintableText(text) + "\r\n");
    return CloseLayer();
}

int IO_SSH1::OnIgnore(SSHPacket&) {
    return status::kOk;
}

int IO_SSH1::OnDebug(SSHPacket& packet) {
    WireReader reader(packet.readPointer(), packet.remaining());
    std::string_view text = reader.String();
    if (reader.failed()) return Malformed("DEBUG");
    Show("Server: " + PrintableText(text) + "\r\n");
    return status::kOk;
}

// ---- Key exchange ----

int IO_SSH1::OnPublicKey(SSHPacket& packet) {
    if (state_.load() != kWaitPublicKey) return Unhandled(kSmsgPublicKey);
    Debug("Exchanging RSA keys with server\r\n");
    WireReader reader(packet.readPointer(), packet.remaining());
    std::uint8_t cookie[8];
    std::string_view cookie_bytes = reader.Bytes(sizeof cookie);
    RsaPublicKey server, host;
    const bool keys = ReadKey(reader, &server) && ReadKey(reader, &host);
    const std::uint32_t flags = reader.Uint32();
    const std::uint32_t cipher_mask = reader.Uint32();
    reader.Uint32();  // authentication methods: a password is always tried
    if (!keys || reader.failed()) return Malformed("SMSG_PUBLIC_KEY");
    std::memcpy(cookie, cookie_bytes.data(), sizeof cookie);

    std::string problem = KeyProblem(server, host);
    if (!problem.empty()) {
        Show(problem);
        return CloseLayer();
    }
    // A session key in a cipher the server does not offer would only be refused with a puzzling
    // message; better to say which cipher it is.
    const char* cipher_name = CipherName(cipher_);
    char line[200];
    if (cipher_name == nullptr) {
        std::snprintf(line, sizeof line,
                      "Cipher number %d is not one this program offers (DES, 3DES, Blowfish). "
                      "Disconnecting.\r\n",
                      cipher_);
        Show(line);
        return CloseLayer();
    }
    if (cipher_ >= 32 || ((cipher_mask >> cipher_) & 1u) == 0) {
        std::snprintf(line, sizeof line,
                      "The server does not support the %s cipher chosen for this session; choose "
                      "another one. Disconnecting.\r\n",
                      cipher_name);
        Show(line);
        return CloseLayer();
    }

    Debug("Checking host key\r\n");
    const SecureBytes host_modulus = host.n.ToBytes();
    const char* hostname = config_->GetNarrow(setting::hostname);
    if (!HostKeyCheck(kSpaceSSH1, "ssh-rsa", hostname != nullptr ? hostname : "",
                      host_modulus.data(), host_modulus.size(), false)) {
        return CloseLayer(status::kSsh1HostKeyRefused);
    }
    return SendSessionKey(cookie, server.e, server.n, host.e, host.n, flags);
}

int IO_SSH1::SendSessionKey(const std::uint8_t cookie[8], const BigNum& server_e,
                            const BigNum& server_n, const BigNum& host_e, const BigNum& host_n,
                            std::uint32_t flags) {
    Debug("Generating session ID\r\n");
    const SecureBytes host_modulus = host_n.ToBytes();
    const SecureBytes server_modulus = server_n.ToBytes();
    CMD5 md5;
    md5.Update(host_modulus.data(), host_modulus.size());
    md5.Update(server_modulus.data(), server_modulus.size());
    md5.Update(cookie, 8);
    std::uint8_t session_id[CMD5::kDigestSize];
    md5.Final(session_id);

    Debug("Creating RSA key\r\n");
    SecureBytes session_key(32);
    RandomGenerator::Global().Fill(session_key.data(), session_key.size());
    SecureBytes value = session_key;
    for (std::size_t i = 0; i < sizeof session_id; ++i)
        value[i] ^= session_id[i];

    Debug("Encrypting RSA key\r\n");
    // The shorter key first: its result, padded again, must fit under the longer one.
    RsaPublicKey server{server_e, server_n}, host{host_e, host_n};
    const bool server_first = server_n.BitLength() < host_n.BitLength();
    const RsaPublicKey& first = server_first ? server : host;
    const RsaPublicKey& second = server_first ? host : server;
    SecureBytes inner, outer;
    if (!EncryptStep(value, first, &inner) || !EncryptStep(inner, second, &outer)) {
        Show("The session key could not be encrypted; disconnecting\r\n");
        return CloseLayer();
    }

    Debug("Sending RSA key\r\n");
    const bool host_in_open = (flags & kHostInForwardOpen) != 0;
    host_in_forward_open_.store(host_in_open);
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kCmsgSessionKey);
    packet->putByte(static_cast<std::uint8_t>(cipher_));
    packet->putBytes(cookie, 8);
    const std::uint16_t bits = static_cast<std::uint16_t>(8 * outer.size());
    const std::uint8_t bit_count[2] = {static_cast<std::uint8_t>(bits >> 8),
                                       static_cast<std::uint8_t>(bits)};
    packet->putBytes(bit_count, 2);
    packet->putBytes(outer.data(), static_cast<std::uint32_t>(outer.size()));
    packet->putUint32(host_in_open ? kHostInForwardOpen : 0);
    packet->finish();
    state_.store(kSessionKeySent);
    int result;
    {
        // The session-key message is the last one in the clear; whatever any thread sends next
        // is encrypted, and so is everything the server sends after it.
        LockHolder hold(send_lock_);
        result = SendLocked(*packet);
        framing_.SetOutgoing(MakeCipher(cipher_, true, session_key.data()));
    }
    framing_.SetIncoming(MakeCipher(cipher_, false, session_key.data()));
    RandomGenerator::Global().Seed(session_key.data(), session_key.size());
    SecureWipe(session_id, sizeof session_id);
    return result;
}

// ---- Login, terminal and shell ----

int IO_SSH1::OnSuccess(SSHPacket&) {
    switch (state_.load()) {
        case kSessionKeySent:
            return SendUser();
        case kUserSent:
        case kPasswordSent:
            return RequestPty();
        case kPtyRequested:
            return StartShell();
        case kInteractive:
            // The answer to the maximum packet size: the shell is running.
            Ui().SetWaitCursor(false);
            return status::kOk;
        default:
            return Unhandled(kSmsgSuccess);
    }
}

int IO_SSH1::OnFailure(SSHPacket&) {
    switch (state_.load()) {
        case kSessionKeySent:
            Show("The server refused the session key; disconnecting\r\n");
            return CloseLayer();
        case kUserSent:
        case kPasswordSent:
            ++failures_;
            if (failures_ == 1) {
                Debug("Password required\r\n");
            } else if (failures_ >= kMaxFailures) {
                // The user has to learn why the session ends.
                Show("Username and/or password invalid\r\n");
                return CloseLayer();
            } else {
                Debug("Username and/or password invalid\r\n");
            }
            return AskPassword();
        case kPtyRequested:
            // Without a terminal the shell still runs, line by line.
            Debug("The server refused the terminal request\r\n");
            return StartShell();
        case kInteractive:
            Ui().SetWaitCursor(false);
            return status::kOk;
        default:
            return Unhandled(kSmsgFailure);
    }
}

int IO_SSH1::SendUser() {
    Debug("Sending username\r\n");
    const char* user = config_->GetNarrow(setting::username);
    std::string fields;
    WireWriter(fields).String(user != nullptr ? user : "");
    state_.store(kUserSent);
    return SendMessage(kCmsgUser, fields);
}

int IO_SSH1::AskPassword() {
    const char* user = config_->GetNarrow(setting::username);
    const char* host = config_->GetNarrow(setting::hostname);
    const std::string prompt = std::string("Password ") + (failures_ > 1 ? "(invalid) " : "") +
                               "for " + PrintableText(user != nullptr ? user : "") + " on host " +
                               PrintableText(host != nullptr ? host : "") + ":";
    std::optional<std::string> answer = Ui().Prompt(prompt, "", true);
    if (!answer) {
        Debug("Username and/or password invalid\r\n");
        return CloseLayer();
    }
    Debug("Sending password\r\n");
    state_.store(kPasswordSent);
    PooledPacket packet(*this);
    int result = status::kOutOfMemory;
    if (packet) {
        packet->beginPayload();
        packet->putByte(kCmsgAuthPassword);
        if (packet->putString(*answer)) {
            packet->finish();
            // Encrypted in place: no copy of the password stays in the packet.
            result = sendPacket(*packet);
        }
    }
    SecureWipe(answer->data(), answer->size());
    return result;
}

int IO_SSH1::RequestPty() {
    Debug("Requesting PTY\r\n");
    std::string type = "unknown";
    int rows = 24;
    int columns = 80;
    TerminalFacts facts;
    if (QueryTerminal(&facts)) {
        type = facts.type;
        rows = facts.rows;
        columns = facts.columns;
    }
    // The message has room for larger sizes, but servers take only values up to 255; a larger
    // one is sent as 255 rather than cut to its low octet.
    auto carried = [](int value) { return static_cast<std::uint32_t>(std::clamp(value, 0, 255)); };
    std::string fields;
    WireWriter(fields)
        .String(type)
        .Uint32(carried(rows))
        .Uint32(carried(columns))
        .Uint32(0)  // width and height in pixels: not known
        .Uint32(0)
        .Byte(0);  // no terminal modes
    state_.store(kPtyRequested);
    return SendMessage(kCmsgRequestPty, fields);
}

int IO_SSH1::StartShell() {
    Debug("Setting max packet size\r\n");
    std::string fields;
    WireWriter(fields).Uint32(kMaxPacketSize);
    int result = SendMessage(kCmsgMaxPacketSize, fields);
    if (result != status::kOk) return result;
    Debug("Requesting a shell\r\n");
    state_.store(kInteractive);
    result = SendMessage(kCmsgExecShell);
    if (result == status::kOk) CreateForwards();
    return result;
}

int IO_SSH1::OnOutputData(SSHPacket& packet) {
    if (state_.load() != kInteractive) return Unhandled(packet.messageType);
    WireReader reader(packet.readPointer(), packet.remaining());
    std::string_view data = reader.String();
    if (reader.failed()) {
        return Malformed(packet.messageType == kSmsgStdoutData ? "SMSG_STDOUT_DATA"
                                                               : "SMSG_STDERR_DATA");
    }
    if (upper_ == nullptr || data.empty()) return status::kOk;
    // What the terminal does with the data is its own affair; the connection goes on.
    (void)upper_->Receive(reinterpret_cast<const std::uint8_t*>(data.data()),
                          static_cast<int>(data.size()));
    return status::kOk;
}

int IO_SSH1::OnExitStatus(SSHPacket& packet) {
    if (state_.load() != kInteractive) return Unhandled(kSmsgExitStatus);
    WireReader reader(packet.readPointer(), packet.remaining());
    const std::uint32_t code = reader.Uint32();
    if (reader.failed()) return Malformed("SMSG_EXITSTATUS");
    char line[80];
    std::snprintf(line, sizeof line, "Remote shell exited with status %lu\r\n",
                  static_cast<unsigned long>(code));
    Debug(line);
    (void)SendMessage(kCmsgExitConfirmation);
    return CloseLayer();
}

// ---- Port forwards ----

void IO_SSH1::CreateForwards() {
    std::vector<PortForward> forwards = config_->ForwardsCopy();
    if (forwards.empty()) return;
    Debug("Creating local port forwards\r\n");
    for (const PortForward& forward : forwards) {
        char line[200];
        std::snprintf(line, sizeof line, "Forwarding local port %d to %s:%d\r\n",
                      static_cast<int>(forward.local_port),
                      PrintableText(forward.remote_host).c_str(),
                      static_cast<int>(forward.remote_port));
        Debug(line);
        const std::uint32_t local_port = forward.local_port;
        const std::string host = forward.remote_host;
        const std::uint32_t port = forward.remote_port;
        auto listener = std::make_unique<TcpAcceptor>(
            [this, local_port, host, port](int socket, const std::string&, std::uint32_t) {
                AcceptForward(socket, local_port, host, port);
            });
        // Port 0 would make the system pick a port nobody asked for.
        if (local_port == 0 || !listener->Start(local_port, forward.allow_nonlocal != 0)) {
            // A forward that silently does nothing would leave the user guessing.
            std::snprintf(line, sizeof line, "Could not listen on local port %d\r\n",
                          static_cast<int>(local_port));
            Show(line);
        }
        std::lock_guard<std::mutex> guard(listeners_mutex_);
        listeners_.push_back(std::move(listener));
    }
}

void IO_SSH1::AcceptForward(int socket, std::uint32_t local_port, const std::string& host,
                            std::uint32_t port) {
    std::lock_guard<std::mutex> guard(channels_mutex_);
    if (closed_.load()) {
        CloseSocket(socket);  // the layer is going away: the connection is dropped
        return;
    }
    auto channel = std::make_unique<SSH1ForwardChannel>(this, next_channel_.fetch_add(1), socket,
                                                        host, port, local_port);
    SSH1ForwardChannel* raw = channel.get();
    channels_.push_back(std::move(channel));
    // Started under the list lock so that Close cannot take the channel away in between; a
    // channel that could not start counts as finished and is removed.
    (void)raw->Start();
}

SSH1ForwardChannel* IO_SSH1::FindChannel(std::uint32_t local_id) {
    std::lock_guard<std::mutex> guard(channels_mutex_);
    for (const auto& channel : channels_) {
        if (channel->local_id() == local_id) return channel.get();
    }
    return nullptr;
}

void IO_SSH1::ReapChannels() {
    std::vector<std::unique_ptr<SSH1ForwardChannel>> done;
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        for (auto it = channels_.begin(); it != channels_.end();) {
            if ((*it)->Finished()) {
                done.push_back(std::move(*it));
                it = channels_.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void IO_SSH1::StopChannels() {
    {
        std::lock_guard<std::mutex> guard(listeners_mutex_);
        for (auto& listener : listeners_)
            listener->Stop();
    }
    std::vector<SSH1ForwardChannel*> channels;
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        for (auto& channel : channels_)
            channels.push_back(channel.get());
    }
    // Channels are destroyed only on this thread, so the pointers stay valid.
    for (SSH1ForwardChannel* channel : channels)
        channel->Shutdown();
}

std::size_t IO_SSH1::ChannelCount() {
    std::lock_guard<std::mutex> guard(channels_mutex_);
    return channels_.size();
}

std::vector<std::uint32_t> IO_SSH1::ListenerPorts() {
    std::lock_guard<std::mutex> guard(listeners_mutex_);
    std::vector<std::uint32_t> ports;
    for (const auto& listener : listeners_)
        ports.push_back(listener->bound_port());
    return ports;
}

int IO_SSH1::OnChannelOpenConfirmation(SSHPacket& packet) {
    if (state_.load() != kInteractive) return Unhandled(kChannelOpenConfirmation);
    Show("Channel open confirmation\r\n");
    WireReader reader(packet.readPointer(), packet.remaining());
    const std::uint32_t local = reader.Uint32();
    const std::uint32_t remote = reader.Uint32();
    if (reader.failed()) return Malformed("CHANNEL_OPEN_CONFIRMATION");
    if (SSH1ForwardChannel* channel = FindChannel(local)) channel->OnOpenConfirmation(remote);
    return status::kOk;
}

int IO_SSH1::OnChannelData(SSHPacket& packet) {
    if (state_.load() != kInteractive) return Unhandled(kChannelData);
    WireReader reader(packet.readPointer(), packet.remaining());
    const std::uint32_t local = reader.Uint32();
    std::string_view data = reader.String();
    if (reader.failed()) return Malformed("CHANNEL_DATA");
    if (SSH1ForwardChannel* channel = FindChannel(local)) channel->OnData(data);
    return status::kOk;
}

int IO_SSH1::ChannelStep(SSHPacket& packet, const char* name, const char* shown,
                         void (SSH1ForwardChannel::*step)()) {
    if (state_.load() != kInteractive) return Unhandled(packet.messageType);
    Show(shown);
    WireReader reader(packet.readPointer(), packet.remaining());
    const std::uint32_t local = reader.Uint32();
    if (reader.failed()) return Malformed(name);
    if (SSH1ForwardChannel* channel = FindChannel(local)) (channel->*step)();
    return status::kOk;
}

int IO_SSH1::OnChannelOpenFailure(SSHPacket& packet) {
    return ChannelStep(packet, "CHANNEL_OPEN_FAILURE", "Channel open failure\r\n",
                       &SSH1ForwardChannel::OnOpenFailure);
}

int IO_SSH1::OnChannelInputEof(SSHPacket& packet) {
    return ChannelStep(packet, "CHANNEL_INPUT_EOF", "Channel close\r\n",
                       &SSH1ForwardChannel::OnInputEof);
}

int IO_SSH1::OnChannelOutputClosed(SSHPacket& packet) {
    return ChannelStep(packet, "CHANNEL_OUTPUT_CLOSED", "Channel output closed\r\n",
                       &SSH1ForwardChannel::OnOutputClosed);
}

int IO_SSH1::OnPortOpen(SSHPacket& packet) {
    if (state_.load() != kInteractive) return Unhandled(kPortOpen);
    WireReader reader(packet.readPointer(), packet.remaining());
    const std::uint32_t remote = reader.Uint32();
    if (reader.failed()) return Malformed("PORT_OPEN");
    // No forwarding from the server's side was asked for: the server is told at once rather than
    // left waiting for an answer.
    std::string fields;
    WireWriter(fields).Uint32(remote);
    return SendMessage(kChannelOpenFailure, fields);
}

// ---- Traffic filler ----

void IO_SSH1::StartFiller() {
    filler_run_.store(true);
    if (!filler_.Start([this] { return FillerMain(); })) filler_run_.store(false);
}

int IO_SSH1::FillerMain() {
    RandomGenerator& random = RandomGenerator::Global();
    while (filler_run_.load()) {
        if (state_.load() == kInteractive && !closed_.load()) {
            std::uint8_t fill[16];
            const std::size_t n = static_cast<std::size_t>(random.NextByte() % 16) + 1;
            random.Fill(fill, n);
            std::string fields;
            WireWriter(fields).String(fill, n);
            (void)SendMessage(kIgnore, fields);
        }
        const unsigned high = random.NextByte();
        const unsigned low = random.NextByte();
        const auto pause = std::chrono::milliseconds(100 + (((high << 8) | low) & 0x3ff));
        std::unique_lock<std::mutex> lock(filler_mutex_);
        filler_wake_.wait_for(lock, pause, [this] { return !filler_run_.load(); });
    }
    filler_.MarkExiting();
    return 0;
}

}  // namespace tarnwick
