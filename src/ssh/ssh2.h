// IO_SSH2: the SSH protocol 2 layer of a session chain (type 5, "SSH2"), between the terminal (or
// a transfer filter) above and a TCP/IP transport below.
//
// Transport: version exchange, server quirks, algorithm negotiation, key exchange (Diffie-Hellman
// with fixed groups and group exchange, ECDH, X25519, sntrup761 with X25519) with the heavy
// arithmetic on worker threads, strict key exchange, host-key check, NEWKEYS, zlib (also delayed
// until login), EXT_INFO, the message dispatcher and the traffic filler. Then user authentication
// (none, public key, keyboard-interactive with S/Key, password) and the connection protocol: the
// interactive session channel, local port forwards and SCP copies.
//
// Threads: Open, Close, Send, Pump and every Receive run on the user-interface thread; the
// key-exchange workers, the traffic filler and the forwarding threads only compute and send.
// Every packet goes out under the send lock, so packets from different threads never interleave
// and sequence numbers follow the wire order. While a key-exchange worker runs, the bytes that
// arrive are held and handled, in order, once it has finished.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/curve25519.h"
#include "crypto/ecc.h"
#include "platform/lock.h"
#include "platform/worker_thread.h"
#include "ssh/ssh.h"
#include "ssh/ssh2_channel.h"
#include "ssh/ssh2_framing.h"
#include "ssh/ssh2_kex.h"
#include "ssh/ssh2_version.h"

namespace tarnwick {

// SSH2 message numbers.
enum SSH2Message : std::uint8_t {
    kMsgDisconnect = 1,
    kMsgIgnore = 2,
    kMsgUnimplemented = 3,
    kMsgDebug = 4,
    kMsgServiceRequest = 5,
    kMsgServiceAccept = 6,
    kMsgExtInfo = 7,
    kMsgKexInit = 20,
    kMsgNewKeys = 21,
    kMsgKexDhInit = 30,   // also the old group-exchange request and the ECDH init
    kMsgKexDhReply = 31,  // also the group-exchange group and the ECDH reply
    kMsgKexDhGexInit = 32,
    kMsgKexDhGexReply = 33,
    kMsgKexDhGexRequest = 34,
    kMsgGlobalRequest = 80,
    kMsgRequestFailure = 82,
    kMsgUserauthRequest = 50,
    kMsgUserauthFailure = 51,
    kMsgUserauthSuccess = 52,
    kMsgUserauthBanner = 53,
    kMsgUserauthInfoRequest = 60,
    kMsgUserauthInfoResponse = 61,
    kMsgChannelOpen = 90,
    kMsgChannelOpenConfirmation = 91,
    kMsgChannelOpenFailure = 92,
    kMsgChannelWindowAdjust = 93,
    kMsgChannelData = 94,
    kMsgChannelExtendedData = 95,
    kMsgChannelEof = 96,
    kMsgChannelClose = 97,
    kMsgChannelRequest = 98,
    kMsgChannelSuccess = 99,
    kMsgChannelFailure = 100,
};

// Server text for the terminal with its control characters shown as "?".
std::string PrintableText(std::string_view text);

struct SSH2TestAccess;
struct ScpRequest;

class IO_SSH2 : public SSH {
  public:
    enum State : int {
        kVersionExchange = 0,
        kKeyExchange = 1,
        kAuthentication = 2,
        kConnected = 3
    };

    // Channels the client opens let the server send this much before it must wait. A window
    // of 42 octets with 1024-octet packets and 32767-octet adjustments made the server wait for
    // a round trip every 32 KB (a bulk transfer ran at a tenth of the speed); 2 MB in packets of
    // up to 32 KB, topped up as soon as half is used, keep the server sending.
    static constexpr ChannelWindow kChannelWindow{2 * 1024 * 1024, 32768, 0, true};

    // The client starts a new key exchange once this much has passed either way under one set of
    // keys, or this long after the last exchange: a 64-bit block cipher (Blowfish, triple DES)
    // must not encrypt so much with one key that its blocks start to repeat.
    static constexpr std::uint64_t kRekeyBytes = 1ull << 30;
    static constexpr std::chrono::seconds kRekeyInterval{3600};

    // A packet that has begun to arrive and gets no further byte for this long ends the
    // session: a damaged length field can announce bytes the server will never send.
    static constexpr std::chrono::seconds kStalledPacketLimit{20};

    IO_SSH2();
    ~IO_SSH2() override;

    [[nodiscard]] int Open(SessionConfig* config) override;
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    int Send(const std::uint8_t* data, int length) override;
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;
    [[nodiscard]] int Pump() override;
    // "Send via SCP" (kScpSendCommand) sends the local file path; any other command fetches the
    // remote file path into the documents folder.
    int FileTransfer(int command, const char* path) override;
    int ReservedRequest() override { return 2; }
    // Starts an SCP copy on a channel of its own beside the session channel. One copy runs at a
    // time; a finished one is dropped when the next starts.
    [[nodiscard]] int StartScp(const ScpRequest& request);

    // ---- Used by the channels and listeners ----
    // Frames and sends a finished packet (which is not consumed, but its bytes are used up).
    [[nodiscard]] int sendPacket(SSHPacket& packet);
    std::uint32_t NextChannelId() { return next_channel_id_.fetch_add(1); }
    // Adds a forward channel made by an accept thread and starts it.
    void AddChannel(std::unique_ptr<SSH2ForwardChannel> channel);
    // The session channel's data and stderr go up the chain from here.
    int DeliverUp(std::string_view data);
    int DisplayText(std::string_view text);
    // A line shown only with the session's debug setting on.
    void Debug(std::string_view text);

    int state() const { return state_.load(); }
    unsigned quirks() const { return quirks_; }
    const std::string& server_version() const { return v_s_; }
    bool closed() const { return closed_.load(); }
    SSH2Channel* session_channel() { return session_channel_.get(); }
    std::size_t ChannelCount();
    // Listening ports of the forwards (0 for one that could not listen), in configuration order.
    std::vector<std::uint32_t> ListenerPorts();
    // zlib in force for what is sent and for what is received.
    bool CompressingOutgoing() const { return framing_.CompressionActive(); }
    bool DecompressingIncoming() const { return framing_.DecompressionActive(); }
    // The session identifier (the first exchange hash); all zero before the first exchange.
    const std::uint8_t* session_id() const { return session_id_; }
    std::size_t session_id_length() const { return session_id_length_; }
    // Both sides offered strict key exchange in the first KEXINIT.
    bool strict_kex() const { return strict_kex_; }
    // The signature algorithms the server named in EXT_INFO ("server-sig-algs").
    const std::string& server_sig_algs() const { return server_sig_algs_; }

  private:
    friend struct SSH2TestAccess;

    enum KexState : int {
        kKexIdle = 0,
        kKexWaitGroup,    // group-exchange request sent
        kKexWaitReply,    // e sent (or being sent by the group-exchange worker)
        kKexVerifying,    // the reply worker runs
        kKexWaitNewKeys,  // our NEWKEYS sent
    };

    struct Worker {
        WorkerThread thread;
        std::atomic<bool> done{false};
        bool failed = false;
        std::string messages;  // shown on the user-interface thread when the worker is reaped
    };

    // ---- Transport (ssh2_transport.cpp) ----
    int ProcessInput(const std::uint8_t* data, std::size_t length);
    [[nodiscard]] int FeedPackets(const std::uint8_t* data, std::size_t length);
    int VersionExchange(const std::uint8_t* data, std::size_t length);
    int ReapWorkers();
    int DrainHeld();
    bool WorkerRunning() const { return reply_worker_ != nullptr || gex_worker_ != nullptr; }
    int Dispatch(SSHPacket& packet);
    int OnDisconnect(SSHPacket& packet);
    int OnGlobalRequest(SSHPacket& packet);
    int OnServiceAccept(SSHPacket& packet);
    int OnExtInfo(SSHPacket& packet);
    // ---- Key exchange (ssh2_key_exchange.cpp) ----
    int OnKexInit(SSHPacket& packet);
    // Chooses the algorithms from the server's KEXINIT lists; false after telling the user why.
    bool ChooseAlgorithms(std::string_view kex, std::string_view hostkeys, std::string_view ciphers,
                          std::string_view macs);
    // Makes this exchange's secret and sends it (or the group-exchange request).
    [[nodiscard]] int StartExchange();
    const KexInfo& Kex() const;
    int OnGexGroup(SSHPacket& packet);
    int OnKexReply(SSHPacket& packet);
    int OnNewKeys(SSHPacket& packet);
    // After the reply worker proved the server holds its host key: the user decides about the
    // key, then NEWKEYS goes out.
    int AfterVerifiedReply();
    void ReplyWorkerMain();
    // The worker's part for each family: K from the server's value, and the exchange hash input.
    bool ReplyDh(SSHPacket& reply, ExchangeHashInput* input, BigNum* f, std::string* why);
    bool ReplyEcdh(SSHPacket& reply, ExchangeHashInput* input, std::string* why);
    // Our Diffie-Hellman value for a server's group or one of the larger fixed groups, computed
    // and sent (as message) on a worker.
    [[nodiscard]] int StartPublicValueWorker(std::uint8_t message);
    void PublicValueWorkerMain(std::uint8_t message);
    [[nodiscard]] int SendNewKeys();
    // The cipher and MAC of one direction, keyed from the exchange; false when either cannot be
    // made (the exchange is then given up rather than run without them).
    bool MakeKeys(bool outgoing, SSH2DirectionKeys* keys);
    // Compression turned on for one direction (after NEWKEYS for "zlib", after login for
    // "zlib@openssh.com"); out needs the send lock.
    void StartCompressionLocked();
    void StartDecompression();
    // Wipes the secrets of the exchange just finished.
    void ForgetExchangeSecrets();
    // Our KEXINIT for the algorithms chosen; send lock held.
    [[nodiscard]] int SendKexInitLocked();
    // The host-key choice: the client's order, with the types stored for this host first.
    int ChooseHostKey(std::string_view server_list);
    int NoCommonAlgorithm(const char* what, std::string_view offered);
    bool NoCommon(const char* what, std::string_view offered);
    // Starts a key exchange from our side when enough has passed under the current keys; send
    // lock held.
    void MaybeRekeyLocked();
    int ExponentPercentage() const;
    [[nodiscard]] int SendLocked(SSHPacket& packet);
    [[nodiscard]] int SendServiceRequest();
    // Closes the layer from inside the dispatcher; the dispatcher then returns its result.
    int CloseLayer();
    // A message from the server that does not parse: the user is told which, and the connection
    // ends (status::kBadPacket).
    int Malformed(std::string_view message);
    void StopWorkers();
    void StartFiller();
    int FillerMain();
    // The watch on packets that stop arriving half-way.
    void StartWatchdog();
    int WatchdogMain();
    void NoteStalledPacket();
    void Show(std::string_view text);
    bool DebugOn() const;
    void NotifySession();

    // ---- Authentication (ssh2_auth.cpp) ----
    const char* ServiceName() const;
    [[nodiscard]] int StartAuthentication();
    int OnUserauthFailure(SSHPacket& packet);
    int OnUserauthSuccess(SSHPacket& packet);
    int OnUserauthBanner(SSHPacket& packet);
    int OnUserauthInfoRequest(SSHPacket& packet);
    [[nodiscard]] int SendPassword();
    bool SendCertificate();
    bool OfferKey(const class PrivateKey& key);
    // A key of the user's running agent, signed there.
    bool OfferAgentKey(const std::string& blob);
    bool OfferSigned(const std::string& blob, const char* algorithm,
                     const std::function<SecureBytes(const std::uint8_t*, std::size_t)>& sign);

    // ---- Connection (ssh2_connection.cpp) ----
    [[nodiscard]] int OpenSessionChannel();
    void CreateForwards();
    // The server opened an agent channel: it is confirmed and listed.
    [[nodiscard]] int OpenAgentChannel(std::uint32_t sender, std::uint32_t window,
                                       std::uint32_t max_packet);
    SSH2Channel* FindChannel(std::uint32_t local_id);
    void RemoveChannel(std::uint32_t local_id);
    void ReapChannels();
    int OnChannelOpen(SSHPacket& packet);
    int OnChannelOpenConfirmation(SSHPacket& packet);
    int OnChannelOpenFailure(SSHPacket& packet);
    int OnChannelWindowAdjust(SSHPacket& packet);
    int OnChannelData(SSHPacket& packet, bool extended);
    int OnChannelEof(SSHPacket& packet);
    int OnChannelClose(SSHPacket& packet);
    int OnChannelRequest(SSHPacket& packet);
    int OnChannelSuccess(SSHPacket& packet);
    int OnChannelFailure(SSHPacket& packet);
    [[nodiscard]] int SendSessionRequests();
    void EnterConnected();
    void StopChannels();

    // Protocol state and the first error, which every later call returns.
    std::atomic<int> state_{kVersionExchange};
    std::atomic<bool> closed_{false};
    bool opened_ = false;
    int error_ = 0;

    // Version exchange.
    VersionLineReader version_reader_;
    std::string v_s_;
    std::string v_c_;
    unsigned quirks_ = 0;

    // Settings copied at open.
    std::vector<std::int32_t> cipher_preference_;
    std::vector<std::int32_t> mac_preference_;
    std::vector<std::int32_t> hostkey_preference_;
    std::vector<std::int32_t> kex_preference_;
    bool strict_hostkeys_ = false;
    bool compress_out_wanted_ = false;
    bool compress_in_wanted_ = false;
    bool want_interactive_ = true;

    // Key exchange.
    SSH2Framing framing_;
    Lock send_lock_;
    Lock receive_lock_;
    KexState kex_state_ = kKexIdle;
    // From the first KEXINIT of an exchange (either side's) to the server's NEWKEYS; changed
    // under the send lock, so that a re-key is never started during an exchange.
    std::atomic<bool> kex_active_{false};
    bool client_kexinit_sent_ = false;  // send lock
    // The server sent a guessed key-exchange packet with a wrong guess: the next packet is not
    // acted on.
    bool ignore_guessed_packet_ = false;
    std::uint64_t rekey_bytes_ = kRekeyBytes;                              // send lock
    std::chrono::steady_clock::duration rekey_interval_ = kRekeyInterval;  // send lock
    std::chrono::steady_clock::time_point last_kex_time_;                  // send lock
    int kex_id_ = 0;
    int hostkey_id_ = -1;
    int cipher_id_ = -1;
    int mac_id_ = -1;
    // "zlib@openssh.com" chosen for a direction: compression waits for the login.
    bool compress_out_delayed_ = false;
    bool compress_in_delayed_ = false;
    std::string i_c_;
    std::string i_s_;
    std::string k_s_;
    // The secrets of the exchange under way: Diffie-Hellman (p, g, x, e and the sizes asked
    // for), or the elliptic-curve and sntrup761 keys with the public value sent (q_c_); then the
    // shared secret as the hash takes it (k_) and the exchange hash.
    BigNum p_, g_, x_, e_;
    GexSizes gex_sizes_ = kGexSha1Sizes;
    EcPrivateKey ec_key_;
    X25519PrivateKey x25519_key_;
    SecureBytes sntrup_secret_;
    std::string q_c_;
    SecureBytes k_;
    std::uint8_t h_[kMaxExchangeHash] = {};
    std::size_t h_length_ = 0;
    std::uint8_t session_id_[kMaxExchangeHash] = {};
    std::size_t session_id_length_ = 0;
    bool have_session_id_ = false;
    // Strict key exchange (both sides offered it in the first KEXINIT): only key-exchange
    // messages until the first NEWKEYS, and the sequence numbers start again at every NEWKEYS.
    bool strict_kex_ = false;
    std::string server_sig_algs_;
    bool first_kex_done_ = false;
    std::unique_ptr<SSHPacket> reply_copy_;
    std::unique_ptr<Worker> reply_worker_;
    std::unique_ptr<Worker> gex_worker_;  // our Diffie-Hellman value (StartPublicValueWorker)
    // Between our KEXINIT and our NEWKEYS only key-exchange messages may leave; anything else
    // waits here (under the send lock) and goes out, in order, with the new keys.
    bool hold_outgoing_ = false;
    bool newkeys_sent_ = false;
    std::vector<std::unique_ptr<SSHPacket>> held_outgoing_;
    // Bytes received while a worker ran, not yet handled.
    std::string held_input_;

    // Traffic filler. It only asks whether the session channel exists, never touches it.
    std::atomic<bool> has_session_channel_{false};
    WorkerThread filler_;
    std::atomic<bool> filler_run_{false};
    std::mutex filler_mutex_;
    std::condition_variable filler_wake_;

    // The stalled-packet watch: when the last byte of a packet still incomplete arrived (0:
    // nothing held), and whether the limit has passed (the next Pump ends the session).
    std::atomic<std::int64_t> partial_since_{0};
    std::atomic<bool> stalled_{false};
    std::chrono::steady_clock::duration stalled_limit_ = kStalledPacketLimit;
    WorkerThread watchdog_;
    std::atomic<bool> watchdog_run_{false};

    // Authentication.
    int pk_attempts_ = 0;
    // The session names its own key: no other key is ever offered.
    bool chosen_key_only_ = false;
    // The public blobs of the running agent's keys that our own list does not hold.
    std::vector<std::string> agent_keys_;
    bool kbdint_tried_ = false;
    bool kbdint_pending_ = false;
    int password_attempts_ = 0;
    bool auth_started_ = false;
    bool authenticated_ = false;

    // Connection.
    std::atomic<std::uint32_t> next_channel_id_{1};
    std::unique_ptr<SSH2Channel> session_channel_;
    bool session_requests_sent_ = false;
    std::mutex channels_mutex_;
    std::vector<std::unique_ptr<SSH2Channel>> channels_;
    // Channels the server has closed whose thread still delivers what it holds.
    std::vector<std::unique_ptr<SSH2Channel>> finishing_;
    std::mutex listeners_mutex_;
    std::vector<std::unique_ptr<SSH2ForwardListener>> listeners_;
    bool forwards_created_ = false;
};

}  // namespace tarnwick
