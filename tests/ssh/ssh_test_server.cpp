#include "ssh/ssh_test_server.h"

#include <chrono>
#include <cstring>

#include "crypto/curve25519.h"
#include "crypto/diffie_hellman.h"
#include "crypto/dsa.h"
#include "crypto/ecc.h"
#include "crypto/rsa.h"
#include "crypto/wire.h"
#include "ssh/ssh2.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_kex.h"
#include "ssh/ssh_test_keys.h"

namespace tarnwick::testing {

namespace {

BigNum Hex(const char* text) {
    BigNum n;
    n.SetHex(text);
    return n;
}

RsaPrivateKey RsaKey() {
    RsaPrivateKey key;
    key.n = Hex(kRsaN);
    key.e = Hex(kRsaE);
    key.d = Hex(kRsaD);
    key.p = Hex(kRsaP);
    key.q = Hex(kRsaQ);
    key.dmp1 = Hex(kRsaDmp1);
    key.dmq1 = Hex(kRsaDmq1);
    key.iqmp = Hex(kRsaIqmp);
    return key;
}

DsaKey DssKey() {
    DsaKey key;
    key.p = Hex(kDsaP);
    key.q = Hex(kDsaQ);
    key.g = Hex(kDsaG);
    key.y = Hex(kDsaY);
    key.x = Hex(kDsaX);
    return key;
}

// The Ed25519 host key: a fixed private value.
Ed25519PrivateKey EdKey() {
    std::uint8_t seed[32];
    for (int i = 0; i < 32; ++i)
        seed[i] = static_cast<std::uint8_t>(0x40 + i);
    Ed25519PrivateKey key;
    (void)key.SetSeed(seed, sizeof seed);
    return key;
}

std::string View(const std::uint8_t* bytes, std::size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes), length);
}

std::string Payload(SSHPacket& packet) {
    return std::string(reinterpret_cast<const char*>(packet.payload()),
                       packet.size() - packet.payloadOffset());
}

const CipherInfo* CipherNamed(const std::string& name) {
    for (const CipherInfo& info : CipherTable())
        if (name == info.name) return &info;
    return nullptr;
}

const MacInfo* MacNamed(const std::string& name) {
    for (const MacInfo& info : MacTable())
        if (name == info.name) return &info;
    return nullptr;
}

}  // namespace

std::string U32(std::uint32_t v) {
    std::string s;
    WireWriter(s).Uint32(v);
    return s;
}

std::uint32_t U32At(const std::string& s, std::size_t at) {
    return at > s.size() ? 0 : WireReader(std::string_view(s).substr(at)).Uint32();
}

std::string Str(std::string_view s) {
    std::string out;
    WireWriter(out).String(s);
    return out;
}

std::string Mpint(const BigNum& n) {
    SecureBytes wire = n.ToMpint();
    return std::string(reinterpret_cast<const char*>(wire.data()), wire.size());
}

std::string Byte(std::uint8_t b) {
    return std::string(1, static_cast<char>(b));
}

std::string RsaHostBlob() {
    RsaPrivateKey key = RsaKey();
    return Str("ssh-rsa") + Mpint(key.e) + Mpint(key.n);
}

std::string DsaHostBlob() {
    DsaKey key = DssKey();
    return Str("ssh-dss") + Mpint(key.p) + Mpint(key.q) + Mpint(key.g) + Mpint(key.y);
}

std::string Ed25519HostBlob() {
    return Str("ssh-ed25519") + Str(View(EdKey().Public().Bytes(), 32));
}

TestServer::TestServer() : TestServer(Options{}) {}

TestServer::TestServer(Options options) : options_(std::move(options)) {
    const std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    random_.Seed(reinterpret_cast<const std::uint8_t*>(&seed), sizeof seed);
    output_ = options_.before_version + options_.version + "\r\n";
    if (options_.send_kexinit_first) SendKexInit();
}

std::string TestServer::TakeOutput() {
    std::string out;
    out.swap(output_);
    return out;
}

void TestServer::Send(const std::string& payload) {
    SSHPacket packet(static_cast<std::uint32_t>(payload.size() + 64));
    packet.beginPayload();
    packet.putBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    packet.finish();
    if (out_.Seal(packet, random_) != 0) return;
    output_.append(reinterpret_cast<const char*>(packet.data()), packet.size());
}

void TestServer::SendChannelData(std::uint32_t server_channel, const std::string& data) {
    Channel& channel = channels_[server_channel];
    channel.client_window -= static_cast<std::uint32_t>(data.size());
    Send(Byte(kMsgChannelData) + U32(channel.client_id) + Str(data));
}

void TestServer::SendWithBadMac(const std::string& payload) {
    SSHPacket packet(static_cast<std::uint32_t>(payload.size() + 64));
    packet.beginPayload();
    packet.putBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    packet.finish();
    if (out_.Seal(packet, random_) != 0) return;
    packet.data()[packet.size() - 1] ^= 0x01;
    output_.append(reinterpret_cast<const char*>(packet.data()), packet.size());
}

void TestServer::SendKexInit() {
    std::uint8_t cookie[16];
    random_.Fill(cookie, sizeof cookie);
    const std::string kex =
        options_.kex + (options_.strict_kex ? ",kex-strict-s-v00@openssh.com" : "");
    i_s_ = Byte(kMsgKexInit) + std::string(reinterpret_cast<char*>(cookie), 16) + Str(kex) +
           Str(options_.hostkeys) + Str(options_.ciphers) + Str(options_.ciphers) +
           Str(options_.macs) + Str(options_.macs) + Str(options_.compression) +
           Str(options_.compression) + Str("") + Str("") +
           Byte(options_.guessed_packet.empty() ? 0 : 1) + U32(0);
    kexinit_sent_ = true;
    Send(i_s_);
    if (!options_.guessed_packet.empty()) Send(options_.guessed_packet);
}

void TestServer::StartRekey() {
    SendKexInit();
}

void TestServer::FromClient(const std::uint8_t* data, std::size_t length) {
    std::size_t at = 0;
    if (!version_done_) {
        while (at < length && !version_done_) {
            char c = static_cast<char>(data[at++]);
            if (c == '\n') {
                client_version_ = version_buffer_;
                if (!client_version_.empty() && client_version_.back() == '\r') {
                    client_version_.pop_back();
                }
                version_done_ = true;
            } else {
                version_buffer_ += c;
            }
        }
    }
    if (at >= length || error_ != 0) return;
    std::size_t used = 0;
    int result = in_.Feed(data + at, length - at, &used, [this](SSHPacket& packet) {
        Handle(packet);
        return 0;
    });
    if (result != 0) error_ = result;
}

std::vector<std::string> TestServer::ReceivedOfType(std::uint8_t message) const {
    std::vector<std::string> found;
    for (const std::string& payload : received_) {
        if (!payload.empty() && static_cast<std::uint8_t>(payload[0]) == message) {
            found.push_back(payload);
        }
    }
    return found;
}

std::string TestServer::channel_data(std::uint32_t server_channel) const {
    auto it = channels_.find(server_channel);
    return it == channels_.end() ? std::string() : it->second.data;
}

std::uint32_t TestServer::client_window(std::uint32_t server_channel) const {
    auto it = channels_.find(server_channel);
    return it == channels_.end() ? 0 : it->second.client_window;
}

std::uint32_t TestServer::client_max_packet(std::uint32_t server_channel) const {
    auto it = channels_.find(server_channel);
    return it == channels_.end() ? 0 : it->second.client_max_packet;
}

void TestServer::Handle(SSHPacket& packet) {
    const std::string payload = Payload(packet);
    received_.push_back(payload);
    packet.seekPayload();
    const std::uint8_t message = packet.getByte();
    if ((message >= 20 && message <= 49)) return HandleKex(message, packet);
    if (on_message && on_message(payload)) return;
    if (message == kMsgServiceRequest) {
        Send(Byte(kMsgServiceAccept) + Str("ssh-userauth"));
        return;
    }
    if (message == kMsgUserauthRequest || message == kMsgUserauthInfoResponse) {
        return HandleAuth(packet);
    }
    if (message >= 90 && message <= 100) return HandleConnection(message, packet);
}

void TestServer::HandleKex(std::uint8_t message, SSHPacket& packet) {
    switch (message) {
        case kMsgKexInit: {
            i_c_ = Payload(packet);
            if (!kexinit_sent_) SendKexInit();
            packet.setPosition(packet.position() + 16);
            client_kex_list_ = packet.getString();
            hostkey_ = packet.getString();
            cipher_ = packet.getString();
            packet.getString();
            mac_ = packet.getString();
            packet.getString();
            compression_in_ = packet.getString();
            compression_out_ = packet.getString();
            // The first of the client's methods the server has.
            kex_name_.clear();
            for (std::string_view name : SplitNameList(client_kex_list_)) {
                if (NameListHas(options_.kex, name)) {
                    kex_name_ = std::string(name);
                    break;
                }
            }
            if (kex_count_ == 0) {
                strict_ = options_.strict_kex &&
                          NameListHas(client_kex_list_, "kex-strict-c-v00@openssh.com");
            }
            // The client lists its one choice first ("zlib,none" when it wants zlib).
            auto first = [](const std::string& list) { return list.substr(0, list.find(',')); };
            compression_in_ = first(compression_in_);
            compression_out_ = first(compression_out_);
            return;
        }
        case kMsgKexDhInit: {
            const KexInfo* kex = Kex();
            if (kex == nullptr) return;
            if (kex->family == KexFamily::kDhGroupExchange) {
                // The old group-exchange request: one preferred size.
                p_ = options_.gex_p ? *options_.gex_p : DhGroup1Prime();
                g_ = BigNum(2u);
                Send(Byte(kMsgKexDhReply) + Mpint(p_) + Mpint(g_));
                return;
            }
            if (kex->family == KexFamily::kDhGroup) {
                p_ = kex->group == 14   ? DhGroup14Prime()
                     : kex->group == 16 ? DhGroup16Prime()
                     : kex->group == 18 ? DhGroup18Prime()
                                        : DhGroup1Prime();
                g_ = BigNum(2u);
                e_ = packet.getMpint();
            } else {
                q_c_ = packet.getString();
            }
            SendReply(kMsgKexDhReply);
            return;
        }
        case kMsgKexDhGexRequest:
            p_ = options_.gex_p ? *options_.gex_p : DhGroup1Prime();
            g_ = BigNum(2u);
            Send(Byte(kMsgKexDhReply) + Mpint(p_) + Mpint(g_));
            return;
        case kMsgKexDhGexInit:
            e_ = packet.getMpint();
            SendReply(kMsgKexDhGexReply);
            return;
        case kMsgNewKeys:
            InstallIncoming();
            if (newkeys_owed_) {
                newkeys_owed_ = false;
                SendNewKeys();
            }
            return;
        default:
            return;
    }
}

const KexInfo* TestServer::Kex() const {
    for (const KexInfo& info : KexTable()) {
        if (kex_name_ == info.name) return &info;
    }
    return nullptr;
}

bool TestServer::AgreeEcdh(std::string* q_s) {
    const KexInfo* kex = Kex();
    const auto* q = reinterpret_cast<const std::uint8_t*>(q_c_.data());
    SecureBytes shared;
    switch (kex->family) {
        case KexFamily::kEcdh: {
            EcPrivateKey mine;
            EcPublicKey theirs;
            if (!mine.Generate(kex->curve, random_) ||
                !theirs.SetPoint(kex->curve, q, q_c_.size()) || !mine.Agree(theirs, &shared)) {
                return false;
            }
            *q_s = View(mine.Public().Point().data(), mine.Public().Point().size());
            k_ = SharedSecretAsMpint(shared.data(), shared.size());
            return true;
        }
        case KexFamily::kCurve25519: {
            X25519PrivateKey mine;
            if (!mine.Generate(random_) || !mine.Agree(q, q_c_.size(), &shared)) return false;
            *q_s = View(mine.PublicKey(), 32);
            k_ = SharedSecretAsMpint(shared.data(), shared.size());
            return true;
        }
        default:
            return false;
    }
}

void TestServer::SendReply(std::uint8_t message) {
    const KexInfo* kex = Kex();
    if (kex == nullptr) return;
    const bool dh =
        kex->family == KexFamily::kDhGroup || kex->family == KexFamily::kDhGroupExchange;
    std::string q_s;
    if (dh) {
        y_.SetRandom(20, random_);
        DhPublicValue(g_, y_, p_, &f_);
        BigNum k;
        ModExp(e_, y_, p_, &k);
        k_ = k.ToMpint();
    } else if (!AgreeEcdh(&q_s)) {
        return;
    }
    const HostKeyInfo* hostkey = FindHostKeyNamed(hostkey_);
    const HostKeyKind kind = hostkey != nullptr ? hostkey->kind : HostKeyKind::kRsa;
    const std::string k_s = !options_.host_key_blob.empty() ? options_.host_key_blob
                            : kind == HostKeyKind::kDss     ? DsaHostBlob()
                            : kind == HostKeyKind::kEd25519 ? Ed25519HostBlob()
                                                            : RsaHostBlob();
    ExchangeHashInput input;
    input.hash = kex->hash;
    input.v_c = client_version_;
    input.v_s = options_.version;
    input.i_c = i_c_;
    input.i_s = i_s_;
    input.k_s = k_s;
    input.group_exchange = kex->family == KexFamily::kDhGroupExchange;
    input.old_gex = options_.old_gex;
    input.gex = kex->hash == KexHash::kSha1 ? kGexSha1Sizes : kGexSha256Sizes;
    input.p = &p_;
    input.g = &g_;
    input.e = &e_;
    input.f = &f_;
    input.strings = !dh;
    input.q_c = q_c_;
    input.q_s = q_s;
    input.k = &k_;
    ComputeExchangeHash(input, h_);
    const std::size_t h_length = KexHashSize(kex->hash);
    if (!have_session_id_) {
        std::memcpy(session_id_, h_, h_length);
        session_id_length_ = h_length;
        have_session_id_ = true;
    }
    std::string signature;
    switch (kind) {
        case HostKeyKind::kDss: {
            BigNum r, s;
            DsaSign(h_, h_length, DssKey(), random_, &r, &s);
            std::uint8_t blob[40];
            DsaSignatureBlob(r, s, blob);
            signature = View(blob, 40);
            break;
        }
        case HostKeyKind::kEd25519: {
            std::uint8_t sig[64];
            (void)EdKey().Sign(h_, h_length, sig);
            signature = View(sig, 64);
            break;
        }
        default: {  // RSA, as the host key blob above
            BigNum s;
            RsaSignSha1(h_, h_length, RsaKey(), &s);
            SecureBytes bytes = s.ToBytes();
            signature = View(bytes.data(), bytes.size());
            break;
        }
    }
    if (options_.corrupt_signature) signature[signature.size() / 2] ^= 0x40;
    std::string blob = options_.raw_signature ? signature : Str(hostkey_) + Str(signature);
    const std::string value = dh ? Mpint(options_.forced_f ? *options_.forced_f : f_) : Str(q_s);
    Send(Byte(message) + Str(k_s) + value + Str(blob));
    for (const std::string& payload : options_.after_reply)
        Send(payload);
    if (options_.newkeys_after_client) {
        newkeys_owed_ = true;
    } else {
        SendNewKeys();
    }
    ++kex_count_;
    kexinit_sent_ = false;
}

void TestServer::SendNewKeys() {
    Send(Byte(kMsgNewKeys));
    InstallOutgoing();
    if (strict_) out_.ResetOutgoingSequence();
}

void TestServer::InstallOutgoing() {
    const CipherInfo* cipher = CipherNamed(cipher_);
    const MacInfo* mac = MacNamed(mac_);
    const KexHash hash = Kex() != nullptr ? Kex()->hash : KexHash::kSha1;
    SecureBytes iv = DeriveKey(hash, k_, h_, 'B', session_id_, 80);
    SecureBytes key = DeriveKey(hash, k_, h_, 'D', session_id_, 80);
    SecureBytes mac_key = DeriveKey(hash, k_, h_, 'F', session_id_, 64);
    SSH2DirectionKeys keys;
    if (cipher != nullptr) {
        MakeDirectionKeys(cipher->id, mac ? mac->id : 2, true, key.data(), iv.data(),
                          mac_key.data(), &keys);
    }
    out_.SetOutgoing(std::move(keys));
    out_.RestartCompression();
    if (compression_out_ == "zlib") out_.StartCompression();
}

void TestServer::InstallIncoming() {
    const CipherInfo* cipher = CipherNamed(cipher_);
    const MacInfo* mac = MacNamed(mac_);
    const KexHash hash = Kex() != nullptr ? Kex()->hash : KexHash::kSha1;
    SecureBytes iv = DeriveKey(hash, k_, h_, 'A', session_id_, 80);
    SecureBytes key = DeriveKey(hash, k_, h_, 'C', session_id_, 80);
    SecureBytes mac_key = DeriveKey(hash, k_, h_, 'E', session_id_, 64);
    SSH2DirectionKeys keys;
    if (cipher != nullptr) {
        MakeDirectionKeys(cipher->id, mac ? mac->id : 2, false, key.data(), iv.data(),
                          mac_key.data(), &keys);
    }
    in_.SetIncoming(std::move(keys));
    if (strict_) in_.ResetIncomingSequence();
    in_.RestartDecompression();
    if (compression_in_ == "zlib") in_.StartDecompression();
    incoming_keys_ = true;
}

void TestServer::HandleAuth(SSHPacket& packet) {
    if (static_cast<std::uint8_t>(packet.data()[5]) == kMsgUserauthInfoResponse) {
        const std::uint32_t count = packet.getUint32();
        std::vector<std::string> answers;
        for (std::uint32_t i = 0; i < count && !packet.readFailed(); ++i)
            answers.push_back(packet.getString());
        info_responses_.push_back(answers);
        if (answers == options_.answers) {
            Succeed();
        } else {
            Send(Byte(kMsgUserauthFailure) + Str(options_.auth_methods) + Byte(0));
        }
        return;
    }
    packet.getString();  // user
    packet.getString();  // service
    const std::string method = packet.getString();
    auth_methods_tried_.push_back(method);
    auto fail = [this] {
        if (!options_.banner.empty() && !banner_sent_) {
            banner_sent_ = true;
            Send(Byte(kMsgUserauthBanner) + Str(options_.banner) + Str(""));
        }
        Send(Byte(kMsgUserauthFailure) + Str(options_.auth_methods) + Byte(0));
    };
    if (method == "password") {
        packet.getBoolean();
        const std::string password = packet.getString();
        passwords_.push_back(password);
        if (password == options_.password) {
            Succeed();
        } else {
            fail();
        }
        return;
    }
    if (method == "keyboard-interactive") {
        std::string request = Byte(kMsgUserauthInfoRequest) + Str("") + Str("") + Str("") +
                              U32(static_cast<std::uint32_t>(options_.prompts.size()));
        for (const auto& [text, echo] : options_.prompts)
            request += Str(text) + Byte(echo ? 1 : 0);
        Send(request);
        return;
    }
    if (method == "publickey") {
        const std::size_t rest = packet.position();
        publickey_requests_.emplace_back(reinterpret_cast<const char*>(packet.data()) + rest,
                                         packet.size() - rest);
        const bool has_signature = packet.getBoolean();
        const std::string algorithm = packet.getString();
        const std::string blob = packet.getString();
        const std::string signature_blob = packet.getString();
        // The signed data: session id, then the request up to the key blob.
        const std::string signed_data =
            Str(View(session_id_, session_id_length_)) +
            std::string(reinterpret_cast<const char*>(packet.payload()),
                        packet.position() - packet.payloadOffset() - 4 - signature_blob.size());
        const HostKeyInfo* info = FindHostKeyNamed(algorithm);
        // The key's own type must be the one the algorithm signs with.
        const bool ok =
            has_signature && info != nullptr &&
            WireReader(blob).String() == HostKeyType(algorithm) &&
            VerifyHostKeySignature(algorithm, blob, signature_blob,
                                   reinterpret_cast<const std::uint8_t*>(signed_data.data()),
                                   signed_data.size(), false);
        // Only one key is authorised, so that a list of keys is walked.
        if (ok && blob == options_.authorized_key) {
            Succeed();
            return;
        }
        fail();
        return;
    }
    fail();
}

void TestServer::Succeed() {
    authenticated_ = true;
    Send(Byte(kMsgUserauthSuccess));
    // "zlib@openssh.com" starts with what follows the success message, both ways.
    if (compression_out_ == "zlib@openssh.com") out_.StartCompression();
    if (compression_in_ == "zlib@openssh.com") in_.StartDecompression();
}

void TestServer::HandleConnection(std::uint8_t message, SSHPacket& packet) {
    switch (message) {
        case kMsgChannelOpen: {
            const std::string type = packet.getString();
            Channel channel;
            channel.client_id = packet.getUint32();
            channel.client_window = packet.getUint32();
            channel.client_max_packet = packet.getUint32();
            const std::uint32_t server_id = next_server_channel_++;
            if (type == "session" && client_channel_ == 0xffffffffu) {
                client_channel_ = channel.client_id;
            }
            channels_[server_id] = channel;
            Send(Byte(kMsgChannelOpenConfirmation) + U32(channel.client_id) + U32(server_id) +
                 U32(options_.channel_window) + U32(options_.channel_max_packet));
            return;
        }
        case kMsgChannelRequest: {
            const std::uint32_t server_id = packet.getUint32();
            const std::string name = packet.getString();
            const bool want_reply = packet.getBoolean();
            channel_requests_.push_back(name);
            bool ok = true;
            if (name == "pty-req") {
                pty_term_ = packet.getString();
                pty_columns_ = packet.getUint32();
                pty_rows_ = packet.getUint32();
                packet.getUint32();
                packet.getUint32();
                pty_modes_ = packet.getString();
                ok = !options_.refuse_pty;
            }
            if (want_reply) {
                Send(Byte(ok ? kMsgChannelSuccess : kMsgChannelFailure) +
                     U32(channels_[server_id].client_id));
            }
            return;
        }
        case kMsgChannelData: {
            const std::uint32_t server_id = packet.getUint32();
            channels_[server_id].data += packet.getString();
            return;
        }
        case kMsgChannelWindowAdjust: {
            const std::uint32_t server_id = packet.getUint32();
            channels_[server_id].client_window += packet.getUint32();
            return;
        }
        default:
            return;
    }
}

}  // namespace tarnwick::testing
