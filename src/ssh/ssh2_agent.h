// Agent forwarding: the client answers the agent protocol for the server it is logged into, so
// that programs there can log in elsewhere with the user's keys. The server opens an
// "auth-agent@openssh.com" channel (only when the session asked for forwarding, which is off by
// default) and sends requests; replies come from the process-wide key list and, when
// SSH_AUTH_SOCK is set, from the user's own running agent.
//
// Whoever controls the server can send any request, so the user decides: every signature is
// asked for (host, key, "Allow once" / "Allow for this session" / "Refuse"), keys are added or
// removed only when the user allows it, and a request longer than the protocol's 256 KiB ends the
// channel.
//
//   AgentProtocol agent("server.example");
//   std::string replies;
//   if (!agent.Feed(bytes_from_channel, &replies)) close the channel;
//   send(replies);
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/secure.h"
#include "ssh/ssh2_channel.h"

namespace tarnwick {

namespace agent {
// Requests.
inline constexpr std::uint8_t kRequestRsaIdentities = 1;
inline constexpr std::uint8_t kAddRsaIdentity = 7;
inline constexpr std::uint8_t kRemoveRsaIdentity = 8;
inline constexpr std::uint8_t kRemoveAllRsaIdentities = 9;
inline constexpr std::uint8_t kRequestIdentities = 11;
inline constexpr std::uint8_t kSignRequest = 13;
inline constexpr std::uint8_t kAddIdentity = 17;
inline constexpr std::uint8_t kRemoveIdentity = 18;
inline constexpr std::uint8_t kRemoveAllIdentities = 19;
// Replies.
inline constexpr std::uint8_t kRsaIdentitiesAnswer = 2;
inline constexpr std::uint8_t kFailure = 5;
inline constexpr std::uint8_t kSuccess = 6;
inline constexpr std::uint8_t kIdentitiesAnswer = 12;
inline constexpr std::uint8_t kSignResponse = 14;
inline constexpr std::uint8_t kSsh2Failure = 30;
// Sign request flags: RSA keys sign with SHA-256 or SHA-512.
inline constexpr std::uint32_t kFlagRsaSha256 = 2;
inline constexpr std::uint32_t kFlagRsaSha512 = 4;
// The longest message either side may send.
inline constexpr std::size_t kMaxMessage = 256 * 1024;
}  // namespace agent

// The user's own running agent, reached through the socket SSH_AUTH_SOCK names, one request at a
// time. Every call connects afresh, so an agent started or stopped meanwhile is seen.
class RunningAgent {
  public:
    struct Identity {
        std::string blob;
        std::string comment;
    };

    // True when SSH_AUTH_SOCK names a socket path.
    static bool Configured();
    // One request (type and fields, without the length) and the agent's reply likewise; false
    // when the agent cannot be reached, does not answer within a few seconds, or answers beyond
    // the protocol's limits.
    static bool Request(std::string_view request, std::string* reply);
    // The agent's keys (none when it cannot be reached).
    static std::vector<Identity> Identities();
    // A signature blob (string algorithm, string signature) over data; false on refusal.
    static bool Sign(std::string_view blob, std::string_view data, std::uint32_t flags,
                     std::string* signature);
};

// The protocol engine, without a channel: what the server sends in, what goes back out.
class AgentProtocol {
  public:
    // host: the server, as the user knows it, for the questions.
    explicit AgentProtocol(std::string host);

    // Takes bytes from the server and answers every complete request into replies (each framed
    // with its length). False when the server broke the protocol (a message longer than
    // agent::kMaxMessage, or empty): nothing more is to be read and the channel is to end.
    bool Feed(std::string_view data, std::string* replies);

  private:
    std::string Handle(std::string_view message);
    std::string Sign(std::string_view fields);
    std::string Add(std::string_view fields);
    std::string Remove(std::string_view fields);
    std::string RemoveAll();
    std::string Identities();
    // Asks the user; "Allow for this session" is remembered under the given key.
    bool Allowed(const std::string& remember, const std::string& question);

    std::string host_;
    SecureString input_;
    bool broken_ = false;
    std::set<std::string> allowed_;  // what the user allowed for the rest of the session
};

// The channel the server opens for the agent.
class SSH2AgentChannel final : public SSH2Channel {
  public:
    SSH2AgentChannel(IO_SSH2* owner, std::uint32_t local_id, std::string host);
    int OnData(std::string_view data) override;

  private:
    AgentProtocol protocol_;
};

}  // namespace tarnwick
