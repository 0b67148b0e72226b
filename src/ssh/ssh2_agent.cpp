#include "ssh/ssh2_agent.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/known_hosts.h"
#include "core/status.h"
#include "crypto/wire.h"
#include "platform/user_interface.h"
#include "ssh/key_files.h"
#include "ssh/private_keys.h"
#include "ssh/ssh2.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

// A running agent that takes longer than this is taken as gone (it may be asking its own user).
constexpr std::chrono::seconds kAgentTimeout{30};

std::string Reply(std::uint8_t type) {
    return std::string(1, static_cast<char>(type));
}

// Waits for the socket to become readable or writable before the deadline.
bool Wait(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool WriteAll(int fd, const char* data, std::size_t length, Clock::time_point deadline) {
    while (length > 0) {
        if (!Wait(fd, POLLOUT, deadline)) return false;
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool ReadAll(int fd, char* data, std::size_t length, Clock::time_point deadline) {
    while (length > 0) {
        if (!Wait(fd, POLLIN, deadline)) return false;
        const ssize_t got = recv(fd, data, length, 0);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) return false;
        data += got;
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

std::string Describe(std::string_view blob, const std::string& comment) {
    PrivateKey key;
    const std::string type = PrivateKey::FromPublicBlob(blob, &key) ? key.AlgorithmName() : "?";
    std::string text =
        type + " " +
        FingerprintSha256(reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
    // A comment may come from the server itself (a key it asks to add): it must not be able to
    // drive a terminal that shows the question.
    if (!comment.empty()) text += " (" + PrintableText(comment.substr(0, 200)) + ")";
    return text;
}

const char* SignatureAlgorithm(const PrivateKey& key, std::uint32_t flags) {
    if (key.type == kKeyRSA) {
        if (flags & agent::kFlagRsaSha512) return "rsa-sha2-512";
        if (flags & agent::kFlagRsaSha256) return "rsa-sha2-256";
    }
    return key.AlgorithmName();
}

}  // namespace

// ---- The user's running agent ----

bool RunningAgent::Configured() {
    const char* path = std::getenv("SSH_AUTH_SOCK");
    return path != nullptr && *path != 0;
}

bool RunningAgent::Request(std::string_view request, std::string* reply) {
    const char* path = std::getenv("SSH_AUTH_SOCK");
    sockaddr_un address{};
    if (path == nullptr || *path == 0 || std::strlen(path) >= sizeof(address.sun_path) ||
        request.size() > agent::kMaxMessage) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, std::strlen(path));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const auto deadline = Clock::now() + kAgentTimeout;
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    std::string frame;
    WireWriter(frame).String(request);
    ok = ok && WriteAll(fd, frame.data(), frame.size(), deadline);
    char length[4];
    ok = ok && ReadAll(fd, length, 4, deadline);
    std::uint32_t size = 0;
    if (ok) {
        size = WireReader(length, 4).Uint32();
        ok = size > 0 && size <= agent::kMaxMessage;
    }
    if (ok) {
        reply->resize(size);
        ok = ReadAll(fd, reply->data(), size, deadline);
    }
    close(fd);
    return ok;
}

std::vector<RunningAgent::Identity> RunningAgent::Identities() {
    std::vector<Identity> identities;
    std::string reply;
    if (!Request(Reply(agent::kRequestIdentities), &reply)) return identities;
    WireReader in(reply);
    if (in.Byte() != agent::kIdentitiesAnswer) return identities;
    const std::uint32_t count = in.Uint32();
    for (std::uint32_t i = 0; i < count && !in.failed(); ++i) {
        Identity identity;
        identity.blob = in.String();
        identity.comment = in.String();
        if (!in.failed()) identities.push_back(std::move(identity));
    }
    return identities;
}

bool RunningAgent::Sign(std::string_view blob, std::string_view data, std::uint32_t flags,
                        std::string* signature) {
    std::string request, reply;
    WireWriter(request).Byte(agent::kSignRequest).String(blob).String(data).Uint32(flags);
    if (!Request(request, &reply)) return false;
    WireReader in(reply);
    if (in.Byte() != agent::kSignResponse) return false;
    const std::string_view blob_out = in.String();
    if (!in.done()) return false;
    signature->assign(blob_out);
    return true;
}

// ---- The protocol ----

AgentProtocol::AgentProtocol(std::string host) : host_(std::move(host)) {}

bool AgentProtocol::Feed(std::string_view data, std::string* replies) {
    if (broken_) return false;
    input_.append(data.data(), data.size());
    std::size_t at = 0;
    while (input_.size() - at >= 4) {
        const std::uint32_t length = WireReader(input_.data() + at, 4).Uint32();
        // Judged as soon as the length is there, so that nothing beyond the limit is held.
        if (length == 0 || length > agent::kMaxMessage) {
            broken_ = true;
            SecureWipe(input_.data(), input_.size());
            input_.clear();
            return false;
        }
        if (input_.size() - at - 4 < length) break;
        const std::string reply = Handle(std::string_view(input_.data() + at + 4, length));
        WireWriter(*replies).String(reply);
        at += 4 + length;
    }
    if (at > 0) {
        SecureWipe(input_.data(), at);
        input_.erase(0, at);
    }
    return true;
}

std::string AgentProtocol::Handle(std::string_view message) {
    const auto type = static_cast<std::uint8_t>(message[0]);
    const std::string_view fields = message.substr(1);
    switch (type) {
        case agent::kRequestRsaIdentities: {
            std::string reply = Reply(agent::kRsaIdentitiesAnswer);
            WireWriter(reply).Uint32(0);  // no protocol-1 keys
            return reply;
        }
        case agent::kRemoveRsaIdentity:
        case agent::kRemoveAllRsaIdentities:
            return Reply(agent::kSuccess);  // there is no protocol-1 key to remove
        case agent::kRequestIdentities:
            return Identities();
        case agent::kSignRequest:
            return Sign(fields);
        case agent::kAddIdentity:
            return Add(fields);
        case agent::kRemoveIdentity:
            return Remove(fields);
        case agent::kRemoveAllIdentities:
            return RemoveAll();
        default:
            // Protocol-1 keys, keys with constraints, smart cards, locking, extensions.
            return Reply(agent::kFailure);
    }
}

std::string AgentProtocol::Identities() {
    std::vector<RunningAgent::Identity> identities;
    std::set<std::string> listed;
    PrivateKeyList& list = PrivateKeyList::Instance();
    for (auto key = list.First(); key; key = list.Next()) {
        identities.push_back({key->PublicBlob(), key->comment});
        listed.insert(identities.back().blob);
    }
    list.End();
    if (RunningAgent::Configured()) {
        for (RunningAgent::Identity& identity : RunningAgent::Identities()) {
            if (listed.insert(identity.blob).second) identities.push_back(std::move(identity));
        }
    }
    std::string reply = Reply(agent::kIdentitiesAnswer);
    WireWriter out(reply);
    out.Uint32(static_cast<std::uint32_t>(identities.size()));
    for (const RunningAgent::Identity& identity : identities)
        out.String(identity.blob).String(identity.comment);
    return reply;
}

bool AgentProtocol::Allowed(const std::string& remember, const std::string& question) {
    if (allowed_.count(remember) != 0) return true;
    const int answer = Ui().AskMultipleChoice("Agent Forwarding", question,
                                              {"Allow once", "Allow for this session", "Refuse"});
    if (answer == 1) allowed_.insert(remember);
    return answer == 0 || answer == 1;
}

std::string AgentProtocol::Sign(std::string_view fields) {
    WireReader in(fields);
    const std::string_view blob = in.String();
    const std::string_view data = in.String();
    const std::uint32_t flags = in.left() >= 4 ? in.Uint32() : 0;
    if (!in.done()) return Reply(agent::kSsh2Failure);
    std::shared_ptr<const PrivateKey> key = PrivateKeyList::Instance().Find(blob);
    std::string comment;
    if (key) {
        comment = key->comment;
    } else {
        bool held = false;
        if (RunningAgent::Configured()) {
            for (const RunningAgent::Identity& identity : RunningAgent::Identities()) {
                if (identity.blob == blob) {
                    held = true;
                    comment = identity.comment;
                }
            }
        }
        if (!held) return Reply(agent::kSsh2Failure);
    }
    const std::string question = "The server " + host_ + " asks to sign with your key " +
                                 Describe(blob, comment) +
                                 ". Allow it only if you started something there that logs in "
                                 "elsewhere with your keys.";
    if (!Allowed("sign " + std::string(blob), question)) return Reply(agent::kSsh2Failure);

    std::string signature_blob;
    if (key) {
        const char* algorithm = SignatureAlgorithm(*key, flags);
        const SecureBytes signature =
            key->Sign(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), algorithm);
        if (signature.empty()) return Reply(agent::kSsh2Failure);
        WireWriter(signature_blob).String(algorithm).String(signature.data(), signature.size());
    } else if (!RunningAgent::Sign(blob, data, flags, &signature_blob)) {
        return Reply(agent::kSsh2Failure);
    }
    std::string reply = Reply(agent::kSignResponse);
    WireWriter(reply).String(signature_blob);
    return reply;
}

std::string AgentProtocol::Add(std::string_view fields) {
    WireReader in(fields);
    PrivateKey key;
    if (!ReadWireKey(in, &key)) return Reply(agent::kFailure);
    const std::string_view comment = in.String();
    if (!in.done()) return Reply(agent::kFailure);  // constraints are not kept
    key.comment.assign(comment);
    const std::string blob = key.PublicBlob();
    if (!Allowed("change", "The server " + host_ + " asks to add the key " +
                               Describe(blob, key.comment) +
                               " to the keys held for you (it could then use it for logins "
                               "from this computer).")) {
        return Reply(agent::kFailure);
    }
    PrivateKeyList::Instance().AddFromAgent(key);
    return Reply(agent::kSuccess);
}

std::string AgentProtocol::Remove(std::string_view fields) {
    WireReader in(fields);
    const std::string_view blob = in.String();
    if (!in.done()) return Reply(agent::kFailure);
    std::shared_ptr<const PrivateKey> key = PrivateKeyList::Instance().Find(blob);
    if (!key) return Reply(agent::kFailure);
    if (!Allowed("change", "The server " + host_ + " asks to remove your key " +
                               Describe(blob, key->comment) + " from the keys held for you.")) {
        return Reply(agent::kFailure);
    }
    return Reply(PrivateKeyList::Instance().Remove(blob) ? agent::kSuccess : agent::kFailure);
}

std::string AgentProtocol::RemoveAll() {
    if (!Allowed("change", "The server " + host_ +
                               " asks to remove every key held for you, keys loaded from "
                               "files included.")) {
        return Reply(agent::kFailure);
    }
    PrivateKeyList::Instance().RemoveAll();
    return Reply(agent::kSuccess);
}

// ---- The channel ----

SSH2AgentChannel::SSH2AgentChannel(IO_SSH2* owner, std::uint32_t local_id, std::string host)
    : SSH2Channel(owner, local_id, 0), protocol_(std::move(host)) {}

int SSH2AgentChannel::OnData(std::string_view data) {
    if (state() != kOpen) return status::kOk;
    std::string replies;
    const bool ok = protocol_.Feed(data, &replies);
    int result = status::kOk;
    if (!replies.empty()) {
        result = SendData(reinterpret_cast<const std::uint8_t*>(replies.data()), replies.size());
    }
    (void)Consumed(static_cast<std::uint32_t>(data.size()));
    if (!ok) {
        owner_->Debug(
            "The server sent an agent request beyond the protocol's limit; closing "
            "the agent channel\r\n");
        set_state(kFailed);
        (void)SendEof();
        (void)SendClose();
    }
    return result;
}

}  // namespace tarnwick
