// IO_SSH2, transport half: opening, the version exchange, the receive path with its held input and
// its watch on stalled packets, the dispatcher and the traffic filler. The key exchange itself is
// in ssh2_key_exchange.cpp.
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
    kex_preference_ = copy(setting::ssh2_kex_algorithms, DefaultKexPreference());
    StartWatchdog();

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
    filler_run_.store(false);
    watchdog_run_.store(false);
    {
        std::lock_guard<std::mutex> guard(filler_mutex_);
        filler_wake_.notify_all();
    }
    if (filler_.HasHandle()) filler_.Stop();
    if (watchdog_.HasHandle()) watchdog_.Stop();
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
    NoteStalledPacket();
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
    if (result == status::kOk && stalled_.load()) {
        const long seconds = static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(stalled_limit_).count());
        Show("The server sent part of a packet and then nothing more for " +
             std::to_string(seconds) + " seconds; disconnecting\r\n");
        Close();
        result = status::kBadPacket;
    }
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
    bool dispatch_failed = false;
    int result = framing_.Feed(data, length, &used, [this, &dispatch_failed](SSHPacket& packet) {
        int dispatched = Dispatch(packet);
        dispatch_failed = dispatched != status::kOk;
        if (dispatched != status::kOk) return dispatched;
        if (closed_.load()) return status::kNotConnected;
        // What follows a packet that started a worker waits for the worker's result: it may
        // already be encrypted with the keys the worker is computing.
        if (WorkerRunning()) return SSH2Framing::kStopAfterThis;
        return status::kOk;
    });
    if (result == status::kBadPacket) {
        Debug("Received corrupted packet.\r\n");
        // The dispatcher has said why for its own refusals; the framing's are told here, or the
        // user would see the connection end without a word.
        if (!dispatch_failed) {
            Show(
                "The server sent a packet whose length or padding is impossible; "
                "disconnecting\r\n");
        }
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
    // Strict key exchange: until the first NEWKEYS nothing but the exchange's own messages may
    // come, not even IGNORE. A man in the middle who slips in (or removes) a packet there shifts
    // the sequence numbers undetected (the Terrapin attack); here that ends the connection.
    const bool kex_message =
        message == kMsgKexInit || message == kMsgNewKeys || (message >= 30 && message <= 49);
    if (strict_kex_ && !first_kex_done_ && !kex_message && message != kMsgDisconnect) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "The server sent a message (%d) during the key exchange, where strict key "
                      "exchange allows none; disconnecting\r\n",
                      message);
        Show(line);
        Close();
        return status::kBadPacket;
    }
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
        case kMsgExtInfo:
            // Sent once the first keys are in force, before or at the end of the login.
            if (first_kex_done_ && !authenticated_) return OnExtInfo(packet);
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
        case kMsgKexDhReply: {
            const bool gex = Kex().family == KexFamily::kDhGroupExchange;
            if (gex && kex_state_ == kKexWaitGroup) return OnGexGroup(packet);
            if (!gex && kex_state_ == kKexWaitReply) return OnKexReply(packet);
            expected = false;
            break;
        }
        case kMsgKexDhGexReply:
            if (Kex().family == KexFamily::kDhGroupExchange && kex_state_ == kKexWaitReply) {
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

int IO_SSH2::OnExtInfo(SSHPacket& packet) {
    // A server announces at most a handful of extensions; more is not an announcement.
    constexpr std::uint32_t kMaxExtensions = 64;
    const std::uint32_t count = packet.getUint32();
    if (packet.readFailed() || count > kMaxExtensions) return Malformed("EXT_INFO");
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view name, value;
        packet.getStringView(&name);
        packet.getStringView(&value);
        if (packet.readFailed()) return Malformed("EXT_INFO");
        if (name == "server-sig-algs") {
            server_sig_algs_.assign(value);
            Debug("Server accepts these signature algorithms:" + PrintableText(value) + "\r\n");
        }
    }
    return status::kOk;
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

// ---- Stalled packets ----

void IO_SSH2::NoteStalledPacket() {
    // Only bytes the framing holds count: input held while a worker runs waits for us, not for
    // the server.
    if (framing_.Assembling() && !WorkerRunning()) {
        partial_since_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    } else {
        partial_since_.store(0);
    }
}

void IO_SSH2::StartWatchdog() {
    watchdog_run_.store(true);
    watchdog_.SetWaker([this] {
        std::lock_guard<std::mutex> guard(filler_mutex_);
        filler_wake_.notify_all();
    });
    if (!watchdog_.Start([this] { return WatchdogMain(); })) watchdog_run_.store(false);
}

int IO_SSH2::WatchdogMain() {
    while (watchdog_run_.load() && !stalled_.load()) {
        const auto limit = stalled_limit_;
        {
            std::unique_lock<std::mutex> lock(filler_mutex_);
            filler_wake_.wait_for(
                lock,
                std::min<std::chrono::steady_clock::duration>(limit / 4, std::chrono::seconds(1)),
                [this] { return !watchdog_run_.load(); });
        }
        const std::int64_t since = partial_since_.load();
        if (since == 0 || closed_.load()) continue;
        const auto held = std::chrono::steady_clock::now().time_since_epoch() -
                          std::chrono::steady_clock::duration(since);
        if (held >= limit) {
            stalled_.store(true);
            NotifySession();
        }
    }
    watchdog_.MarkExiting();
    return 0;
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
