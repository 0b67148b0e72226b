// IO_SSH2, key exchange: the server's KEXINIT and our choices, our KEXINIT (with the strict key
// exchange and EXT_INFO markers on the first one), the exchange of each family with its workers,
// the host-key check, NEWKEYS in both directions, compression and the client's re-key.
#include <algorithm>
#include <cstring>

#include "core/known_hosts.h"
#include "core/session_config.h"
#include "core/status.h"
#include "crypto/diffie_hellman.h"
#include "crypto/random_generator.h"
#include "crypto/sha2.h"
#include "crypto/sntrup761.h"
#include "ssh/ssh2.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_kex.h"

namespace tarnwick {

namespace {

// The markers of the first KEXINIT: we take EXT_INFO, and we do strict key exchange.
constexpr const char* kExtInfoClient = "ext-info-c";
constexpr const char* kStrictKexClient = "kex-strict-c-v00@openssh.com";
constexpr const char* kStrictKexServer = "kex-strict-s-v00@openssh.com";
constexpr const char* kDelayedZlib = "zlib@openssh.com";

template <typename Table>
const char* NameOf(const Table& table, int id) {
    for (const auto& info : table) {
        if (info.id == id) return info.name;
    }
    return nullptr;
}

std::string_view View(const std::uint8_t* bytes, std::size_t length) {
    return std::string_view(reinterpret_cast<const char*>(bytes), length);
}

const BigNum* FixedGroupPrime(int group) {
    switch (group) {
        case 1:
            return &DhGroup1Prime();
        case 14:
            return &DhGroup14Prime();
        case 16:
            return &DhGroup16Prime();
        case 18:
            return &DhGroup18Prime();
        default:
            return nullptr;
    }
}

}  // namespace

const KexInfo& IO_SSH2::Kex() const {
    const KexInfo* info = FindKex(kex_id_);
    return info != nullptr ? *info : KexTable()[0];
}

int IO_SSH2::ExponentPercentage() const {
    // A session file may hold any number; below a quarter of the group's size the secret
    // exponent gets short enough to be searched by anyone who records the exchange.
    return std::clamp(config_->GetInt(setting::ssh2_random_generator_percentage), 25, 100);
}

bool IO_SSH2::NoCommon(const char* what, std::string_view offered) {
    // Whatever the debug setting: otherwise a user whose server has moved on sees only
    // "Disconnected" and cannot tell why.
    constexpr std::size_t kMaxShown = 600;
    std::string list = PrintableText(offered.substr(0, kMaxShown));
    if (offered.size() > kMaxShown) list += "...";
    Show(std::string("The server offers no ") + what +
         " this client supports; it offers: " + (list.empty() ? "nothing" : list) + "\r\n");
    Close();
    return false;
}

int IO_SSH2::NoCommonAlgorithm(const char* what, std::string_view offered) {
    NoCommon(what, offered);
    return status::kNotConnected;
}

int IO_SSH2::ChooseHostKey(std::string_view server_list) {
    // A host whose key of one type we know proves itself with that type when it can: a key of
    // another type could not be checked against anything.
    const char* host = config_->GetNarrow(setting::hostname);
    const std::vector<std::string> stored =
        KnownKeyTypes(kSpaceSSH2, host != nullptr ? host : "", config_->GetInt(setting::portnum));
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
    const CipherInfo* cipher = FindCipher(cipher_id_);
    const MacInfo* mac = FindMac(mac_id_);
    std::string methods = Kex().name;
    // Only the first exchange carries the markers; they mean nothing in a later one.
    if (!first_kex_done_) methods = methods + "," + kExtInfoClient + "," + kStrictKexClient;
    auto compression = [](bool wanted, bool delayed) {
        return !wanted ? "none" : delayed ? "zlib@openssh.com,none" : "zlib,none";
    };
    ours->beginPayload();
    ours->putByte(kMsgKexInit);
    std::uint8_t cookie[16];
    RandomGenerator::Global().Fill(cookie, sizeof cookie);
    ours->putBytes(cookie, sizeof cookie);
    ours->putString(methods);
    ours->putCString(NameOf(HostKeyTable(), hostkey_id_));
    ours->putCString(cipher != nullptr ? cipher->name : "");
    ours->putCString(cipher != nullptr ? cipher->name : "");
    // With an AEAD cipher the MAC lists are not used; a MAC the server does not know is no harm.
    ours->putCString(mac != nullptr ? mac->name : "hmac-sha2-256");
    ours->putCString(mac != nullptr ? mac->name : "hmac-sha2-256");
    ours->putCString(compression(compress_out_wanted_, compress_out_delayed_));
    ours->putCString(compression(compress_in_wanted_, compress_in_delayed_));
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

bool IO_SSH2::ChooseAlgorithms(std::string_view kex, std::string_view hostkeys,
                               std::string_view ciphers, std::string_view macs) {
    // RFC 4253, 7.1: the first algorithm on the client's list that is also on the server's.
    kex_id_ = ChooseAlgorithm(kex, kex_preference_, [](int id) { return NameOf(KexTable(), id); });
    if (kex_id_ < 0) {
        kex_id_ = 0;
        Debug("Key negotiation failed");
        return NoCommon("key exchange method", kex);
    }
    Debug(std::string("Using key exchange: ") + Kex().name + "\r\n");
    hostkey_id_ = ChooseHostKey(hostkeys);
    if (hostkey_id_ < 0) {
        // Without a host-key algorithm both sides know, the server cannot prove who it is.
        Debug("Unknown host key algorithm specified\r\n");
        return NoCommon("host key algorithm", hostkeys);
    }
    Debug(std::string("Using key algorithm: ") + NameOf(HostKeyTable(), hostkey_id_) + "\r\n");
    cipher_id_ = ChooseAlgorithm(ciphers, cipher_preference_,
                                 [](int id) { return NameOf(CipherTable(), id); });
    if (cipher_id_ < 0) {
        Debug("Unknown encryption method specified");
        return NoCommon("cipher", ciphers);
    }
    Debug(std::string("Using cipher: ") + NameOf(CipherTable(), cipher_id_));
    Debug("\r\n");
    mac_id_ = ChooseAlgorithm(macs, mac_preference_, [](int id) { return NameOf(MacTable(), id); });
    if (FindCipher(cipher_id_)->mode != CipherMode::kBlock) {
        // The cipher authenticates every packet itself.
        Debug("Using MAC: the cipher's own\r\n");
        return true;
    }
    const MacInfo* mac = FindMac(mac_id_);
    if (mac == nullptr || !mac->usable) {
        Debug("Unknown HMAC method specified");
        return NoCommon("usable MAC", macs);
    }
    Debug(std::string("Using MAC: ") + mac->name);
    if (mac->id == 1) Debug("\r\n");
    if (mac->length == 0) {
        Debug(
            "\r\nWARNING: No Message Authenticator Code has been specified. Packets may be "
            "changed without your knowledge!\r\n");
    }
    Debug("\r\n");
    return true;
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
    if (!first_kex_done_ && NameListHas(kex, kStrictKexServer)) {
        // Strict key exchange also wants the server's KEXINIT to be the very first packet.
        if (framing_.IncomingSequence() != 1) {
            Show(
                "The server sent other packets before its key exchange, where strict key "
                "exchange allows none; disconnecting\r\n");
            return CloseLayer();
        }
        strict_kex_ = true;
        Debug("Using strict key exchange\r\n");
    }
    bool we_started;
    {
        LockHolder hold(send_lock_);
        we_started = client_kexinit_sent_;
        kex_active_.store(true);
    }
    Debug("Server suggests these key exchange methods:" + PrintableText(kex) + "\r\n");
    Debug("Server suggests these host key algorithms:" + PrintableText(hostkeys) + "\r\n");
    Debug("Server suggests these encryptors:" + PrintableText(ciphers) + "\r\n");
    Debug("Server suggests these MACs:" + PrintableText(macs) + "\r\n");
    Debug("Server suggests these compression algorithms:" + PrintableText(compress_out) + "\r\n");
    // The whole payload as received: the exchange hash covers every byte of it.
    i_s_.assign(reinterpret_cast<const char*>(packet.payload()),
                packet.size() - packet.payloadOffset());
    if (!we_started) {
        // "zlib@openssh.com" (compression from the login on) is what today's servers offer;
        // "zlib" from the first keys on is the older method.
        compress_out_delayed_ = NameListHas(compress_out, kDelayedZlib);
        compress_in_delayed_ = NameListHas(compress_in, kDelayedZlib);
    }
    compress_out_wanted_ =
        compress_out_wanted_ && (compress_out_delayed_ || NameListHas(compress_out, "zlib", true));
    compress_in_wanted_ =
        compress_in_wanted_ && (compress_in_delayed_ || NameListHas(compress_in, "zlib", true));

    if (we_started) {
        // Our KEXINIT named the algorithms of the last exchange, one each: they are what is
        // negotiated, if the server still has them.
        if (!NameListHas(kex, Kex().name)) return NoCommonAlgorithm("key exchange method", kex);
        if (!NameListHas(hostkeys, NameOf(HostKeyTable(), hostkey_id_))) {
            return NoCommonAlgorithm("host key algorithm", hostkeys);
        }
        if (!NameListHas(ciphers, NameOf(CipherTable(), cipher_id_))) {
            return NoCommonAlgorithm("cipher", ciphers);
        }
        if (FindCipher(cipher_id_)->mode == CipherMode::kBlock &&
            !NameListHas(macs, FindMac(mac_id_)->name)) {
            return NoCommonAlgorithm("MAC", macs);
        }
    } else if (!ChooseAlgorithms(kex, hostkeys, ciphers, macs)) {
        return status::kNotConnected;
    }
    if (follows) {
        // RFC 4253, 7: "If the other party's guess was wrong, and this field was TRUE, the next
        // packet MUST be silently ignored ... If the guess was right, key exchange MUST continue
        // using the guessed packet." The server guessed our method and host-key algorithm when
        // its first names are the ones negotiated.
        const std::vector<std::string_view> server_kex = SplitNameList(kex);
        const std::vector<std::string_view> server_hostkeys = SplitNameList(hostkeys);
        const bool right = !server_kex.empty() && server_kex[0] == Kex().name &&
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
    return StartExchange();
}

int IO_SSH2::StartExchange() {
    const KexInfo& kex = Kex();
    RandomGenerator& random = RandomGenerator::Global();
    PooledPacket next(*this);
    if (!next) return status::kOutOfMemory;
    next->beginPayload();
    switch (kex.family) {
        case KexFamily::kDhGroupExchange:
            gex_sizes_ = kex.hash == KexHash::kSha1 ? kGexSha1Sizes : kGexSha256Sizes;
            if (quirks_ & m_oldgex_bug) {
                next->putByte(kMsgKexDhInit);
                next->putUint32(gex_sizes_.preferred);
            } else {
                next->putByte(kMsgKexDhGexRequest);
                next->putUint32(gex_sizes_.minimum);
                next->putUint32(gex_sizes_.preferred);
                next->putUint32(gex_sizes_.maximum);
            }
            next->finish();
            kex_state_ = kKexWaitGroup;
            return sendPacket(*next);
        case KexFamily::kDhGroup: {
            p_ = *FixedGroupPrime(kex.group);
            g_ = BigNum(2u);
            if (!DhPrivateExponent(p_, ExponentPercentage(), random, &x_)) {
                Debug("Key negotiation failed");
                return CloseLayer();
            }
            Debug("Calculating session key\r\n");
            kex_state_ = kKexWaitReply;
            // The larger groups take long enough to hold up the user interface: their public
            // value is computed by the worker that sends it.
            if (kex.group != 1) return StartPublicValueWorker(kMsgKexDhInit);
            if (!DhPublicValue(g_, x_, p_, &e_)) return CloseLayer();
            next->putByte(kMsgKexDhInit);
            next->putMpint(e_);
            next->finish();
            return sendPacket(*next);
        }
        case KexFamily::kEcdh:
            if (!ec_key_.Generate(kex.curve, random)) return CloseLayer();
            q_c_.assign(ec_key_.Public().Point().begin(), ec_key_.Public().Point().end());
            break;
        case KexFamily::kCurve25519:
            if (!x25519_key_.Generate(random)) return CloseLayer();
            q_c_.assign(View(x25519_key_.PublicKey(), X25519PrivateKey::kKeySize));
            break;
        case KexFamily::kSntrup761X25519: {
            std::uint8_t public_key[kSntrup761PublicKeySize];
            if (!Sntrup761KeyPair(random, public_key, &sntrup_secret_) ||
                !x25519_key_.Generate(random)) {
                return CloseLayer();
            }
            q_c_.assign(View(public_key, sizeof public_key));
            q_c_.append(View(x25519_key_.PublicKey(), X25519PrivateKey::kKeySize));
            break;
        }
    }
    Debug("Calculating session key\r\n");
    next->putByte(kMsgKexDhInit);
    next->putString(q_c_);
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
        bits < static_cast<int>(gex_sizes_.minimum) ||
        bits > static_cast<int>(gex_sizes_.maximum) || !DhValueInRange(g_, p_)) {
        Show("Server sent an unusable group; disconnecting\r\n");
        return CloseLayer();
    }
    if (!DhPrivateExponent(p_, ExponentPercentage(), RandomGenerator::Global(), &x_)) {
        return CloseLayer();
    }
    Debug("Calculating session key\r\n");
    kex_state_ = kKexWaitReply;
    return StartPublicValueWorker(kMsgKexDhGexInit);
}

int IO_SSH2::StartPublicValueWorker(std::uint8_t message) {
    auto worker = std::make_unique<Worker>();
    Worker* raw = worker.get();
    gex_worker_ = std::move(worker);
    if (!raw->thread.Start([this, message] {
            PublicValueWorkerMain(message);
            return 0;
        })) {
        gex_worker_.reset();
        return CloseLayer();
    }
    return status::kOk;
}

void IO_SSH2::PublicValueWorkerMain(std::uint8_t message) {
    Worker& self = *gex_worker_;
    BigNum e;
    if (DhPublicValue(g_, x_, p_, &e)) {
        e_ = e;
        std::unique_ptr<SSHPacket> packet = getPacket();
        if (packet) {
            packet->beginPayload();
            packet->putByte(message);
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

bool IO_SSH2::ReplyDh(SSHPacket& reply, ExchangeHashInput* input, BigNum* f, std::string* why) {
    *f = reply.getMpint();
    if (reply.readFailed()) return false;
    if (!DhValueInRange(*f, p_)) {
        *why = "Server sent an invalid value for 'f'; disconnecting\r\n";
        return false;
    }
    BigNum k;
    if (!DhSharedSecret(*f, x_, p_, &k)) {
        *why = "Server sent an invalid value for 'K'; disconnecting\r\n";
        return false;
    }
    k_ = k.ToMpint();
    k.SetZero();
    input->group_exchange = Kex().family == KexFamily::kDhGroupExchange;
    input->old_gex = (quirks_ & m_oldgex_bug) != 0;
    input->gex = gex_sizes_;
    input->p = &p_;
    input->g = &g_;
    input->e = &e_;
    input->f = f;
    return !k_.empty();
}

bool IO_SSH2::ReplyEcdh(SSHPacket& reply, ExchangeHashInput* input, std::string* why) {
    std::string_view q_s;
    if (!reply.getStringView(&q_s)) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(q_s.data());
    *why = "Server sent an invalid key exchange value; disconnecting\r\n";
    SecureBytes shared;
    switch (Kex().family) {
        case KexFamily::kEcdh: {
            EcPublicKey peer;
            if (!peer.SetPoint(Kex().curve, bytes, q_s.size()) || !ec_key_.Agree(peer, &shared)) {
                return false;
            }
            k_ = SharedSecretAsMpint(shared.data(), shared.size());
            break;
        }
        case KexFamily::kCurve25519:
            // A point of small order gives the all-zero secret, refused by Agree.
            if (!x25519_key_.Agree(bytes, q_s.size(), &shared)) return false;
            k_ = SharedSecretAsMpint(shared.data(), shared.size());
            break;
        case KexFamily::kSntrup761X25519: {
            // The server's value: the sntrup761 ciphertext, then its X25519 public key; K is
            // SHA-512 of both shared secrets, hashed as a string.
            if (q_s.size() != kSntrup761CiphertextSize + X25519PrivateKey::kKeySize) return false;
            SecureBytes post_quantum, classical;
            if (!Sntrup761Decapsulate(sntrup_secret_.data(), sntrup_secret_.size(), bytes,
                                      kSntrup761CiphertextSize, &post_quantum) ||
                !x25519_key_.Agree(bytes + kSntrup761CiphertextSize, X25519PrivateKey::kKeySize,
                                   &classical)) {
                return false;
            }
            CSHA512 hash;
            hash.Update(post_quantum.data(), post_quantum.size());
            hash.Update(classical.data(), classical.size());
            std::uint8_t digest[CSHA512::kDigestSize];
            hash.Final(digest);
            k_ = SharedSecretAsString(digest, sizeof digest);
            SecureWipe(digest, sizeof digest);
            break;
        }
        default:
            return false;
    }
    input->strings = true;
    input->q_c = q_c_;
    input->q_s = q_s;
    why->clear();
    return !k_.empty();
}

void IO_SSH2::ReplyWorkerMain() {
    Worker& self = *reply_worker_;
    const bool debug = DebugOn();
    auto finish = [&](bool failed) {
        self.failed = failed;
        self.thread.MarkExiting();
        self.done.store(true);
        NotifySession();
    };
    // Why the exchange failed is shown whatever the debug setting.
    auto refuse = [&](std::string_view text) {
        self.messages += text;
        finish(true);
    };
    constexpr const char* kMalformed =
        "The server sent a malformed key exchange reply message; disconnecting\r\n";
    SSHPacket& reply = *reply_copy_;
    reply.seekPayload();
    reply.getByte();
    std::string_view k_s, signature;
    reply.getStringView(&k_s);
    ExchangeHashInput input;
    input.hash = Kex().hash;
    input.v_c = v_c_;
    input.v_s = v_s_;
    input.i_c = i_c_;
    input.i_s = i_s_;
    input.k_s = k_s;
    BigNum f;
    std::string why;
    const bool dh =
        Kex().family == KexFamily::kDhGroup || Kex().family == KexFamily::kDhGroupExchange;
    const bool agreed = dh ? ReplyDh(reply, &input, &f, &why) : ReplyEcdh(reply, &input, &why);
    reply.getStringView(&signature);
    if (reply.readFailed()) return refuse(kMalformed);
    if (!agreed) return refuse(why.empty() ? kMalformed : why);
    input.k = &k_;
    std::uint8_t h[kMaxExchangeHash];
    const std::size_t h_length = KexHashSize(input.hash);
    if (!ComputeExchangeHash(input, h)) return finish(true);
    RandomGenerator::Global().Seed(h, h_length);
    const HostKeyInfo* hostkey = FindHostKey(hostkey_id_);
    if (debug) {
        static constexpr const char* kVerifying[] = {
            "Verifying RSA key\r\n", "Verifying DSS key\r\n", "Verifying Ed25519 key\r\n",
            "Verifying ECDSA key\r\n"};
        self.messages += kVerifying[static_cast<int>(hostkey->kind)];
    }
    if (!VerifyHostKeySignature(hostkey->name, k_s, signature, h, h_length,
                                (quirks_ & m_rawsig_bug) != 0)) {
        return refuse("Host key corrupted; disconnecting\r\n");
    }
    if (debug) self.messages += "Host key verified\r\n";
    // Only now has the server shown that it holds the key; the user is asked about it on the
    // user-interface thread.
    std::memcpy(h_, h, h_length);
    h_length_ = h_length;
    SecureWipe(h, sizeof h);
    finish(false);
}

int IO_SSH2::AfterVerifiedReply() {
    const char* host = config_->GetNarrow(setting::hostname);
    if (!HostKeyCheck(kSpaceSSH2, HostKeyType(NameOf(HostKeyTable(), hostkey_id_)),
                      host != nullptr ? host : "",
                      reinterpret_cast<const std::uint8_t*>(k_s_.data()), k_s_.size(),
                      strict_hostkeys_, config_->GetInt(setting::portnum))) {
        return CloseLayer();
    }
    // The session identifier is the hash of the first exchange and never changes: a re-keyed
    // connection that used the newest hash would derive keys the server does not have.
    if (!have_session_id_) {
        std::memcpy(session_id_, h_, h_length_);
        session_id_length_ = h_length_;
        have_session_id_ = true;
    }
    kex_state_ = kKexWaitNewKeys;
    return SendNewKeys();
}

bool IO_SSH2::MakeKeys(bool outgoing, SSH2DirectionKeys* keys) {
    const CipherInfo* cipher = FindCipher(cipher_id_);
    if (cipher == nullptr) return false;
    const bool aead = cipher->mode != CipherMode::kBlock;
    const MacInfo* mac = aead ? nullptr : FindMac(mac_id_);
    if (!aead && (mac == nullptr || !mac->usable)) return false;
    // The derived keys are the prefixes of one stream per letter, however long they are.
    const KexHash hash = Kex().hash;
    auto derive = [&](char letter, int length) {
        return DeriveKey(hash, k_, h_, letter, session_id_, static_cast<std::size_t>(length));
    };
    const SecureBytes iv = derive(outgoing ? 'A' : 'B', std::max(cipher->iv_bytes, 1));
    const SecureBytes key = derive(outgoing ? 'C' : 'D', cipher->key_bytes);
    const SecureBytes mac_key = derive(outgoing ? 'E' : 'F', mac != nullptr ? mac->length : 1);
    return MakeDirectionKeys(cipher_id_, mac_id_, outgoing, key.data(), iv.data(), mac_key.data(),
                             keys);
}

int IO_SSH2::SendNewKeys() {
    SSH2DirectionKeys keys;
    if (!MakeKeys(true, &keys)) {
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
    // Everything after our NEWKEYS uses the new keys, whoever sends it, and a new compression
    // context.
    framing_.SetOutgoing(std::move(keys));
    if (strict_kex_) framing_.ResetOutgoingSequence();
    if (!framing_.RestartCompression()) {
        // The status ends the session (closing it here, under the send lock, could wait for a
        // worker that waits for the lock).
        Show("Compression could not be started again after the key exchange; disconnecting\r\n");
        return status::kCompressionFailed;
    }
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
    SSH2DirectionKeys keys;
    if (!MakeKeys(false, &keys)) {
        Show("The negotiated cipher or MAC could not be set up; disconnecting\r\n");
        return CloseLayer();
    }
    framing_.SetIncoming(std::move(keys));
    if (strict_kex_) framing_.ResetIncomingSequence();
    if (!framing_.RestartDecompression()) {
        Show("Decompression could not be started again after the key exchange; disconnecting\r\n");
        return CloseLayer();
    }
    if (!newkeys_sent_) {
        int result = SendNewKeys();
        if (result != status::kOk) return result;
    }
    // Delayed compression starts with the login; a later exchange after it starts it at once.
    if (!compress_in_delayed_ || authenticated_) StartDecompression();
    if (compress_out_delayed_ && authenticated_) {
        LockHolder hold(send_lock_);
        StartCompressionLocked();
    }
    kex_state_ = kKexIdle;
    {
        LockHolder hold(send_lock_);
        client_kexinit_sent_ = false;
        last_kex_time_ = std::chrono::steady_clock::now();
        kex_active_.store(false);
    }
    ForgetExchangeSecrets();
    if (first_kex_done_) return status::kOk;
    first_kex_done_ = true;
    state_.store(kAuthentication);
    return SendServiceRequest();
}

void IO_SSH2::ForgetExchangeSecrets() {
    x_.SetZero();
    SecureBytes().swap(k_);
    SecureBytes().swap(sntrup_secret_);
    ec_key_ = EcPrivateKey();
    x25519_key_ = X25519PrivateKey();
    SecureWipe(h_, sizeof h_);
}

void IO_SSH2::StartDecompression() {
    if (!compress_in_wanted_ || framing_.DecompressionActive()) return;
    if (!framing_.StartDecompression()) {
        Debug("Call to inflateInit failed; decompression disabled\r\n");
        compress_in_wanted_ = false;
    }
}

void IO_SSH2::StartCompressionLocked() {
    if (!compress_out_wanted_ || framing_.CompressionActive()) return;
    if (!framing_.StartCompression()) {
        Debug("Call to deflateInit failed; compression disabled\r\n");
        compress_out_wanted_ = false;
    }
}

int IO_SSH2::SendServiceRequest() {
    PooledPacket packet(*this);
    if (!packet) return status::kOutOfMemory;
    packet->beginPayload();
    packet->putByte(kMsgServiceRequest);
    packet->putCString("ssh-userauth");
    packet->finish();
    LockHolder hold(send_lock_);
    // Compression from the first keys on starts here, so that the service request is the first
    // compressed packet.
    if (!compress_out_delayed_) StartCompressionLocked();
    return SendLocked(*packet);
}

}  // namespace tarnwick
