// A small SSH2 server for the unit tests, built on our own packet, framing and crypto code. It
// does what a real server does (version line, KEXINIT, the finite-field, elliptic-curve and
// Curve25519 exchanges, RSA/DSA/Ed25519 host keys, strict key exchange, NEWKEYS, the
// user-authentication and connection messages the tests need) and, unlike a real server, can be
// told to do what real servers never do: quirky version strings, banners, raw signatures, bad MACs,
// oversized packets, messages slipped into the key exchange, X11 channel opens, DISCONNECT with any
// reason.
//
// It does no I/O: FromClient takes the client's bytes, TakeOutput gives the bytes for the client.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/random_generator.h"
#include "crypto/secure.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_framing.h"
#include "ssh/ssh_packet.h"

namespace tarnwick::testing {

// Helpers to build and read payloads.
std::uint32_t U32At(const std::string& s, std::size_t at);
std::string U32(std::uint32_t v);
std::string Str(std::string_view s);
std::string Mpint(const BigNum& n);
std::string Byte(std::uint8_t b);

// The host keys of the test server as SSH blobs.
std::string RsaHostBlob();
std::string DsaHostBlob();
std::string Ed25519HostBlob();

class TestServer {
  public:
    struct Options {
        std::string before_version;  // lines sent ahead of the version line
        std::string version = "SSH-2.0-TestServer_1.0";
        std::string kex = "diffie-hellman-group1-sha1";
        std::string hostkeys = "ssh-rsa,ssh-dss";
        std::string ciphers = "aes128-cbc,aes256-cbc,aes192-cbc,3des-cbc,blowfish-cbc";
        std::string macs = "hmac-sha1,hmac-md5";
        std::string compression = "none";
        // "kex-strict-s-v00@openssh.com" is added to the key exchanges.
        bool strict_kex = false;
        // The group the server offers in a group exchange (default: the group-1 prime).
        std::optional<BigNum> gex_p;
        bool old_gex = false;        // expects the old one-number request
        bool raw_signature = false;  // signature without name and string wrapper
        bool corrupt_signature = false;
        bool send_kexinit_first = true;
        std::string auth_methods = "password";
        std::string password = "secret";
        // Keyboard-interactive: the prompts (text, echo) and the answers that succeed.
        std::vector<std::pair<std::string, bool>> prompts;
        std::vector<std::string> answers;
        std::string banner;          // USERAUTH_BANNER sent before the first failure
        std::string authorized_key;  // the one public-key blob that logs in
        std::uint32_t channel_window = 1 << 20;
        std::uint32_t channel_max_packet = 32768;
        bool refuse_pty = false;
        // Payloads sent right after the key-exchange reply, before NEWKEYS.
        std::vector<std::string> after_reply;
        std::optional<BigNum> forced_f;     // sent instead of the real f
        bool newkeys_after_client = false;  // NEWKEYS only once the client's has arrived
        std::string host_key_blob;          // sent instead of the real host key
        // KEXINIT says a guessed key-exchange packet follows, and this payload follows it.
        std::string guessed_packet;
    };

    TestServer();
    explicit TestServer(Options options);

    // ---- The wire ----
    void FromClient(const std::uint8_t* data, std::size_t length);
    void FromClient(const std::string& bytes) {
        FromClient(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::string TakeOutput();

    // Frames a payload with the server's current keys and queues it for the client.
    void Send(const std::string& payload);
    // CHANNEL_DATA on one of the server's channels, counted against the window the client gave.
    void SendChannelData(std::uint32_t server_channel, const std::string& data);
    // Frames a payload and spoils its MAC.
    void SendWithBadMac(const std::string& payload);
    // Queues raw bytes (a forged packet, say).
    void SendRaw(const std::string& bytes) { output_ += bytes; }
    // Starts a new key exchange (a re-key) from the server side.
    void StartRekey();

    // ---- What happened ----
    Options& options() { return options_; }
    const std::string& client_version() const { return client_version_; }
    bool keys_in_force() const { return incoming_keys_; }
    bool authenticated() const { return authenticated_; }
    int kex_count() const { return kex_count_; }
    const std::uint8_t* session_id() const { return session_id_; }
    // Every payload received from the client, in order (after the version line).
    const std::vector<std::string>& received() const { return received_; }
    std::vector<std::string> ReceivedOfType(std::uint8_t message) const;
    // The user-authentication requests: method name and the rest of the request.
    const std::vector<std::string>& auth_methods_tried() const { return auth_methods_tried_; }
    const std::vector<std::string>& passwords() const { return passwords_; }
    const std::vector<std::vector<std::string>>& info_responses() const { return info_responses_; }
    const std::vector<std::string>& publickey_requests() const { return publickey_requests_; }
    // Session channel: the client's number, requests by name, data received.
    std::uint32_t client_channel() const { return client_channel_; }
    const std::vector<std::string>& channel_requests() const { return channel_requests_; }
    std::string channel_data(std::uint32_t server_channel) const;
    std::string pty_modes() const { return pty_modes_; }
    std::string pty_term() const { return pty_term_; }
    std::uint32_t pty_columns() const { return pty_columns_; }
    std::uint32_t pty_rows() const { return pty_rows_; }
    std::uint32_t client_window(std::uint32_t server_channel) const;
    std::uint32_t client_max_packet(std::uint32_t server_channel) const;
    // The incoming framing status: 0, or the status of the first failure.
    int error() const { return error_; }
    // The server's number of the session channel.
    static constexpr std::uint32_t kSessionChannel = 100;

    // Called for every payload after the key exchange that the server does not handle itself;
    // return true to stop the default handling.
    std::function<bool(const std::string& payload)> on_message;

  private:
    void Handle(SSHPacket& packet);
    void HandleKex(std::uint8_t message, SSHPacket& packet);
    void HandleAuth(SSHPacket& packet);
    void HandleConnection(std::uint8_t message, SSHPacket& packet);
    void SendKexInit();
    void SendReply(std::uint8_t message);
    const KexInfo* Kex() const;
    // K and the server's value of an elliptic-curve or hybrid exchange; false for a bad q_c.
    bool AgreeEcdh(std::string* q_s);
    void SendNewKeys();
    void Succeed();
    void InstallOutgoing();
    void InstallIncoming();

    Options options_;
    RandomGenerator random_;
    SSH2Framing in_;
    SSH2Framing out_;
    std::string output_;
    std::string version_buffer_;
    std::string client_version_;
    bool version_done_ = false;
    std::string i_s_, i_c_;
    std::string cipher_, mac_, compression_in_, compression_out_, hostkey_;
    std::string kex_name_;
    std::string client_kex_list_;
    bool strict_ = false;
    BigNum p_, g_, e_, f_, y_;
    std::string q_c_;
    SecureBytes k_;
    std::uint8_t h_[64] = {};
    std::uint8_t session_id_[64] = {};
    std::size_t session_id_length_ = 20;
    bool have_session_id_ = false;
    bool kexinit_sent_ = false;
    bool newkeys_owed_ = false;
    bool incoming_keys_ = false;
    int kex_count_ = 0;
    bool authenticated_ = false;
    bool banner_sent_ = false;
    int error_ = 0;
    std::vector<std::string> received_;
    std::vector<std::string> auth_methods_tried_;
    std::vector<std::string> passwords_;
    std::vector<std::vector<std::string>> info_responses_;
    std::vector<std::string> publickey_requests_;
    std::uint32_t client_channel_ = 0xffffffffu;
    std::vector<std::string> channel_requests_;
    std::string pty_modes_, pty_term_;
    std::uint32_t pty_columns_ = 0, pty_rows_ = 0;
    struct Channel {
        std::uint32_t client_id = 0;
        std::uint32_t client_window = 0;
        std::uint32_t client_max_packet = 0;
        std::string data;
    };
    std::map<std::uint32_t, Channel> channels_;
    std::uint32_t next_server_channel_ = kSessionChannel;
};

}  // namespace tarnwick::testing
