// SSHPacket encodings, pooled packets wiped, and the SSH2 framing: reassembly from
// chunks of any size, refusal of impossible lengths and bad MACs, zlib in both directions, and
// wire bytes compared with ones built independently with OpenSSL.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/status.h"
#include "crypto/bignum.h"
#include "crypto/random_generator.h"
#include "ssh/ssh.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_framing.h"
#include "ssh/ssh_packet.h"

namespace tarnwick {
namespace {

std::string Bytes(const SSHPacket& p) {
    return std::string(reinterpret_cast<const char*>(p.data()), p.size());
}

// A finished packet with the given payload (message number first).
void Build(SSHPacket& p, const std::string& payload) {
    p.reset();
    p.beginPayload();
    p.putBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    p.finish();
}

struct Collected {
    std::vector<std::string> payloads;
    SSH2Framing::Handler Handler() {
        return [this](SSHPacket& p) {
            payloads.emplace_back(reinterpret_cast<const char*>(p.payload()),
                                  p.size() - p.headerLength);
            return 0;
        };
    }
};

TEST(SshPacket, EncodingsRoundTripAndReadsAreBounded) {
    SSHPacket p;
    p.beginPayload();
    p.putByte(94);
    p.putUint32(0xdeadbeef);
    p.putCString("hello");
    p.putBoolean(true);
    BigNum n;
    ASSERT_TRUE(n.SetHex("80ff"));
    p.putMpint(n);  // top bit set: a zero byte comes first
    p.putMpint(BigNum(0u));
    p.finish();
    EXPECT_EQ(p.headerLength, 5u);
    EXPECT_EQ(Bytes(p).substr(5), std::string("\x5e\xde\xad\xbe\xef\0\0\0\x05hello\x01"
                                              "\0\0\0\x03\0\x80\xff\0\0\0\0",
                                              26));
    p.rewindAfterHeader();
    EXPECT_EQ(p.getByte(), 94);
    EXPECT_EQ(p.getUint32(), 0xdeadbeefu);
    EXPECT_EQ(p.getString(), "hello");
    EXPECT_TRUE(p.getBoolean());
    EXPECT_EQ(p.getMpint(), n);
    EXPECT_TRUE(p.getMpint().IsZero());
    EXPECT_FALSE(p.readFailed());
    EXPECT_EQ(p.getByte(), 0);
    EXPECT_EQ(p.getUint32(), 0u);
    EXPECT_TRUE(p.readFailed());

    // A declared string length beyond the data gives an empty string and does not run past it.
    SSHPacket q;
    q.beginPayload();
    q.putUint32(1000);
    q.putBytes("abc", 3);
    q.finish();
    q.rewindAfterHeader();
    EXPECT_EQ(q.getString(), "");
    EXPECT_TRUE(q.readFailed());
    EXPECT_LE(q.position(), q.size());
}

class PoolOwner : public SSH {
  public:
    PoolOwner() : SSH(kLayerSSH2, "SSH2") {}
    void Close() override {}
    int Send(const std::uint8_t*, int) override { return 0; }
    int Receive(const std::uint8_t*, int) override { return 0; }
    int Display(const std::uint8_t*, int) override { return 0; }
};

// Wire bytes read back independently: OpenSSL's AES-128-CBC decrypts our stream (one chain over
// all packets) and its HMAC-SHA1 must equal the MAC we sent.
TEST(SshFraming, WireBytesMatchAnIndependentDecoding) {
    std::uint8_t key[16], iv[16], mac_key[20];
    for (int i = 0; i < 16; ++i) {
        key[i] = static_cast<std::uint8_t>(i * 7);
        iv[i] = static_cast<std::uint8_t>(i + 100);
    }
    for (int i = 0; i < 20; ++i)
        mac_key[i] = static_cast<std::uint8_t>(200 - i);
    SSH2Framing framing;
    framing.SetOutgoing(MakeCipher(3, true, key, iv), MakeMac(0, mac_key));
    RandomGenerator random;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    const std::string payloads[] = {std::string("\x5e\0\0\0\x01\0\0\0\x03"
                                                "abc",
                                                12),
                                    std::string(1000, 'q'), "\x02"};
    std::uint32_t sequence = 0;
    for (const std::string& payload : payloads) {
        SSHPacket p;
        Build(p, payload);
        ASSERT_EQ(framing.Seal(p, random), 0);
        const std::string wire = Bytes(p);
        const std::size_t encrypted = wire.size() - 20;
        ASSERT_EQ(encrypted % 16, 0u);
        std::vector<std::uint8_t> plain(encrypted);
        int out_length = 0;
        ASSERT_EQ(EVP_DecryptUpdate(ctx, plain.data(), &out_length,
                                    reinterpret_cast<const std::uint8_t*>(wire.data()),
                                    static_cast<int>(encrypted)),
                  1);
        const std::uint32_t packet_length = (static_cast<std::uint32_t>(plain[0]) << 24) |
                                            (plain[1] << 16) | (plain[2] << 8) | plain[3];
        EXPECT_EQ(packet_length, encrypted - 4);
        EXPECT_EQ(plain[4], packet_length - 1 - payload.size());
        EXPECT_GE(plain[4], 4);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(plain.data()) + 5, payload.size()), payload);
        std::vector<std::uint8_t> mac_input(4 + plain.size());
        mac_input[0] = static_cast<std::uint8_t>(sequence >> 24);
        mac_input[1] = static_cast<std::uint8_t>(sequence >> 16);
        mac_input[2] = static_cast<std::uint8_t>(sequence >> 8);
        mac_input[3] = static_cast<std::uint8_t>(sequence);
        std::copy(plain.begin(), plain.end(), mac_input.begin() + 4);
        std::uint8_t mac[20];
        unsigned mac_length = 0;
        ::HMAC(EVP_sha1(), mac_key, 20, mac_input.data(), mac_input.size(), mac, &mac_length);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(mac), 20), wire.substr(encrypted));
        ++sequence;
    }
    EVP_CIPHER_CTX_free(ctx);
}

struct Keys {
    int cipher;
    int mac;
};

class FramingRoundTrip : public ::testing::TestWithParam<Keys> {};

// Every cipher and MAC: packets sealed by one side are read back by the other, fed whole, one
// byte at a time and split at every offset of the first packets.
TEST_P(FramingRoundTrip, ReassemblesFromChunksOfAnySize) {
    std::uint8_t key[32], iv[16], mac_key[20];
    for (int i = 0; i < 32; ++i)
        key[i] = static_cast<std::uint8_t>(i * 13 + 1);
    for (int i = 0; i < 16; ++i)
        iv[i] = static_cast<std::uint8_t>(i * 3);
    for (int i = 0; i < 20; ++i)
        mac_key[i] = static_cast<std::uint8_t>(i + 40);
    const Keys keys = GetParam();
    auto make_sender = [&] {
        auto s = std::make_unique<SSH2Framing>();
        s->SetOutgoing(keys.cipher >= 0 ? MakeCipher(keys.cipher, true, key, iv) : nullptr,
                       MakeMac(keys.mac, mac_key));
        return s;
    };
    auto make_receiver = [&] {
        auto r = std::make_unique<SSH2Framing>();
        r->SetIncoming(keys.cipher >= 0 ? MakeCipher(keys.cipher, false, key, iv) : nullptr,
                       MakeMac(keys.mac, mac_key));
        return r;
    };
    RandomGenerator random;
    std::vector<std::string> payloads = {"\x05x", std::string(300, 'a'),
                                         "\x5e"
                                         "0123456789abcde",
                                         std::string(5000, 'z')};
    std::string wire;
    {
        auto sender = make_sender();
        for (const std::string& payload : payloads) {
            SSHPacket p;
            Build(p, payload);
            ASSERT_EQ(sender->Seal(p, random), 0);
            wire += Bytes(p);
        }
    }
    // Whole, then the first 400 bytes (the three small packets and the start of the large one)
    // in chunks of every size up to 400, so that every packet boundary and the first block and
    // MAC of each packet are split at every offset; the rest follows whole.
    for (std::size_t chunk = 1; chunk <= 401; ++chunk) {
        auto receiver = make_receiver();
        Collected got;
        for (std::size_t at = 0; at < wire.size();) {
            std::size_t used = 0;
            std::size_t n = at < 400 && chunk <= 400 ? std::min(chunk, 400 - at) : wire.size() - at;
            ASSERT_EQ(receiver->Feed(reinterpret_cast<const std::uint8_t*>(wire.data()) + at, n,
                                     &used, got.Handler()),
                      0)
                << "chunk " << chunk;
            ASSERT_EQ(used, n);
            at += n;
        }
        ASSERT_EQ(got.payloads, payloads) << "chunk " << chunk;
        EXPECT_EQ(receiver->IncomingSequence(), payloads.size());
        EXPECT_FALSE(receiver->Assembling());
    }
}

INSTANTIATE_TEST_SUITE_P(AllKeys, FramingRoundTrip,
                         ::testing::Values(Keys{-1, 2}, Keys{0, 0}, Keys{1, 1}, Keys{2, 0},
                                           Keys{3, 1}, Keys{4, 0}),
                         [](const ::testing::TestParamInfo<Keys>& info) {
                             std::string name = info.param.cipher < 0
                                                    ? "plain"
                                                    : FindCipher(info.param.cipher)->name;
                             name += std::string("_") + FindMac(info.param.mac)->name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

// A plain packet with a chosen length field and padding byte.
std::string RawPacket(std::uint32_t length, std::uint8_t padding, std::size_t body) {
    std::string s = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                     static_cast<char>(length >> 8), static_cast<char>(length),
                     static_cast<char>(padding)};
    s.append(body, '\x02');
    return s;
}

TEST(SshFraming, ImpossibleLengthsAreRefusedBeforeDispatch) {
    struct Case {
        std::uint32_t length;
        std::uint8_t padding;
        const char* what;
    } cases[] = {
        {35000, 4, "beyond the largest packet"},
        {0xffffffffu, 4, "length that would overflow"},
        {4, 4, "below the minimum"},
        {12, 3, "padding under 4"},
        {22, 4, "not a multiple of the block size"},
        {12, 11, "padding leaves no message number"},
        {12, 200, "padding longer than the packet"},
    };
    for (const Case& c : cases) {
        SSH2Framing framing;
        Collected got;
        std::string wire = RawPacket(c.length, c.padding, 40);
        std::size_t used = 0;
        EXPECT_EQ(framing.Feed(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(),
                               &used, got.Handler()),
                  status::kBadPacket)
            << c.what;
        EXPECT_TRUE(got.payloads.empty()) << c.what;
    }
    // The largest packet that is allowed passes.
    SSH2Framing framing;
    Collected got;
    std::string wire = RawPacket(34996, 6, 34996 - 1);
    std::size_t used = 0;
    EXPECT_EQ(framing.Feed(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(), &used,
                           got.Handler()),
              0);
    EXPECT_EQ(got.payloads.size(), 1u);
}

TEST(SshFraming, AnyAlteredByteFailsTheMac) {
    std::uint8_t key[16] = {9}, iv[16] = {8}, mac_key[20] = {7};
    RandomGenerator random;
    SSH2Framing sender;
    sender.SetOutgoing(MakeCipher(3, true, key, iv), MakeMac(0, mac_key));
    SSHPacket p;
    Build(p,
          "\x5e"
          "some channel data");
    ASSERT_EQ(sender.Seal(p, random), 0);
    const std::string wire = Bytes(p);
    for (std::size_t at = 16; at < wire.size(); ++at) {  // past the first block: the length
        std::string altered = wire;
        altered[at] = static_cast<char>(altered[at] ^ 0x01);
        SSH2Framing receiver;
        receiver.SetIncoming(MakeCipher(3, false, key, iv), MakeMac(0, mac_key));
        Collected got;
        std::size_t used = 0;
        EXPECT_EQ(receiver.Feed(reinterpret_cast<const std::uint8_t*>(altered.data()),
                                altered.size(), &used, got.Handler()),
                  status::kMacFailed)
            << at;
        EXPECT_TRUE(got.payloads.empty());
    }
}

TEST(SshFraming, CompressionRunsAcrossPacketsInBothDirections) {
    RandomGenerator random;
    SSH2Framing sender, receiver;
    ASSERT_TRUE(sender.StartCompression());
    ASSERT_TRUE(receiver.StartDecompression());
    std::vector<std::string> payloads;
    std::string wire;
    for (int i = 0; i < 20; ++i) {
        std::string payload(1, '\x5e');
        payload.append(static_cast<std::size_t>(i * 1500), static_cast<char>('a' + i % 3));
        for (int j = 0; j < i * 10; ++j)
            payload += static_cast<char>(random.NextByte());  // some of it incompressible
        payloads.push_back(payload);
        SSHPacket p;
        Build(p, payload);
        ASSERT_EQ(sender.Seal(p, random), 0);
        wire += Bytes(p);
    }
    Collected got;
    std::size_t used = 0;
    ASSERT_EQ(receiver.Feed(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(), &used,
                            got.Handler()),
              0);
    EXPECT_EQ(got.payloads, payloads);

    // Compressed data that inflates to nothing has no message number: refused.
    {
        SSH2Framing empty_sender, empty_receiver;
        ASSERT_TRUE(empty_receiver.StartDecompression());
        z_stream z{};
        ASSERT_EQ(deflateInit(&z, Z_DEFAULT_COMPRESSION), Z_OK);
        std::uint8_t flushed[64];
        z.next_out = flushed;
        z.avail_out = sizeof flushed;
        ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
        SSHPacket nothing;
        Build(nothing, std::string(reinterpret_cast<char*>(flushed), sizeof flushed - z.avail_out));
        deflateEnd(&z);
        ASSERT_EQ(empty_sender.Seal(nothing, random), 0);
        std::size_t n = 0;
        EXPECT_EQ(empty_receiver.Feed(nothing.data(), nothing.size(), &n, got.Handler()),
                  status::kBadPacket);
    }

    // Garbage where compressed data should be fails with 24.
    SSH2Framing plain_sender, inflater;
    ASSERT_TRUE(inflater.StartDecompression());
    SSHPacket bad;
    Build(bad, "\xff\xff\xff\xff not a deflate stream");
    ASSERT_EQ(plain_sender.Seal(bad, random), 0);
    EXPECT_EQ(inflater.Feed(bad.data(), bad.size(), &used, got.Handler()),
              status::kDecompressionFailed);
}

TEST(SshPacket, PacketsLeaveNothingBehindForTheirNextUser) {
    PoolOwner owner;
    std::unique_ptr<SSHPacket> p = owner.getPacket();
    SSHPacket* raw = p.get();
    const std::string secret = "password: correct horse battery staple";
    p->beginPayload();
    p->putString(secret);
    const std::uint32_t used = p->size();
    p->reset();  // what a user of the packet might do before giving it back
    owner.releasePacket(std::move(p));
    std::unique_ptr<SSHPacket> again = owner.getPacket();
    ASSERT_EQ(again.get(), raw);
    EXPECT_EQ(std::count(again->data(), again->data() + used, 0), static_cast<long>(used));
}

TEST(SshFraming, AFullFlushKeepsLaterPacketsFromReferringToASecret) {
    // Packets compressed after the one carrying a password must not point back into it: their
    // sizes would tell an observer how much of the password they repeat. After a full flush
    // the rest of the stream decodes on its own, without the bytes before it.
    RandomGenerator random;
    for (bool full : {true, false}) {
        SSH2Framing sender;
        ASSERT_TRUE(sender.StartCompression());
        SSHPacket secret;
        Build(secret, "\x32 hunter2-hunter2-hunter2 the password");
        secret.fullFlush = full;
        ASSERT_EQ(sender.Seal(secret, random), 0);
        SSHPacket later;
        const std::string later_payload = "\x5e hunter2-hunter2-hunter2 typed again";
        Build(later, later_payload);
        ASSERT_EQ(sender.Seal(later, random), 0);
        // Without a cipher: length, padding length, the deflated payload, the padding.
        const std::uint32_t deflated = later.peekUint32At(0) - 1 - later.data()[4];
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, -15), Z_OK);  // raw deflate: no header, no dictionary
        std::uint8_t out[256];
        z.next_in = later.data() + 5;
        z.avail_in = deflated;
        z.next_out = out;
        z.avail_out = sizeof out;
        const int result = inflate(&z, Z_SYNC_FLUSH);
        const std::string decoded(reinterpret_cast<char*>(out), sizeof out - z.avail_out);
        inflateEnd(&z);
        if (full) {
            EXPECT_EQ(result, Z_OK);
            EXPECT_EQ(decoded, later_payload);
        } else {
            EXPECT_NE(decoded, later_payload);  // it refers to the secret's bytes
        }
    }
}

TEST(SshFraming, HandlerCanStopTheFeedAfterAPacket) {
    RandomGenerator random;
    SSH2Framing sender, receiver;
    std::string wire;
    for (const char* payload : {"\x01one", "\x02two", "\x03three"}) {
        SSHPacket p;
        Build(p, payload);
        ASSERT_EQ(sender.Seal(p, random), 0);
        wire += Bytes(p);
    }
    int handled = 0;
    std::size_t used = 0;
    ASSERT_EQ(receiver.Feed(reinterpret_cast<const std::uint8_t*>(wire.data()), wire.size(), &used,
                            [&](SSHPacket&) {
                                ++handled;
                                return SSH2Framing::kStopAfterThis;
                            }),
              0);
    EXPECT_EQ(handled, 1);
    EXPECT_EQ(used, 16u);
}

}  // namespace
}  // namespace tarnwick
