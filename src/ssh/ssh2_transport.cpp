// IO_SSH2, transport half: opening, the version exchange, key exchange with its workers, NEWKEYS,
// the receive path with its held input, the dispatcher and the traffic filler.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/known_hosts.h"
#include "core/session_config.h"
#include "core/status.h"
#include "crypto/diffie_hellman.h"
#include "crypto/random_generator.h"
#include "crypto/secure.h"
#include "platform/user_interface.h"
#include "ssh/ssh2.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_kex.h"

namespace tarnwick {

namespace {

constexpr const char* kClientVersion = "SSH-2.0-Tarnwick" TARNWICK_VERSION_TEXT;

// Bytes that arrive while a key-exchange worker runs are held. The channel windows bound what a
// well-behaved server sends meanwhile; a server that sends far more is refused.
constexpr std::size_t kMaxHeldInput = 64u << 20;

const char* DisconnectReason(std::uint32_t reason) {
    static const char* const kReasons[] = {"Host not allowed to connect",
                                           "Protocol error",
                                           "Key exchange failed",
                                           "<reserved>",
                                           "MAC error",
                                           "Compression error",
                                           "Service not available",
                                           "Protocol version not supported",
                                           "Host key not verifiable",
                                           "Connection lost",
                                           "Application quit",
                                           "Too many connections",
                                           "Authentication canceled by user",
                                           "No more authentication methods are available",
                                           "Illegal user name"};
    if (reason < 1 || reason > 15) return "";
    return kReasons[reason - 1];
}

// Messages that may leave between our KEXINIT and our NEWKEYS: the generic transport messages
// other than the service request, and the key-exchange messages.
bool AllowedDuringKex(std::uint8_t message) {
    return (message >= 1 && message <= 19 && message != kMsgServiceRequest &&
            message != kMsgServiceAccept) ||
           (message >= 20 && message <= 49);
}

template <typename Table>
const char* NameOf(const Table& table, int id) {
    for (const auto& info : table) {
        if (info.id == id) return info.name;
    }
    return nullptr;
}

}  // namespace

// Server text shown in the terminal must not be able to drive it: control characters (and the
// 8-bit ones a VT100 also obeys) are shown as "?".
std::string PrintableText(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || (u >= 0x80 && u < 0xa0)) c = '?';
    }
    return out;
}

IO_SSH2::IO_SSH2() : SSH(kLayerSSH2, "SSH2") {}

IO_SSH2::~IO_SSH2() {
    Close();
    {
        std::lock_guard<std::mutex> guard(channels_mutex_);
        channels_.clear();
        finishing_.clear();
    }
    has_session_channel_.store(false);
    session_channel_.reset();
    {
        std::lock_guard<std::mutex> guard(listeners_mutex_);
        listeners_.clear();
    }
    for (auto& packet : held_outgoing_)
        releasePacket(std::move(packet));
    held_outgoing_.clear();
    if (reply_copy_) releasePacket(std::move(reply_copy_));
}

bool IO_SSH2::DebugOn() const {
    return config_ != nullptr && config_->GetInt(setting::debug) != 0;
}

int IO_SSH2::DisplayText(std::string_view text) {
    return DisplayUp(reinterpret_cast<const std::uint8_t*>(text.data()),
                     static_cast<int>(text.size()));
}

void IO_SSH2::Show(std::string_view text) {
    DisplayText(text);
}

void IO_SSH2::Debug(std::string_view text) {
    if (DebugOn()) DisplayText(text);
}

int IO_SSH2::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

int IO_SSH2::DeliverUp(std::string_view data) {
    if (upper_ == nullptr || data.empty()) return status::kOk;
    return upper_->Receive(reinterpret_cast<const std::uint8_t*>(data.data()),
                           static_cast<int>(data.size()));
}

void IO_SSH2::NotifySession() {
    if (config_ != nullptr) config_->NotifyDataArrived(this);
}

int IO_SSH2::Open(SessionConfig* config) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    if (config == nullptr) return status::kNotSupported;
    if (opened_) return status::kAlreadyOpen;
    AttachConfig(config);
    opened_ = true;
    want_interactive_ = config->GetInt(setting::ssh2_want_interactive) != 0;
    if (config->GetInt(setting::ssh_streamFill) != 0 && want_interactive_) StartFiller();
    strict_hostkeys_ = config->GetInt(setting::ssh2_strict_hostkeys) != 0;
    compress_out_wanted_ = compress_in_wanted_ = config->GetInt(setting::ssh_useCompression) != 0;
    auto copy = [config](setting::List list, std::vector<std::int32_t> fallback) {
        const std::vector<std::int32_t>& values = config->GetList(list);
        // A session made without the connection dialog has empty lists; the dialog would have
        // filled in these defaults.
        return values.empty() ? fallback : values;
    };
    cipher_preference_ = copy(setting::ssh2_EnabledCiphers, DefaultCipherPreference());
    mac_preference_ = copy(setting::ssh2_EnabledMACs, DefaultMacPreference());
    hostkey_preference_ = copy(setting::ssh2_hostkey_algorithms, DefaultHostKeyPreference());

    Ui().SetWaitCursor(true);
    int result = lower_->Open(config);
    if (result != status::kOk) {
        Ui().SetWaitCursor(false);
        return result;
    }
    Show("Connected. Waiting for server\r\n");
    return status::kOk;
}

void IO_SSH2::Close() {
    closed_.store(true);
    // The transport first: its shutdown ends any send a worker or forward thread is blocked in,
    // so that they can be joined.
    if (lower_ != nullptr) lower_->Close();
    StopWorkers();
    StopChannels();
    if (filler_.HasHandle()) {
        filler_run_.store(false);
        filler_wake_.notify_all();
        filler_.Stop();
    }
    Ui().SetWaitCursor(false);
}

int IO_SSH2::CloseLayer() {
    Close();
    return status::kNotConnected;
}

int IO_SSH2::Malformed(std::string_view message) {
    Show("The server sent a malformed " + std::string(message) + " message; disconnecting\r\n");
    Close();
    return status::kBadPacket;
}

void IO_SSH2::StopWorkers() {
    for (std::unique_ptr<Worker>* worker : {&gex_worker_, &reply_worker_}) {
        if (*worker) {
            (*worker)->thread.Stop();
            worker->reset();
        }
    }
}

int IO_SSH2::IsLinkUp() {
    if (state_.load() == kConnected && !closed_.load()) return 1;
    return IO::IsLinkUp();
}

int IO_SSH2::IsConnected() {
    if (state_.load() != kConnected) return 0;
    return lower_ != nullptr ? (lower_->IsConnected() ? 1 : 0) : 1;
}

// ---- Sending ----

int IO_SSH2::sendPacket(SSHPacket& packet) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    LockHolder hold(send_lock_);
    return SendLocked(packet);
}

int IO_SSH2::SendLocked(SSHPacket& packet) {
    if (lower_ == nullptr) return status::kNoLowerLayer;
    if (packet.size() < 6) return status::kBadPacket;
    const std::uint8_t message = packet.data()[5];
    if (hold_outgoing_ && !AllowedDuringKex(message)) {
        std::unique_ptr<SSHPacket> copy = getPacket();
        if (!copy || !copy->copyFrom(packet)) return status::kOutOfMemory;
        held_outgoing_.push_back(std::move(copy));
        return status::kOk;
    }
    int result = framing_.Seal(packet, RandomGenerator::Global());
    if (result != status::kOk) return result;
    result = lower_->Send(packet.data(), static_cast<int>(packet.size()));
    if (result == status::kOk) MaybeRekeyLocked();
    return result;
}

// ---- Receiving ----

int IO_SSH2::Receive(const std::uint8_t* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) return status::kNothingToDo;
    LockHolder hold(receive_lock_);
    if (error_ != 0) return error_;
    if (closed_.load()) return status::kNotConnected;
    const int state = state_.load();
    if (state < kVersionExchange || state > kConnected) return status::kNoReceivingState;
    int result = ProcessInput(data, static_cast<std::size_t>(length));
    // A worker may have finished meanwhile; its notification may be waiting for this very call.
    if (result == status::kOk) result = ReapWorkers();
    if (result == status::kOk) result = DrainHeld();
    if (result != status::kOk) error_ = result;
    if (result == status::kOk && state_.load() == kConnected && !kex_active_.load()) {
        // What arrives counts towards the re-key limit as much as what is sent.
        LockHolder hold(send_lock_);
        MaybeRekeyLocked();
    }
    ReapChannels();
    return result;
}

int IO_SSH2::Pump() {
    // Pump runs on the user-interface thread; the receive lock is already held only when a
    // dialog inside the dispatcher lets the notification run nested. The outer call then does
    // the work when it returns.
    if (!receive_lock_.TryAcquire()) return status::kOk;
    int result = error_;
    if (result == status::kOk && closed_.load()) result = status::kNotConnected;
    if (result == status::kOk) result = ReapWorkers();
    if (result == status::kOk) result = DrainHeld();
    if (result != status::kOk) error_ = result;
    receive_lock_.Release();
    ReapChannels();
    return result;
}

int IO_SSH2::ProcessInput(const std::uint8_t* data, std::size_t length) {
    if (state_.load() == kVersionExchange) return VersionExchange(data, length);
    if (WorkerRunning() || !held_input_.empty()) {
        if (held_input_.size() + length > kMaxHeldInput) {
            Debug("Received corrupted packet.\r\n");
            return status::kBadPacket;
        }
        held_input_.append(reinterpret_cast<const char*>(data), length);
        return status::kOk;
    }
    return FeedPackets(data, length);
}

int IO_SSH2::FeedPackets(const std::uint8_t* data, std::size_t length) {
    std::size_t used = 0;
    int result = framing_.Feed(data, length, &used, [this](SSHPacket& packet) {
        int dispatched = Dispatch(packet);
        if (dispatched != status::kOk) return dispatched;
        if (closed_.load()) return status::kNotConnected;
        // What follows a packet that started a worker waits for the worker's result: it may
        // already be encrypted with the keys the worker is computing.
        if (WorkerRunning()) return SSH2Framing::kStopAfterThis;
        return status::kOk;
    });
    if (result == status::kBadPacket) {
        Debug("Received corrupted packet.\r\n");
    } else if (result == status::kMacFailed) {
        Show("Corrupted MAC; disconnecting\r\n");
    }
    if (result == status::kOk && used < length) {
        held_input_.append(reinterpret_cast<const char*>(data) + used, length - used);
    }
    return result;
}

int IO_SSH2::DrainHeld() {
    while (!WorkerRunning() && !held_input_.empty() && !closed_.load()) {
        std::string chunk;
        chunk.swap(held_input_);
        int result = FeedPackets(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
        if (result != status::kOk) return result;
    }
    return closed_.load() ? status::kNotConnected : status::kOk;
}

int IO_SSH2::ReapWorkers() {
    for (std::unique_ptr<Worker>* worker : {&gex_worker_, &reply_worker_}) {
        if (!*worker || !(*worker)->done.load()) continue;
        (*worker)->thread.Stop();
        std::unique_ptr<Worker> finished = std::move(*worker);
        if (!finished->messages.empty()) Show(finished->messages);
        if (finished->failed) return CloseLayer();
        if (worker == &reply_worker_) {
            if (reply_copy_) releasePacket(std::move(reply_copy_));
            int result = AfterVerifiedReply();
            if (result != status::kOk) return result;
        }
    }
    return status::kOk;
}

// ---- Version exchange ----

int IO_SSH2::VersionExchange(const std::uint8_t* data, std::size_t length) {
    std::size_t used = 0;
    VersionLineReader::Result found = version_reader_.Add(data, length, &used);
    if (found == VersionLineReader::Result::kNeedMore) return status::kOk;
    ServerVersion version;
    if (found == VersionLineReader::Result::kFound) {
        v_s_ = version_reader_.line();
        while (!v_s_.empty() && (v_s_.back() == '\n' || v_s_.back() == '\r'))
            v_s_.pop_back();
    }
    if (found == VersionLineReader::Result::kFailed || !ParseVersionLine(v_s_, &version)) {
        Show("Server uses an incompatible version\r\n");
        return status::kProtocolError;
    }
    Debug("Server reports " + PrintableText(v_s_) + "\r\n");
    quirks_ = QuirksFor(version.software);
    if (DebugOn()) {
        for (const QuirkName& quirk : QuirkNames()) {
            if (quirks_ & quirk.flag) Debug(std::string("Server has ") + quirk.name + "\r\n");
        }
    }
    if (!VersionUsable(version)) {
        Show("Server uses an incompatible version\r\n");
        return status::kProtocolError;
    }
    if (used < length) Debug("Keeping partial packet from initial exchange");
    v_c_ = kClientVersion;
    int result =
        lower_ != nullptr ? lower_->SendString((v_c_ + "\r\n").c_str()) : status::kNoLowerLayer;
    if (result != status::kOk) return result;
    state_.store(kKeyExchange);
    if (used < length) return ProcessInput(data + used, length - used);
    return status::kOk;
}

// ---- Dispatcher ----

int IO_SSH2::Dispatch(SSHPacket& packet) {
    packet.seekPayload();
    const std::uint8_t message = packet.getByte();
    if (ignore_guessed_packet_) {
        ignore_guessed_packet_ = false;
        Debug("Ignoring the server's guessed key exchange packet\r\n");
        return status::kOk;
    }
    const bool kex = state_.load() >= kKeyExchange;
    const bool authenticating =
        state_.load() == kAuthentication && auth_started_ && !authenticated_;
    bool expected = true;
    switch (message) {
        case kMsgDisconnect:
            return OnDisconnect(packet);
        case kMsgIgnore:
            return status::kOk;
        case kMsgUnimplemented:
            Debug("Server reports UNIMPLEMENTED\r\n");
            return status::kOk;
        case kMsgDebug:
            Debug("Received a DEBUG Packet\r\n");
            return status::kOk;
        case kMsgServiceAccept:
            if (state_.load() == kAuthentication && !auth_started_) return OnServiceAccept(packet);
            expected = false;
            break;
        case kMsgKexInit:
            if (kex && kex_state_ == kKexIdle) return OnKexInit(packet);
            expected = false;
            break;
        case kMsgNewKeys:
            if (kex_state_ == kKexWaitNewKeys) return OnNewKeys(packet);
            if (kex_state_ != kKexIdle) {
                // NEWKEYS before the server's reply was verified would switch to keys that
                // nobody has checked.
                Show("Server sent NEWKEYS before the key exchange was complete; disconnecting\r\n");
                return CloseLayer();
            }
            expected = false;
            break;
        case kMsgKexDhReply:
            if (kex_method_ == kGroupExchange && kex_state_ == kKexWaitGroup) {
                return OnGexGroup(packet);
            }
            if (kex_method_ == kGroup1 && kex_state_ == kKexWaitReply) return OnKexReply(packet);
            expected = false;
            break;
        case kMsgKexDhGexReply:
            if (kex_method_ == kGroupExchange && kex_state_ == kKexWaitReply) {
                return OnKexReply(packet);
            }
            expected = false;
            break;
        case kMsgUserauthFailure:
            if (authenticating) return OnUserauthFailure(packet);
            expected = false;
            break;
        case kMsgUserauthSuccess:
            if (authenticating) return OnUserauthSuccess(packet);
            expected = false;
            break;
        case kMsgUserauthBanner:
            if (authenticating) return OnUserauthBanner(packet);
            expected = false;
            break;
        case kMsgUserauthInfoRequest:
            if (authenticating && kbdint_pending_) return OnUserauthInfoRequest(packet);
            expected = false;
            break;
        case kMsgGlobalRequest:
            if (!authenticated_) {
                expected = false;
                break;
            }
            return OnGlobalRequest(packet);
        case kMsgChannelOpen:
        case kMsgChannelOpenConfirmation:
        case kMsgChannelOpenFailure:
        case kMsgChannelWindowAdjust:
        case kMsgChannelData:
        case kMsgChannelExtendedData:
        case kMsgChannelEof:
        case kMsgChannelClose:
        case kMsgChannelRequest:
        case kMsgChannelSuccess:
        case kMsgChannelFailure:
            if (!authenticated_) {
                expected = false;
                break;
            }
            switch (message) {
                case kMsgChannelOpen:
                    return OnChannelOpen(packet);
                case kMsgChannelOpenConfirmation:
                    return OnChannelOpenConfirmation(packet);
                case kMsgChannelOpenFailure:
                    return OnChannelOpenFailure(packet);
                case kMsgChannelWindowAdjust:
                    return OnChannelWindowAdjust(packet);
                case kMsgChannelData:
                    return OnChannelData(packet, false);
                case kMsgChannelExtendedData:
                    return OnChannelData(packet, true);
                case kMsgChannelEof:
                    return OnChannelEof(packet);
                case kMsgChannelClose:
                    return OnChannelClose(packet);
                case kMsgChannelRequest:
                    return OnChannelRequest(packet);
                case kMsgChannelSuccess:
                    return OnChannelSuccess(packet);
                default:
                    return OnChannelFailure(packet);
            }
        default:
            break;
    }
    char line[80];
    if (expected) {
        std::snprintf(line, sizeof line, "Unknown packet (%d) received; ignoring\r\n", message);
        Debug(line);
        // The protocol asks for an answer to every message it does not know, naming the
        // packet by its sequence number.
        PooledPacket reply(*this);
        if (!reply) return status::kOutOfMemory;
        reply->beginPayload();
        reply->putByte(kMsgUnimplemented);
        reply->putUint32(framing_.IncomingSequence() - 1);
        reply->finish();
        return sendPacket(*reply);
    } else {
        // A message that has no place in the current state (a login success before the keys are
        // in force, channel data before login) is never acted on.
        std::snprintf(line, sizeof line, "Unexpected packet (%d) received; ignoring\r\n", message);
    }
    Debug(line);
    return status::kOk;
}

int IO_SSH2::OnGlobalRequest(SSHPacket& packet) {
    packet.skipString();  // request name
    const bool want_reply = packet.getBoolean();
    if (packet.readFailed()) return Malformed("GLOBAL_REQUEST");
    if (!want_reply) return status::kOk;
    // No global request is served, but a server that checks on its clients ("keepalive")
    // needs an answer, or it drops the connection.
    PooledPacket reply(*this);
    if (!reply) return status::kOutOfMemory;
    reply->beginPayload();
    reply->putByte(kMsgRequestFailure);
    reply->finish();
    return sendPacket(*reply);
}

int IO_SSH2::OnDisconnect(SSHPacket& packet) {
    Debug("Received server DISCONNECT packet\r\n");
    const std::uint32_t reason = packet.getUint32();
    std::string_view description;
    packet.getStringView(&description);
    if (!description.empty()) Show(PrintableText(description) + "\r\n");
    Show(std::string("Server reports: ") + DisconnectReason(reason) + "\r\n");
    return CloseLayer();
}

int IO_SSH2::OnServiceAccept(SSHPacket& packet) {
    Debug("Server accepts our service request\r\n");
    std::string_view name;
    packet.getStringView(&name);
    if (name == "ssh-userauth" || (name.empty() && (quirks_ & m_serviceaccept_bug))) {
        return StartAuthentication();
    }
    Debug("Unknown server accepted: " + PrintableText(name) + "\r\n");
    return status::kOk;
}

// ---- Key exchange ----

const char* IO_SSH2::KexMethodName(KexMethod method) {
    return method == kGroupExchange ? "diffie-hellman-group-exchange-sha1"
                                    : "diffie-hellman-group1-sha1";
}

int IO_SSH2::ExponentPercentage() const {
    // A session file may hold any number; below a quarter of the group's size the secret
    // exponent gets short enough to be searched by anyone who records the exchange.
    return std::clamp(config_->GetInt(setting::ssh2_random_generator_percentage), 25, 100);
}

int IO_SSH2::NoCommonAlgorithm(const char* what, std::string_view offered) {
    // Whatever the debug setting: otherwise a user whose server has moved on sees only
    // "Disconnected" and cannot tell why.
    constexpr std::size_t kMaxShown = 600;
    std::string list = PrintableText(offered.substr(0, kMaxShown));
    if (offered.size() > kMaxShown) list += "...";
    Show(std::string("The server offers no ") + what +
         " this client supports; it offers: " + (list.empty() ? "nothing" : list) + "\r\n");
    return CloseLayer();
}

int IO_SSH2::ChooseHostKey(std::string_view server_list) {
    // A host whose key of one type we know proves itself with that type when it can: a key of
    // another type could not be checked against anything.
    const char* host = config_->GetNarrow(setting::hostname);
    const std::vector<std::string> stored = StoredKeyTypes(kSpaceSSH2, host != nullptr ? host : "");
    std::vector<std::int32_t> order = hostkey_preference_;
    std::stable_partition(order.begin(), order.end(), [&](std::int32_t id) {
        const char* name = NameOf(HostKeyTable(), id);
        return name != nullptr &&
               std::find(stored.begin(), stored.end(), HostKeyType(name)) != stored.end();
    });
    return ChooseAlgorithm(server_list, order, [](int id) { return NameOf(HostKeyTable(), id); });
}

int IO_SSH2::SendKexInitLocked() {
    std::unique_ptr<SSHPacket> ours = getPacket();
    if (!ours) return status::kOutOfMemory;
    const MacInfo* mac = FindMac(mac_id_);
    ours->beginPayload();
    ours->putByte(kMsgKexInit);
    std::uint8_t cookie[16];
    RandomGenerator::Global().Fill(cookie, sizeof cookie);
    ours->putBytes(cookie, sizeof cookie);
    ours->putCString(KexMethodName(kex_method_));
    ours->putCString(NameOf(HostKeyTable(), hostkey_id_));
    ours->putCString(NameOf(CipherTable(), cipher_id_));
    ours->putCString(NameOf(CipherTable(), cipher_id_));
    ours->putCString(mac != nullptr ? mac->name : "");
    ours->putCString(mac != nullptr ? mac->name : "");
    ours->putCString(compress_out_wanted_ ? "zlib,none" : "none");
    ours->putCString(compress_in_wanted_ ? "zlib,none" : "none");
    ours->putCString("");
    ours->putCString("");
    ours->putBoolean(false);
    ours->putUint32(0);
    ours->finish();
    i_c_.assign(reinterpret_cast<const char*>(ours->payload()), ours->size() - 5);
    int result = SendLocked(*ours);
    releasePacket(std::move(ours));
    // From here until our NEWKEYS only key-exchange messages may go out.
    client_kexinit_sent_ = true;
    hold_outgoing_ = true;
    newkeys_sent_ = false;
    return result;
}

void IO_SSH2::MaybeRekeyLocked() {
    if (kex_active_.load() || closed_.load() || state_.load() != kConnected) return;
    const bool due = framing_.OutgoingBytes() >= rekey_bytes_ ||
                     framing_.IncomingBytes() >= rekey_bytes_ ||
                     std::chrono::steady_clock::now() - last_kex_time_ >= rekey_interval_;
    if (!due) return;
    // The choices of the last exchange are offered again; the server's KEXINIT completes it.
    kex_active_.store(true);
    (void)SendKexInitLocked();
}

int IO_SSH2::OnKexInit(SSHPacket& packet) {
    Debug("Starting key exchange\r\n");
    if (packet.readable() < 16) return Malformed("KEXINIT");
    packet.setPosition(packet.position() + 16);  // the cookie
    std::string_view kex, hostkeys, ciphers, macs, compress_out, compress_in, ignored;
    packet.getStringView(&kex);
    packet.getStringView(&hostkeys);
    packet.getStringView(&ciphers);
    packet.getStringView(&ignored);
    packet.getStringView(&macs);
    packet.getStringView(&ignored);
    packet.getStringView(&compress_out);
    packet.getStringView(&compress_in);
    packet.getStringView(&ignored);
    packet.getStringView(&ignored);
    const bool follows = packet.getBoolean();
    packet.getUint32();
    if (packet.readFailed()) return Malformed("KEXINIT");
    if (!RandomGenerator::Global().EnsureEntropy()) {
        Show(
            "The system's random number source cannot be read, so no secret key can be made "
            "safely; disconnecting\r\n");
        return CloseLayer();
    }
    bool we_started;
    {
        LockHolder hold(send_lock_);
        we_started = client_kexinit_sent_;
        kex_active_.store(true);
    }
    Debug("Server suggests these host key algorithms:" + PrintableText(hostkeys) + "\r\n");
    Debug("Server suggests these encryptors:" + PrintableText(ciphers) + "\r\n");
    Debug("Server suggests these MACs:" + PrintableText(macs) + "\r\n");
    Debug("Server suggests these compression algorithms:" + PrintableText(compress_out) + "\r\n");
    // The whole payload as received: the exchange hash covers every byte of it.
    i_s_.assign(reinterpret_cast<const char*>(packet.payload()),
                packet.size() - packet.payloadOffset());
    compress_out_wanted_ = compress_out_wanted_ && NameListHas(compress_out, "zlib", true);
    compress_in_wanted_ = compress_in_wanted_ && NameListHas(compress_in, "zlib", true);

    const char* method_name = nullptr;
    if (we_started) {
        // Our KEXINIT named the algorithms of the last exchange, one each: they are what is
        // negotiated, if the server still has them.
        method_name = KexMethodName(kex_method_);
        if (!NameListHas(kex, method_name)) return NoCommonAlgorithm("key exchange method", kex);
        if (!NameListHas(hostkeys, NameOf(HostKeyTable(), hostkey_id_))) {
            return NoCommonAlgorithm("host key algorithm", hostkeys);
        }
        if (!NameListHas(ciphers, NameOf(CipherTable(), cipher_id_))) {
            return NoCommonAlgorithm("cipher", ciphers);
        }
        if (!NameListHas(macs, FindMac(mac_id_)->name)) return NoCommonAlgorithm("MAC", macs);
    } else {
        if (NameListHas(kex, "diffie-hellman-group-exchange-sha1")) {
            kex_method_ = kGroupExchange;
        } else if (NameListHas(kex, "diffie-hellman-group1-sha1")) {
            kex_method_ = kGroup1;
        } else {
            Debug("Key negotiation failed");
            return NoCommonAlgorithm("key exchange method", kex);
        }
        method_name = KexMethodName(kex_method_);
        hostkey_id_ = ChooseHostKey(hostkeys);
        if (hostkey_id_ < 0) {
            // Without a host-key algorithm both sides know, the server cannot prove who it is.
            Debug("Unknown host key algorithm specified\r\n");
            return NoCommonAlgorithm("host key algorithm", hostkeys);
        }
        Debug(std::string("Using key algorithm: ") + NameOf(HostKeyTable(), hostkey_id_) + "\r\n");
        cipher_id_ = ChooseAlgorithm(ciphers, cipher_preference_,
                                     [](int id) { return NameOf(CipherTable(), id); });
        if (cipher_id_ < 0) {
            Debug("Unknown encryption method specified");
            return NoCommonAlgorithm("cipher", ciphers);
        }
        Debug(std::string("Using cipher: ") + NameOf(CipherTable(), cipher_id_));
        Debug("\r\n");
        mac_id_ =
            ChooseAlgorithm(macs, mac_preference_, [](int id) { return NameOf(MacTable(), id); });
        const MacInfo* mac = FindMac(mac_id_);
        if (mac == nullptr || !mac->usable) {
            Debug("Unknown HMAC method specified");
            return NoCommonAlgorithm("usable MAC", macs);
        }
        Debug(std::string("Using MAC: ") + mac->name);
        if (mac->id == 1) Debug("\r\n");
        if (mac->length == 0) {
            Debug(
                "\r\nWARNING: No Message Authenticator Code has been specified. Packets may be "
                "changed without your knowledge!\r\n");
        }
        Debug("\r\n");
    }
    if (follows) {
        // RFC 4253, 7: "If the other party's guess was wrong, and this field was TRUE, the next
        // packet MUST be silently ignored ... If the guess was right, key exchange MUST continue
        // using the guessed packet." The server guessed our method and host-key algorithm when
        // its first names are the ones negotiated.
        const std::vector<std::string_view> server_kex = SplitNameList(kex);
        const std::vector<std::string_view> server_hostkeys = SplitNameList(hostkeys);
        const bool right = !server_kex.empty() && server_kex[0] == method_name &&
                           !server_hostkeys.empty() &&
                           server_hostkeys[0] == NameOf(HostKeyTable(), hostkey_id_);
        ignore_guessed_packet_ = !right;
    }

    int result = status::kOk;
    {
        LockHolder hold(send_lock_);
        if (!client_kexinit_sent_) result = SendKexInitLocked();
    }
    if (result != status::kOk) return result;

    PooledPacket next(*this);
    if (!next) return status::kOutOfMemory;
    next->beginPayload();
    if (kex_method_ == kGroupExchange) {
        if (quirks_ & m_oldgex_bug) {
            next->putByte(kMsgKexDhInit);
            next->putUint32(kGexPreferred);
        } else {
            next->putByte(kMsgKexDhGexRequest);
            next->putUint32(kGexMinimum);
            next->putUint32(kGexPreferred);
            next->putUint32(kGexMaximum);
        }
        next->finish();
        kex_state_ = kKexWaitGroup;
        return sendPacket(*next);
    }
    p_ = DhGroup1Prime();
    g_ = BigNum(2u);
    if (!DhPrivateExponent(p_, ExponentPercentage(), RandomGenerator::Global(), &x_)) {
        Debug("Key negotiation failed");
        return CloseLayer();
    }
    Debug("Calculating session key\r\n");
    if (!DhPublicValue(g_, x_, p_, &e_)) return CloseLayer();
    next->putByte(kMsgKexDhInit);
    next->putMpint(e_);
    next->finish();
    kex_state_ = kKexWaitReply;
    return sendPacket(*next);
}

int IO_SSH2::OnGexGroup(SSHPacket& packet) {
    Debug("Exchanging keys\r\n");
    p_ = packet.getMpint();
    g_ = packet.getMpint();
    // The group must be of the size asked for, and g a proper element of it; anything else
    // could leave the shared secret in a small subgroup.
    const int bits = p_.BitLength();
    if (packet.readFailed() || !p_.ok() || !g_.ok() || p_.IsNegative() || !p_.IsOdd() ||
        bits < static_cast<int>(kGexMinimum) || bits > static_cast<int>(kGexMaximum) ||
        !DhValueInRange(g_, p_)) {
        Show("Server sent an unusable group; disconnecting\r\n");
        return CloseLayer();
    }
    if (!DhPrivateExponent(p_, ExponentPercentage(), RandomGenerator::Global(), &x_)) {
        return CloseLayer();
    }
    Debug("Calculating session key\r\n");
    kex_state_ = kKexWaitReply;
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    gex_worker_ = std::move(worker);
    if (!raw->thread.Start([this] {
            GexWorkerMain();
            return 0;
        })) {
        gex_worker_.reset();
        return CloseLayer();
    }
    return status::kOk;
}

void IO_SSH2::GexWorkerMain() {
    Worker& self = *gex_worker_;
    BigNum e;
    if (DhPublicValue(g_, x_, p_, &e)) {
        e_ = e;
        std::unique_ptr<SSHPacket> packet = getPacket();
        if (packet) {
            packet->beginPayload();
            packet->putByte(kMsgKexDhGexInit);
            packet->putMpint(e_);
            packet->finish();
            if (sendPacket(*packet) != status::kOk) self.failed = true;
            releasePacket(std::move(packet));
        } else {
            self.failed = true;
        }
    } else {
        self.failed = true;
    }
    self.thread.MarkExiting();
    self.done.store(true);
    NotifySession();
}

int IO_SSH2::OnKexReply(SSHPacket& packet) {
    Debug("Verifying key exchange\r\n");
    std::string_view k_s;
    if (!packet.getStringView(&k_s)) return Malformed("key exchange reply");
    // A key whose arithmetic would take minutes, or that is too weak to prove anything, is
    // refused before any work is done with it.
    const std::string problem = HostKeyProblem(NameOf(HostKeyTable(), hostkey_id_), k_s);
    if (!problem.empty()) {
        Show("The server's host key cannot be used: " + problem + "; disconnecting\r\n");
        return CloseLayer();
    }
    k_s_.assign(k_s);
    reply_copy_ = getPacket();
    if (!reply_copy_ || !reply_copy_->copyFrom(packet)) return status::kOutOfMemory;
    kex_state_ = kKexVerifying;
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    reply_worker_ = std::move(worker);
    if (!raw->thread.Start([this] {
            ReplyWorkerMain();
            return 0;
        })) {
        reply_worker_.reset();
        return CloseLayer();
    }
    return status::kOk;
}

void IO_SSH2::ReplyWorkerMain() {
    Worker& self = *reply_worker_;
    const bool debug = DebugOn();
    auto note = [&](const char* text) {
        if (debug) self.messages += text;
    };
    auto finish = [&](bool failed) {
        self.failed = failed;
        self.thread.MarkExiting();
        self.done.store(true);
        NotifySession();
    };
    // Why the exchange failed is shown whatever the debug setting.
    auto refuse = [&](const char* text) {
        self.messages += text;
        finish(true);
    };
    SSHPacket& reply = *reply_copy_;
    reply.seekPayload();
    reply.getByte();
    std::string_view k_s, signature;
    reply.getStringView(&k_s);
    BigNum f = reply.getMpint();
    reply.getStringView(&signature);
    if (reply.readFailed()) {
        return refuse("The server sent a malformed key exchange reply message; disconnecting\r\n");
    }
    if (!DhValueInRange(f, p_))
        return refuse("Server sent an invalid value for 'f'; disconnecting\r\n");
    BigNum k;
    if (!DhSharedSecret(f, x_, p_, &k)) {
        return refuse("Server sent an invalid value for 'K'; disconnecting\r\n");
    }
    ExchangeHashInput input;
    input.v_c = v_c_;
    input.v_s = v_s_;
    input.i_c = i_c_;
    input.i_s = i_s_;
    input.k_s = k_s;
    input.group_exchange = kex_method_ == kGroupExchange;
    input.old_gex = (quirks_ & m_oldgex_bug) != 0;
    input.p = &p_;
    input.g = &g_;
    input.e = &e_;
    input.f = &f;
    input.k = &k;
    std::uint8_t h[20];
    if (!ComputeExchangeHash(input, h)) return finish(true);
    RandomGenerator::Global().Seed(h, sizeof h);
    const bool rsa = hostkey_id_ == 0;
    note(rsa ? "Verifying RSA key\r\n" : "Verifying DSS key\r\n");
    if (!VerifyHostKeySignature(rsa ? "ssh-rsa" : "ssh-dss", k_s, signature, h,
                                (quirks_ & m_rawsig_bug) != 0)) {
        return refuse("Host key corrupted; disconnecting\r\n");
    }
    note("Host key verified\r\n");
    // Only now has the server shown that it holds the key; the user is asked about it on the
    // user-interface thread.
    k_ = k;
    std::memcpy(h_, h, sizeof h);
    SecureWipe(h, sizeof h);
    finish(false);
}

int IO_SSH2::AfterVerifiedReply() {
    const char* host = config_->GetNarrow(setting::hostname);
    if (!HostKeyCheck(kSpaceSSH2, HostKeyType(NameOf(HostKeyTable(), hostkey_id_)),
                      host != nullptr ? host : "",
                      reinterpret_cast<const std::uint8_t*>(k_s_.data()), k_s_.size(),
                      strict_hostkeys_)) {
        return CloseLayer();
    }
    // The session identifier is the hash of the first exchange and never changes: a re-keyed
    // connection that used the newest hash would derive keys the server does not have.
    if (!have_session_id_) {
        std::memcpy(session_id_, h_, sizeof h_);
        have_session_id_ = true;
    }
    kex_state_ = kKexWaitNewKeys;
    return SendNewKeys();
}

bool IO_SSH2::MakeKeys(bool outgoing, std::unique_ptr<Encryptor>* cipher,
                       std::unique_ptr<HMAC>* mac) {
    const CipherInfo* cipher_info = FindCipher(cipher_id_);
    const MacInfo* mac_info = FindMac(mac_id_);
    if (cipher_info == nullptr || mac_info == nullptr || !mac_info->usable) return false;
    SecureBytes iv = DeriveKey(k_, h_, outgoing ? 'A' : 'B', session_id_, 80);
    SecureBytes key = DeriveKey(k_, h_, outgoing ? 'C' : 'D', session_id_, 80);
    SecureBytes mac_key = DeriveKey(k_, h_, outgoing ? 'E' : 'F', session_id_, 20);
    *cipher = MakeCipher(cipher_info->id, outgoing, key.data(), iv.data());
    *mac = MakeMac(mac_info->id, mac_key.data());
    // "none" is the one MAC that is no object; every cipher is one.
    return *cipher != nullptr && (*mac != nullptr || mac_info->length == 0);
}

int IO_SSH2::SendNewKeys() {
    std::unique_ptr<Encryptor> cipher;
    std::unique_ptr<HMAC> mac;
    if (!MakeKeys(true, &cipher, &mac)) {
        // Sending NEWKEYS without them would carry on in clear text, or without a MAC.
        Show("The negotiated cipher or MAC could not be set up; disconnecting\r\n");
        return CloseLayer();
    }
    LockHolder hold(send_lock_);
    if (newkeys_sent_) return status::kOk;
    std::unique_ptr<SSHPacket> packet = getPacket();
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgNewKeys);
    packet->finish();
    int result = SendLocked(*packet);
    releasePacket(std::move(packet));
    newkeys_sent_ = true;
    // Everything after our NEWKEYS uses the new keys, whoever sends it.
    framing_.SetOutgoing(std::move(cipher), std::move(mac));
    hold_outgoing_ = false;
    std::vector<std::unique_ptr<SSHPacket>> held;
    held.swap(held_outgoing_);
    for (std::unique_ptr<SSHPacket>& p : held) {
        if (result == status::kOk) result = SendLocked(*p);
        releasePacket(std::move(p));
    }
    return result;
}

int IO_SSH2::OnNewKeys(SSHPacket&) {
    std::unique_ptr<Encryptor> cipher;
    std::unique_ptr<HMAC> mac;
    if (!MakeKeys(false, &cipher, &mac)) {
        Show("The negotiated cipher or MAC could not be set up; disconnecting\r\n");
        return CloseLayer();
    }
    framing_.SetIncoming(std::move(cipher), std::move(mac));
    if (!newkeys_sent_) {
        int result = SendNewKeys();
        if (result != status::kOk) return result;
    }
    if (compress_in_wanted_ && !framing_.DecompressionActive()) {
        if (!framing_.StartDecompression()) {
            Debug("Call to inflateInit failed; decompression disabled\r\n");
            compress_in_wanted_ = false;
        }
    }
    kex_state_ = kKexIdle;
    {
        LockHolder hold(send_lock_);
        client_kexinit_sent_ = false;
        last_kex_time_ = std::chrono::steady_clock::now();
        kex_active_.store(false);
    }
    // The secrets of this exchange are not needed any more.
    x_.SetZero();
    k_.SetZero();
    SecureWipe(h_, sizeof h_);
    if (first_kex_done_) return status::kOk;
    first_kex_done_ = true;
    state_.store(kAuthentication);
    return SendServiceRequest();
}

int IO_SSH2::SendServiceRequest() {
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgServiceRequest);
    packet->putCString("ssh-userauth");
    packet->finish();
    LockHolder hold(send_lock_);
    // Compression starts here, so that the service request is the first compressed packet.
    if (compress_out_wanted_ && !framing_.CompressionActive()) {
        if (!framing_.StartCompression()) {
            Debug("Call to deflateInit failed; compression disabled\r\n");
            compress_out_wanted_ = false;
        }
    }
    return SendLocked(*packet);
}

// ---- Traffic filler ----

void IO_SSH2::StartFiller() {
    filler_run_.store(true);
    if (!filler_.Start([this] { return FillerMain(); })) filler_run_.store(false);
}

int IO_SSH2::FillerMain() {
    RandomGenerator& random = RandomGenerator::Global();
    while (filler_run_.load()) {
        if (state_.load() == kConnected && has_session_channel_.load() && !closed_.load()) {
            std::uint8_t fill[16];
            const std::size_t n = static_cast<std::size_t>(random.NextByte() % 16) + 1;
            random.Fill(fill, n);
            std::unique_ptr<SSHPacket> packet = getPacket();
            if (packet) {
                packet->beginPayload();
                packet->putByte(kMsgIgnore);
                packet->putString(fill, static_cast<std::uint32_t>(n));
                packet->finish();
                (void)sendPacket(*packet);
                releasePacket(std::move(packet));
            }
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
