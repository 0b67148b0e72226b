// IO_SSH1: the SSH protocol 1.5 layer of a session chain (type 4, "SSH1"), between the terminal
// (or a transfer filter) above and a TCP/IP transport below.
//
// Version exchange, the server's RSA keys checked against the known hosts, a session key
// encrypted under both of them, login with a user name and a password, a terminal and a shell,
// and local port forwards. No compression and no agent forwarding are asked for.
//
// Threads: Open, Close, Send and every Receive run on the user-interface thread; the traffic
// filler and the forward threads only send. Every packet goes out whole under the send lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/lock.h"
#include "platform/worker_thread.h"
#include "ssh/ssh.h"
#include "ssh/ssh1_forward.h"
#include "ssh/ssh1_framing.h"
#include "ssh/ssh2_version.h"
#include "transport/tcp_acceptor.h"

namespace tarnwick {

class BigNum;

namespace ssh1 {

// Message types of protocol 1.5.
enum Message : std::uint8_t {
    kDisconnect = 1,
    kSmsgPublicKey = 2,
    kCmsgSessionKey = 3,
    kCmsgUser = 4,
    kCmsgAuthPassword = 9,
    kCmsgRequestPty = 10,
    kCmsgExecShell = 12,
    kSmsgSuccess = 14,
    kSmsgFailure = 15,
    kCmsgStdinData = 16,
    kSmsgStdoutData = 17,
    kSmsgStderrData = 18,
    kSmsgExitStatus = 20,
    kChannelOpenConfirmation = 21,
    kChannelOpenFailure = 22,
    kChannelData = 23,
    kChannelInputEof = 24,
    kChannelOutputClosed = 25,
    kPortOpen = 29,
    kIgnore = 32,
    kCmsgExitConfirmation = 33,
    kDebug = 36,
    kCmsgMaxPacketSize = 38,
};

// The server's protocol flag asking for the originator in every PORT_OPEN.
inline constexpr std::uint32_t kHostInForwardOpen = 2;
// The largest terminal data one CMSG_STDIN_DATA carries.
inline constexpr std::size_t kMaxStdinChunk = 32764;
// What the server is asked to keep its packets to.
inline constexpr std::uint32_t kMaxPacketSize = 35000;
// Both RSA keys must have at least this many bits, and one must be longer than the other by at
// least kKeyMargin: the session key is encrypted with the shorter key, and that result (with its
// PKCS #1 padding of at least 11 octets) again with the longer one.
inline constexpr int kMinKeyBits = 768;
inline constexpr int kKeyMargin = 128;
// Larger moduli are refused: the exponentiation runs on the user-interface thread.
inline constexpr int kMaxKeyBits = 8192;
// Wrong passwords (after the server's first refusal, which only asks for one) before giving up.
inline constexpr int kMaxFailures = 3;

}  // namespace ssh1

struct SSH1TestAccess;

class IO_SSH1 : public SSH {
  public:
    enum State : int {
        kVersionExchange = 0,
        kWaitPublicKey = 1,
        kSessionKeySent = 2,
        kUserSent = 3,
        kPasswordSent = 4,
        kPtyRequested = 6,
        kInteractive = 7,
    };

    IO_SSH1();
    ~IO_SSH1() override;

    [[nodiscard]] int Open(SessionConfig* config) override;
    void Close() override;
    int IsLinkUp() override;
    int IsConnected() override;
    int Send(const std::uint8_t* data, int length) override;
    int Receive(const std::uint8_t* data, int length) override;
    int Display(const std::uint8_t* data, int length) override;

    // ---- Used by the forward channels ----
    // Frames and sends a finished message (beginPayload, type, fields, finish).
    [[nodiscard]] int sendPacket(SSHPacket& packet);
    // The server asked for the originator in PORT_OPEN.
    bool host_in_forward_open() const { return host_in_forward_open_.load(); }

    int state() const { return state_.load(); }
    bool closed() const { return closed_.load(); }
    std::size_t ChannelCount();
    // Listening ports of the forwards (0 for one that could not listen), in configuration order.
    std::vector<std::uint32_t> ListenerPorts();

  private:
    friend struct SSH1TestAccess;

    using Handler = int (IO_SSH1::*)(SSHPacket& packet);
    struct Dispatch {
        std::uint8_t message;
        Handler handle;
    };
    static const Dispatch kDispatch[];

    int VersionExchange(const std::uint8_t* data, std::size_t length);
    int FeedPackets(const std::uint8_t* data, std::size_t length);
    int DispatchPacket(SSHPacket& packet);
    [[nodiscard]] int SendLocked(SSHPacket& packet);

    // Handlers.
    int OnDisconnect(SSHPacket& packet);
    int OnPublicKey(SSHPacket& packet);
    int OnSuccess(SSHPacket& packet);
    int OnFailure(SSHPacket& packet);
    int OnOutputData(SSHPacket& packet);
    int OnExitStatus(SSHPacket& packet);
    int OnChannelOpenConfirmation(SSHPacket& packet);
    int OnChannelOpenFailure(SSHPacket& packet);
    int OnChannelData(SSHPacket& packet);
    int OnChannelInputEof(SSHPacket& packet);
    int OnChannelOutputClosed(SSHPacket& packet);
    // The messages that name a channel and take one step of it.
    int ChannelStep(SSHPacket& packet, const char* name, const char* shown,
                    void (SSH1ForwardChannel::*step)());
    int OnPortOpen(SSHPacket& packet);
    int OnIgnore(SSHPacket& packet);
    int OnDebug(SSHPacket& packet);
    int Unhandled(std::uint8_t message);

    // Steps of the login.
    [[nodiscard]] int SendSessionKey(const std::uint8_t cookie[8], const BigNum& server_e,
                                     const BigNum& server_n, const BigNum& host_e,
                                     const BigNum& host_n, std::uint32_t flags);
    [[nodiscard]] int SendUser();
    [[nodiscard]] int AskPassword();
    [[nodiscard]] int RequestPty();
    [[nodiscard]] int StartShell();
    [[nodiscard]] int SendMessage(std::uint8_t message, std::string_view fields = {});
    void CreateForwards();
    void AcceptForward(int socket, std::uint32_t local_port, const std::string& host,
                       std::uint32_t port);
    SSH1ForwardChannel* FindChannel(std::uint32_t local_id);
    void ReapChannels();
    void StopChannels();

    // Closes the layer from inside the dispatcher; the dispatcher then returns the result.
    int CloseLayer(int result = status::kNotConnected);
    int Malformed(std::string_view message);
    void Show(std::string_view text);
    void Debug(std::string_view text);
    bool DebugOn() const;

    std::atomic<int> state_{kVersionExchange};
    std::atomic<bool> closed_{false};
    bool opened_ = false;
    int error_ = 0;  // the first error, which every later Receive returns

    VersionLineReader version_reader_;
    SSH1Framing framing_;
    Lock send_lock_;
    Lock receive_lock_;
    int cipher_ = ssh1::kCipherBlowfish;
    std::atomic<bool> host_in_forward_open_{false};
    int failures_ = 0;

    // Traffic filler: IGNORE messages at random intervals, so that an observer cannot tell
    // typing from silence.
    void StartFiller();
    int FillerMain();
    WorkerThread filler_;
    std::atomic<bool> filler_run_{false};
    std::mutex filler_mutex_;
    std::condition_variable filler_wake_;

    std::atomic<std::uint32_t> next_channel_{0};
    std::mutex channels_mutex_;
    std::vector<std::unique_ptr<SSH1ForwardChannel>> channels_;
    std::mutex listeners_mutex_;
    std::vector<std::unique_ptr<TcpAcceptor>> listeners_;
};

}  // namespace tarnwick
