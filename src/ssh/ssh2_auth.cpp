// IO_SSH2, user authentication: none first, then public key, keyboard-interactive (once per
// session, with S/Key answers) and password, as the server's failure messages allow.
#include <cstdio>
#include <string>
#include <vector>

#include "core/session_config.h"
#include "core/status.h"
#include "crypto/secure.h"
#include "crypto/skey.h"
#include "crypto/wire.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/user_interface.h"
#include "ssh/private_keys.h"
#include "ssh/ssh2.h"
#include "ssh/ssh2_agent.h"
#include "ssh/ssh2_algorithms.h"

namespace tarnwick {

namespace {

constexpr int kMaxPasswordPrompts = 5;
constexpr int kMaxCertificateLoads = 5;
// More prompts than this in one request are not a login dialogue.
constexpr std::uint32_t kMaxPrompts = 64;

constexpr const char* kSkeyPrompt = "Tarnwick detected S/Key. Enter your S/Key passphrase:";

// The answer to S/Key challenge n gives away every password above n for that seed (each is a
// hash of the one below). A server that asks for a low number, or far below the last one we
// answered, is after the rest of the chain; a huge number is hours of hashing.
constexpr int kSkeyMaxSequence = 10000;
constexpr int kSkeyLowSequence = 10;
constexpr int kSkeyMaxDrop = 10;
// The last sequence number answered, per seed.
constexpr const char* kSkeyStore = "Software\\Halvek\\Tarnwick\\skey_sequences";

struct WipedString {
    std::string text;
    ~WipedString() { SecureWipe(text.data(), text.capacity()); }
};

// Moves a secret out of the services' answer, wiping the answer's storage behind it.
WipedString TakeSecret(std::string& answer) {
    WipedString secret{answer};
    SecureWipe(answer.data(), answer.capacity());
    answer.clear();
    return secret;
}

// "otp-md5 <sequence> <seed> ext": the sequence number and a seed of up to 16 characters.
bool ParseOtpChallenge(std::string_view prompt, int* sequence, std::string* seed) {
    const std::string_view prefix = "otp-md5";
    if (prompt.substr(0, prefix.size()) != prefix) return false;
    std::size_t at = prefix.size();
    auto skip_blanks = [&] {
        while (at < prompt.size() && (prompt[at] == ' ' || prompt[at] == '\t' ||
                                      prompt[at] == '\n' || prompt[at] == '\r'))
            ++at;
    };
    skip_blanks();
    bool negative = false;
    if (at < prompt.size() && (prompt[at] == '-' || prompt[at] == '+'))
        negative = prompt[at++] == '-';
    std::size_t digits = at;
    long value = 0;
    while (at < prompt.size() && prompt[at] >= '0' && prompt[at] <= '9') {
        if (value < 100000000) value = value * 10 + (prompt[at] - '0');
        ++at;
    }
    if (at == digits) return false;
    skip_blanks();
    std::size_t start = at;
    while (at < prompt.size() && at - start < 16 && prompt[at] != ' ' && prompt[at] != '\t' &&
           prompt[at] != '\n' && prompt[at] != '\r')
        ++at;
    if (at == start) return false;
    *sequence = static_cast<int>(negative ? -value : value);
    // Seeds are not case-sensitive; the one-time password is computed from the lower-case form.
    seed->clear();
    for (char c : prompt.substr(start, at - start))
        seed->push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    return true;
}

// Asks the user before a risky S/Key challenge is answered; false when it must not be.
bool SkeySequenceAcceptable(int sequence, const std::string& seed) {
    char text[400];
    const std::string shown_seed = PrintableText(seed);
    if (sequence < 0 || sequence > kSkeyMaxSequence) {
        std::snprintf(text, sizeof text,
                      "The server asks for S/Key one-time password number %d for seed '%s'. "
                      "Only numbers from 0 to %d are answered.",
                      sequence, shown_seed.c_str(), kSkeyMaxSequence);
        Ui().ShowMessage("Warning", text);
        return false;
    }
    const std::optional<std::uint32_t> last = RegistryStore::Instance().GetDword(kSkeyStore, seed);
    const bool low = sequence < kSkeyLowSequence;
    const bool dropped = last && static_cast<std::int64_t>(sequence) + kSkeyMaxDrop <
                                     static_cast<std::int64_t>(*last);
    if (!low && !dropped) return true;
    char previous[80] = "";
    if (last) {
        std::snprintf(previous, sizeof previous, " (the last one answered was number %u)",
                      static_cast<unsigned>(*last));
    }
    std::snprintf(text, sizeof text,
                  "The server asks for S/Key one-time password number %d for seed '%s'%s. "
                  "Whoever learns this password can work out every password above number %d "
                  "for this seed. Answer it anyway?",
                  sequence, shown_seed.c_str(), previous, sequence);
    return Ui().AskYesNo("Warning", text);
}

}  // namespace

const char* IO_SSH2::ServiceName() const {
    return (quirks_ & m_pkservice_bug) ? "ssh-userauth" : "ssh-connection";
}

static const char* Setting(SessionConfig* config, setting::Narrow which) {
    const char* value = config != nullptr ? config->GetNarrow(which) : nullptr;
    return value != nullptr ? value : "";
}

int IO_SSH2::StartAuthentication() {
    auth_started_ = true;
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgUserauthRequest);
    packet->putCString(Setting(config_, setting::username));
    packet->putCString(ServiceName());
    packet->putCString("none");
    packet->finish();
    return sendPacket(*packet);
}

int IO_SSH2::OnUserauthFailure(SSHPacket& packet) {
    std::string_view methods;
    packet.getStringView(&methods);
    packet.getBoolean();  // partial success: not used
    if (packet.readFailed()) return Malformed("USERAUTH_FAILURE");
    kbdint_pending_ = false;
    auto listed = [&](const char* name) { return NameListHas(methods, name, true); };

    if (listed("publickey")) {
        const char16_t* certificate = config_->GetWide(setting::certificate_path);
        const bool chosen = certificate != nullptr && *certificate != 0;
        // A session that names its key offers that one only: every other loaded key would tell
        // each server the user logs into which keys the user has.
        if (chosen) chosen_key_only_ = true;
        if (chosen && pk_attempts_ == 0) {
            if (SendCertificate()) return status::kOk;
            Debug("Sending certificate failed\r\n");
            config_->SetWide(setting::certificate_path, nullptr);
            pk_attempts_ = 0;
        } else if (!chosen_key_only_) {
            PrivateKeyList& keys = PrivateKeyList::Instance();
            // The keys of the user's running agent come after our own, each offered once.
            if (pk_attempts_ == 0 && RunningAgent::Configured()) {
                agent_keys_.clear();
                for (RunningAgent::Identity& identity : RunningAgent::Identities()) {
                    if (!keys.Find(identity.blob)) agent_keys_.push_back(std::move(identity.blob));
                }
            }
            const std::size_t own = keys.Count();
            const auto attempt = static_cast<std::size_t>(pk_attempts_);
            if (attempt >= own + agent_keys_.size()) {
                Show("No appropriate certificates found\r\n");
            } else {
                ++pk_attempts_;
                if (attempt >= own) {
                    if (OfferAgentKey(agent_keys_[attempt - own])) return status::kOk;
                } else if (std::shared_ptr<const PrivateKey> key = keys.At(attempt)) {
                    if (OfferKey(*key)) return status::kOk;
                }
            }
        }
    }
    if (!kbdint_tried_ && listed("keyboard-interactive")) {
        kbdint_tried_ = true;
        PooledPacket request(*this);
        if (request) {
            request->beginPayload();
            request->putByte(kMsgUserauthRequest);
            request->putCString(Setting(config_, setting::username));
            request->putCString(ServiceName());
            request->putCString("keyboard-interactive");
            request->putCString("en-US");
            request->putCString("");
            request->finish();
            int result = sendPacket(*request);
            if (result == status::kOk) {
                kbdint_pending_ = true;
                return status::kOk;
            }
        }
        Debug("Sending keyboard-interactive failed\r\n");
    }
    if (listed("password")) return SendPassword();
    return status::kNoAuthMethodLeft;
}

int IO_SSH2::SendPassword() {
    Debug("Attempting to send password\r\n");
    ++password_attempts_;
    if (password_attempts_ > kMaxPasswordPrompts) {
        Debug("Too many password retries\r\n");
        return CloseLayer();
    }
    const char* user = Setting(config_, setting::username);
    const char* host = Setting(config_, setting::hostname);
    std::string prompt = std::string("Password ") + (password_attempts_ > 1 ? "(incorrect) " : "") +
                         "for " + user + " on host " + host + ":";
    std::optional<std::string> answer = Ui().Prompt(prompt, "", true);
    if (!answer) {
        Debug("Connection canceled by user.\r\n");
        return CloseLayer();
    }
    WipedString password = TakeSecret(*answer);
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgUserauthRequest);
    packet->putCString(user);
    packet->putCString(ServiceName());
    packet->putCString("password");
    packet->putBoolean(false);
    packet->putString(password.text);
    packet->finish();
    packet->fullFlush = true;
    int result = sendPacket(*packet);
    // The packet's bytes are encrypted in place when sent; without a cipher they are cleared.
    SecureWipe(packet->data(), packet->capacity());
    return result;
}

bool IO_SSH2::SendCertificate() {
    ++pk_attempts_;
    Debug("Sending user certificate...\r\n");
    const char16_t* wide = config_->GetWide(setting::certificate_path);
    const std::string path = wide != nullptr ? Utf16ToUtf8(wide) : std::string();
    PrivateKeyList& keys = PrivateKeyList::Instance();
    if (!keys.Holds(path)) {
        Debug("Getting certificate from filesystem\r\n");
        int loads = 1;
        int result = keys.Load(path);
        while (result == kKeyInvalid && loads < kMaxCertificateLoads) {
            Debug("Certificate invalid, retrying\r\n");
            result = keys.Load(path);
            ++loads;
        }
    }
    std::shared_ptr<const PrivateKey> key = keys.Get(path);
    if (key) {
        if (OfferKey(*key)) return true;
        Debug("Unable to send certificate\r\n");
        return false;
    }
    Debug("Unable to get certificate, bailing out\r\n");
    return false;
}

bool IO_SSH2::OfferKey(const PrivateKey& key) {
    const std::string blob = key.PublicBlob();
    if (blob.empty()) return false;
    // An RSA key signs with SHA-2 where the server said it takes that: today's servers refuse
    // the SHA-1 "ssh-rsa" signatures.
    const char* algorithm = key.SignatureAlgorithm(server_sig_algs_);
    return OfferSigned(blob, algorithm, [&](const std::uint8_t* data, std::size_t length) {
        return key.Sign(data, length, algorithm);
    });
}

bool IO_SSH2::OfferAgentKey(const std::string& blob) {
    PrivateKey key;
    if (!PrivateKey::FromPublicBlob(blob, &key)) return false;
    const char* algorithm = key.SignatureAlgorithm(server_sig_algs_);
    const std::string_view name = algorithm;
    const std::uint32_t flags = name == "rsa-sha2-512"   ? agent::kFlagRsaSha512
                                : name == "rsa-sha2-256" ? agent::kFlagRsaSha256
                                                         : 0;
    return OfferSigned(blob, algorithm, [&](const std::uint8_t* data, std::size_t length) {
        std::string signature_blob;
        if (!RunningAgent::Sign(blob, std::string_view(reinterpret_cast<const char*>(data), length),
                                flags, &signature_blob)) {
            return SecureBytes();
        }
        WireReader in(signature_blob);
        const std::string_view used = in.String();
        const std::string_view signature = in.String();
        // An agent that signed with another algorithm than the one named would be refused.
        if (!in.done() || used != name) return SecureBytes();
        return SecureBytes(signature.begin(), signature.end());
    });
}

bool IO_SSH2::OfferSigned(
    const std::string& blob, const char* algorithm,
    const std::function<SecureBytes(const std::uint8_t*, std::size_t)>& sign) {
    const char* user = Setting(config_, setting::username);
    const bool pkauth_bug = (quirks_ & m_pkauth_bug) != 0;

    SSHPacket data(1024);
    const auto id_length = static_cast<std::uint32_t>(session_id_length_);
    if (quirks_ & m_pkok_bug) {
        data.putBytes(session_id_, id_length);
    } else {
        data.putString(session_id_, id_length);
    }
    data.putByte(kMsgUserauthRequest);
    data.putCString(user);
    data.putCString(ServiceName());
    if (!pkauth_bug) data.putCString("publickey");
    data.putBoolean(true);
    if (!pkauth_bug) data.putCString(algorithm);
    data.putString(blob);
    SecureBytes signature = sign(data.data(), data.position());
    if (signature.empty()) return false;

    SSHPacket signature_blob(1024);
    if (quirks_ & m_rawsig_bug) {
        signature_blob.putBytes(signature.data(), static_cast<std::uint32_t>(signature.size()));
    } else {
        signature_blob.putCString(algorithm);
        signature_blob.putString(signature.data(), static_cast<std::uint32_t>(signature.size()));
    }
    PooledPacket packet(*this);
    if (!packet) return false;
    packet->beginPayload();
    packet->putByte(kMsgUserauthRequest);
    packet->putCString(user);
    packet->putCString(ServiceName());
    if (!pkauth_bug) packet->putCString("publickey");
    packet->putBoolean(true);
    if (!pkauth_bug) packet->putCString(algorithm);
    packet->putString(blob);
    packet->putString(signature_blob.data(), signature_blob.position());
    packet->finish();
    return sendPacket(*packet) == status::kOk;
}

int IO_SSH2::OnUserauthInfoRequest(SSHPacket& packet) {
    packet.skipString();  // name
    packet.skipString();  // instruction
    packet.skipString();  // language
    const std::uint32_t count = packet.getUint32();
    if (packet.readFailed() || count > kMaxPrompts) return Malformed("USERAUTH_INFO_REQUEST");
    std::vector<WipedString> answers;
    answers.reserve(count);
    bool skey = false;
    int sequence = 0;
    int skey_answered = -1;
    std::string seed;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view prompt;
        packet.getStringView(&prompt);
        const bool echo = packet.getBoolean();
        if (packet.readFailed()) return Malformed("USERAUTH_INFO_REQUEST");
        int parsed_sequence = 0;
        std::string parsed_seed;
        if (ParseOtpChallenge(prompt, &parsed_sequence, &parsed_seed)) {
            skey = true;
            sequence = parsed_sequence;
            seed = parsed_seed;
            // Each challenge is judged before the pass phrase is asked for.
            if (!SkeySequenceAcceptable(sequence, seed)) break;
        }
        std::optional<std::string> answer =
            Ui().Prompt(skey ? std::string(kSkeyPrompt) : std::string(prompt), "", !echo);
        if (!answer) break;
        WipedString entered = TakeSecret(*answer);
        if (skey) {
            // The pass phrase never leaves: only the one-time password computed from it does.
            std::uint8_t otp[8];
            WipedString words;
            if (SkeyCompute(sequence, seed, entered.text, otp)) SkeyToWords(otp, &words.text);
            SecureWipe(otp, sizeof otp);
            skey_answered = sequence;
            answers.push_back(std::move(words));
        } else {
            answers.push_back(std::move(entered));
        }
    }
    PooledPacket response(*this);
    if (!response) return status::kOutOfMemory;
    response->beginPayload();
    response->putByte(kMsgUserauthInfoResponse);
    response->putUint32(static_cast<std::uint32_t>(answers.size()));
    for (const WipedString& answer : answers)
        response->putString(answer.text);
    response->finish();
    response->fullFlush = true;
    int result = sendPacket(*response);
    if (result == status::kOk && skey_answered >= 0) {
        RegistryStore::Instance().SetDword(kSkeyStore, seed,
                                           static_cast<std::uint32_t>(skey_answered));
    }
    SecureWipe(response->data(), response->capacity());
    return result;
}

int IO_SSH2::OnUserauthBanner(SSHPacket& packet) {
    std::string_view message;
    packet.getStringView(&message);
    packet.skipString();  // language
    if (packet.readFailed()) return Malformed("USERAUTH_BANNER");
    if (upper_ == nullptr) return status::kOk;
    // Every line end reaches the terminal as CR LF, whichever form the server used; other
    // control characters, 7-bit and 8-bit, are dropped so the banner cannot drive the terminal.
    for (std::size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n') {
            upper_->ReceiveByte('\n');
            if (i == 0 || message[i - 1] != '\r') upper_->ReceiveByte('\r');
        } else if (c == '\r') {
            upper_->ReceiveByte('\r');
            if (i + 1 >= message.size() || message[i + 1] != '\n') upper_->ReceiveByte('\n');
        } else if ((u >= 0x20 && u != 0x7f && (u < 0x80 || u >= 0xa0)) || c == '\t') {
            // 0x80 to 0x9f are control characters too: a VT240 obeys them as CSI, DCS and the
            // like, so a banner could make the terminal answer or reconfigure itself.
            upper_->ReceiveByte(c);
        }
    }
    return status::kOk;
}

int IO_SSH2::OnUserauthSuccess(SSHPacket&) {
    Debug("Authentication successful\r\n");
    authenticated_ = true;
    kbdint_pending_ = false;
    // "zlib@openssh.com": everything after the success message is compressed, both ways.
    if (compress_in_delayed_) StartDecompression();
    if (compress_out_delayed_) {
        LockHolder hold(send_lock_);
        StartCompressionLocked();
    }
    int result = status::kOk;
    if (!session_channel_ && want_interactive_) result = OpenSessionChannel();
    if (result != status::kOk) return result;
    if (forwards_created_) {
        if (!want_interactive_) EnterConnected();
        return status::kOk;
    }
    CreateForwards();
    if (!want_interactive_) EnterConnected();
    return status::kOk;
}

}  // namespace tarnwick
