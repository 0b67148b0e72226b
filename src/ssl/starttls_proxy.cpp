#include "ssl/starttls_proxy.h"

#include "core/session_config.h"
#include "ssl/ssl.h"

namespace tarnwick {

namespace {

struct ProtocolRow {
    int protocol;
    const char* name;
    const char* greeting;  // what the greeting begins with ("" for SMTP: a 2xx code)
    const char* command;
    const char* answer;  // what the positive answer begins with
};

constexpr ProtocolRow kProtocols[] = {
    {IO_STARTTLSProxy::kSmtp, "SMTP", "", "STARTTLS\r\n", ""},
    {IO_STARTTLSProxy::kPop3, "POP3", "+OK", "STLS\r\n", "+OK"},
    {IO_STARTTLSProxy::kImap, "IMAP", "* OK", "tnwk STARTTLS\r\n", "tnwk OK"},
};

const ProtocolRow* FindProtocol(int protocol) {
    for (const ProtocolRow& row : kProtocols) {
        if (row.protocol == protocol) return &row;
    }
    return nullptr;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// text begins with prefix, letters compared without regard to case, and the prefix is a whole
// word: what follows is a blank, a line end or nothing ("+OK" but not "+OKAY").
bool BeginsWithWord(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Upper(text[i]) != Upper(prefix[i])) return false;
    }
    if (text.size() == prefix.size()) return true;
    const char next = text[prefix.size()];
    return next == ' ' || next == '\r' || next == '\n';
}

// The first line of a reply with its control characters shown as "?", for a message.
std::string FirstLine(std::string_view reply) {
    std::string line;
    for (char c : reply) {
        if (c == '\r' || c == '\n' || line.size() >= 200) break;
        const auto byte = static_cast<unsigned char>(c);
        line.push_back(byte < 0x20 || byte == 0x7f ? '?' : c);
    }
    return line;
}

}  // namespace

IO_STARTTLSProxy::IO_STARTTLSProxy() : IO(kLayerSTARTTLSProxy, "STARTTLS Proxy") {}

IO_STARTTLSProxy::~IO_STARTTLSProxy() {
    SecureWipe(pending_.data(), pending_.size());
}

int IO_STARTTLSProxy::Protocol() const {
    return config_ != nullptr ? config_->GetInt(setting::tls_proxy_type) : -1;
}

int IO_STARTTLSProxy::Open(SessionConfig* config) {
    AttachConfig(config);
    if (lower_ == nullptr) return status::kNoLowerLayer;
    return lower_->Open(config);
}

void IO_STARTTLSProxy::Close() {
    if (lower_ != nullptr) lower_->Close();
}

int IO_STARTTLSProxy::IsLinkUp() {
    return lower_ != nullptr && lower_->IsLinkUp() ? 1 : 0;
}

int IO_STARTTLSProxy::IsConnected() {
    IO_SSL* ssl = ssl_.load();
    return tls_active_.load() && ssl != nullptr && ssl->IsConnected() ? 1 : 0;
}

int IO_STARTTLSProxy::Display(const std::uint8_t* data, int length) {
    return DisplayUp(data, length);
}

bool IO_STARTTLSProxy::ReplyComplete(std::size_t* end) const {
    std::size_t start = 0;
    for (;;) {
        const std::size_t newline = reply_.find('\n', start);
        if (newline == std::string::npos) return false;
        const std::string_view line(reply_.data() + start, newline + 1 - start);
        start = newline + 1;
        bool last = true;
        if (Protocol() == kSmtp) {
            // RFC 5321 4.2.1: every line but the last has a hyphen after the code.
            last = !(line.size() > 3 && line[3] == '-');
        } else if (Protocol() == kImap && phase_ == Phase::kAnswer) {
            // Untagged lines may come before the tagged completion (RFC 3501 7).
            last = !line.starts_with("* ");
        }
        if (last) {
            *end = start;
            return true;
        }
    }
}

int IO_STARTTLSProxy::Refuse(const std::string& what, std::string_view reply) {
    phase_ = Phase::kRefused;
    const std::string line = what + (reply.empty() ? "" : ": " + FirstLine(reply)) + "\r\n";
    DisplayUp(reinterpret_cast<const std::uint8_t*>(line.data()), static_cast<int>(line.size()));
    return status::kProtocolError;
}

int IO_STARTTLSProxy::Receive(const std::uint8_t* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) return status::kNothingToDo;
    if (phase_ == Phase::kTls) {
        return upper_ != nullptr ? upper_->Receive(data, length) : status::kOk;
    }
    if (phase_ == Phase::kRefused) return status::kProtocolError;
    reply_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    std::size_t end = 0;
    if (!ReplyComplete(&end)) {
        if (reply_.size() > kMaxReply) {
            return Refuse(
                "The server's " +
                    std::string(phase_ == Phase::kGreeting ? "greeting" : "answer to STARTTLS") +
                    " is too long; disconnecting",
                "");
        }
        return status::kOk;
    }
    const std::string reply = reply_.substr(0, end);
    const bool more = end < reply_.size();
    reply_.clear();
    if (phase_ == Phase::kGreeting) {
        // The server speaks only when spoken to: more text before the command would be
        // answered as if it were the answer.
        if (more) return Refuse("The server sent more than its greeting; disconnecting", reply);
        return OnGreeting(reply);
    }
    if (more) {
        // Whatever follows the answer before the handshake did not come through TLS: a
        // plaintext injection that must reach neither TLS nor the client.
        return Refuse(
            "The server sent data between its STARTTLS answer and the TLS handshake; "
            "disconnecting",
            "");
    }
    return OnAnswer(reply);
}

int IO_STARTTLSProxy::OnGreeting(std::string_view reply) {
    const ProtocolRow* row = FindProtocol(Protocol());
    if (row == nullptr) return Refuse("No mail protocol is chosen for the STARTTLS proxy", "");
    const bool accepted =
        row->protocol == kSmtp ? reply[0] == '2' : BeginsWithWord(reply, row->greeting);
    if (!accepted) {
        return Refuse(std::string("The ") + row->name + " server's greeting was refused", reply);
    }
    if (lower_ != nullptr) {
        int result;
        {
            LockHolder hold(send_lock_);
            result = lower_->SendString(row->command);
        }
        if (result != status::kOk) return result;
    }
    phase_ = Phase::kAnswer;
    if (upper_ != nullptr) {
        // The IMAP greeting may list capabilities (STARTTLS, LOGINDISABLED) that are not the
        // client's business: it gets a plain one.
        const std::string_view greeting = row->protocol == kImap ? "* OK\r\n" : reply;
        const int result = upper_->Receive(reinterpret_cast<const std::uint8_t*>(greeting.data()),
                                           static_cast<int>(greeting.size()));
        if (result != status::kOk) return result;
    }
    return status::kOk;
}

int IO_STARTTLSProxy::OnAnswer(std::string_view reply) {
    const ProtocolRow* row = FindProtocol(Protocol());
    if (row == nullptr) return Refuse("No mail protocol is chosen for the STARTTLS proxy", "");
    std::string_view last = reply;
    if (row->protocol == kImap) {
        // The tagged line is the last one.
        const std::size_t before = reply.rfind('\n', reply.size() - 2);
        if (before != std::string_view::npos) last = reply.substr(before + 1);
    }
    const bool accepted =
        row->protocol == kSmtp ? reply[0] == '2' : BeginsWithWord(last, row->answer);
    if (!accepted) return Refuse(std::string("The server refused STARTTLS"), last);
    return StartTls();
}

int IO_STARTTLSProxy::StartTls() {
    auto* ssl = new IO_SSL();
    int result;
    {
        LockHolder hold(send_lock_);
        result = InsertBelow(ssl);
        if (result != status::kOk) {
            delete ssl;
            return result;
        }
        ssl->SetSession(GetSession());
        ssl_.store(ssl);
        phase_ = Phase::kTls;
    }
    // Opening sends ClientHello over the connection that is already there.
    result = ssl->Open(config_);
    if (result != status::kOk) return result;
    LockHolder hold(send_lock_);
    tls_active_.store(true);
    // The TLS layer holds these until its handshake is complete.
    return FlushLocked();
}

int IO_STARTTLSProxy::FlushLocked() {
    if (pending_.empty()) return status::kOk;
    const int result = lower_ != nullptr
                           ? lower_->Send(reinterpret_cast<const std::uint8_t*>(pending_.data()),
                                          static_cast<int>(pending_.size()))
                           : status::kNoLowerLayer;
    SecureWipe(pending_.data(), pending_.size());
    pending_.clear();
    return result;
}

int IO_STARTTLSProxy::Send(const std::uint8_t* data, int length) {
    if (length < 0 || (data == nullptr && length > 0)) return status::kNothingToDo;
    LockHolder hold(send_lock_);
    if (!tls_active_.load()) {
        if (pending_.size() + static_cast<std::size_t>(length) > kMaxPending) {
            return status::kOutOfMemory;
        }
        pending_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
        return status::kOk;
    }
    const int flushed = FlushLocked();
    if (flushed != status::kOk || length == 0) return flushed;
    if (lower_ == nullptr) return status::kNoLowerLayer;
    return lower_->Send(data, length);
}

}  // namespace tarnwick
