// The transport half of IO_SSH2 against the in-memory test server: version exchange and quirks,
// algorithm choice, both key exchanges, host-key signatures, NEWKEYS, compression, re-keying,
// the dispatcher's messages, and hostile input.
#include <gtest/gtest.h>

#include <cstring>

#include "core/known_hosts.h"
#include "core/status.h"
#include "crypto/diffie_hellman.h"
#include "crypto/random_generator.h"
#include "ssh/ssh2_kex.h"
#include "ssh/ssh2_version.h"
#include "ssh/ssh_test_access.h"
#include "ssh/ssh_test_harness.h"

namespace tarnwick {
namespace {

using testing::Byte;
using testing::SshHarness;
using testing::Str;
using testing::TestServer;
using testing::U32;

TestServer::Options Server(std::string version = "SSH-2.0-TestServer_1.0") {
    TestServer::Options options;
    options.version = std::move(version);
    return options;
}

TEST(SshVersion, ParsesAndJudgesVersionLines) {
    ServerVersion v;
    ASSERT_TRUE(ParseVersionLine("SSH-2.0-OpenSSH_9.2p1 Debian-2", &v));
    EXPECT_EQ(v.major, 2);
    EXPECT_EQ(v.minor, 0);
    EXPECT_EQ(v.software, "OpenSSH_9.2p1 Debian-2");
    EXPECT_TRUE(VersionUsable(v));
    ASSERT_TRUE(ParseVersionLine("SSH-1.99-x", &v));
    EXPECT_TRUE(VersionUsable(v));
    ASSERT_TRUE(ParseVersionLine("SSH-1.5-x", &v));
    EXPECT_FALSE(VersionUsable(v));
    for (const char* bad : {"SSH-2.0-", "SSH-2.0", "SSH-x.0-a", "SSH-2-a", "ssh-2.0-a", "SSH-2.a-b",
                            "SSH-99999999999.0-a"}) {
        EXPECT_FALSE(ParseVersionLine(bad, &v)) << bad;
    }
}

TEST(SshVersion, QuirkFlagsFollowTheSoftwareVersion) {
    EXPECT_EQ(QuirksFor("2.0.11 SSH Secure Shell"), m_pkok_bug | m_pkservice_bug | m_pkauth_bug);
    EXPECT_EQ(QuirksFor("2.0.13 (non-commercial)"),
              m_pkok_bug | m_pkservice_bug | m_rawsig_bug | m_serviceaccept_bug);
    EXPECT_EQ(QuirksFor("2.0.9 x"), m_pkok_bug | m_pkservice_bug | m_pkauth_bug);
    EXPECT_EQ(QuirksFor("2.0.20 x"), m_pkok_bug | m_pkservice_bug);
    EXPECT_EQ(QuirksFor("2.1.0 x"), m_pkok_bug | m_rawsig_bug | m_serviceaccept_bug);
    EXPECT_EQ(QuirksFor("2.1 x"), m_pkok_bug | m_rawsig_bug | m_serviceaccept_bug);
    EXPECT_EQ(QuirksFor("OpenSSH_2.5.1"), m_oldgex_bug);
    EXPECT_EQ(QuirksFor("OpenSSH-2.0"), m_oldgex_bug);
    EXPECT_EQ(QuirksFor("OpenSSH_2.2.0p1"), m_oldgex_bug);
    EXPECT_EQ(QuirksFor("OpenSSH_3.9p1"), 0u);
    EXPECT_EQ(QuirksFor("OpenSSH_2.5.3"), 0u);
}

TEST(SshVersion, ReaderSkipsBannersAndKeepsWhatFollows) {
    const std::string stream =
        std::string("Welcome\r\nsecond line\nSSH-2.0-srv\r\n") + std::string("\0\0\0\x0c", 4);
    // Whole, and one byte at a time: the same line and the same split.
    for (std::size_t chunk : {stream.size(), std::size_t{1}, std::size_t{7}}) {
        VersionLineReader reader;
        std::size_t at = 0;
        VersionLineReader::Result result = VersionLineReader::Result::kNeedMore;
        while (at < stream.size() && result == VersionLineReader::Result::kNeedMore) {
            std::size_t used = 0;
            std::size_t n = std::min(chunk, stream.size() - at);
            result =
                reader.Add(reinterpret_cast<const std::uint8_t*>(stream.data()) + at, n, &used);
            at += used;
        }
        ASSERT_EQ(result, VersionLineReader::Result::kFound) << chunk;
        EXPECT_EQ(reader.line(), "SSH-2.0-srv");
        EXPECT_EQ(stream.substr(at), std::string("\x00\x00\x00\x0c", 4)) << chunk;
    }
    // A line that never ends is not collected forever.
    VersionLineReader endless;
    std::string junk(VersionLineReader::kMaxLine + 10, 'x');
    std::size_t used = 0;
    EXPECT_EQ(endless.Add(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size(), &used),
              VersionLineReader::Result::kFailed);
}

TEST(SshTransport, WholeExchangeDeliveredOneByteAtATime) {
    SshHarness h;
    h.chunk = 1;
    ASSERT_TRUE(h.LogIn()) << h.Shown();
    h.server.Send(Byte(94) + U32(h.server.client_channel()) + Str("byte by byte"));
    ASSERT_TRUE(h.RunUntil([&] { return h.top->Received() == "byte by byte"; }));
    EXPECT_EQ(h.last_error, 0);
}

TEST(SshTransport, BannersBeforeTheVersionLineAreSkippedUnshown) {
    TestServer::Options options = Server();
    options.before_version = "Hello there\r\nThis is not shown\r\n";
    SshHarness h(options);
    h.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(h.LogIn());
    EXPECT_FALSE(h.Showed("Hello there"));
    EXPECT_TRUE(h.Showed("Server reports SSH-2.0-TestServer_1.0\r\n"));
    EXPECT_TRUE(h.Showed("Keeping partial packet from initial exchange"));
    EXPECT_EQ(h.server.client_version(), "SSH-2.0-Tarnwick2.06");
}

TEST(SshTransport, ProtocolVersionsAcceptedAndRefused) {
    {
        SshHarness h(Server("SSH-1.99-Compatible_1"));
        ASSERT_TRUE(h.LogIn()) << h.Shown();
    }
    for (const char* version : {"SSH-1.5-Old", "SSH-3.0-Future", "SSH-2.0-", "SSH-garbage"}) {
        SshHarness h(Server(version));
        ASSERT_EQ(h.Open(), 0);
        h.Settle(3);
        EXPECT_EQ(h.last_error, status::kProtocolError) << version;
        EXPECT_TRUE(h.Showed("Server uses an incompatible version\r\n")) << version;
        // The client never answered: it speaks only after a usable server version.
        EXPECT_EQ(h.server.client_version(), "") << version;
    }
}

// The ten name-lists of a KEXINIT payload.
std::vector<std::string> NameLists(const std::string& kexinit) {
    SSHPacket p;
    p.putBytes(kexinit.data(), static_cast<std::uint32_t>(kexinit.size()));
    p.setPosition(17);
    std::vector<std::string> lists;
    for (int i = 0; i < 10; ++i)
        lists.push_back(p.getString());
    return lists;
}

TEST(SshTransport, ClientPreferenceDecidesAndCompressionFollowsTheServer) {
    TestServer::Options options;
    options.macs = "hmac-md5,hmac-sha1";
    options.ciphers = "3des-cbc,aes128-cbc";
    options.compression = "none";
    SshHarness h(options);
    const std::int32_t ciphers[] = {3, 4};
    h.config.SetList(setting::ssh2_EnabledCiphers, ciphers, 2);
    h.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(h.LogIn());
    // The one method chosen, and the markers of the first exchange: we take EXT_INFO and do
    // strict key exchange.
    EXPECT_EQ(NameLists(h.server.ReceivedOfType(kMsgKexInit).at(0)),
              (std::vector<std::string>{
                  "diffie-hellman-group1-sha1,ext-info-c,kex-strict-c-v00@openssh.com", "ssh-rsa",
                  "aes128-cbc", "aes128-cbc", "hmac-sha1", "hmac-sha1", "none", "none", "", ""}));
    EXPECT_TRUE(h.Showed("Using MAC: hmac-sha1\r\n"));

    // zlib is offered only when the server lists it, "zlib@openssh.com" first, and never with
    // the setting off. (Both kinds running against real servers are proven by the interop tests.)
    struct Case {
        const char* server;
        int setting;
        const char* offered;
    } cases[] = {{"ZLIB,none", 1, "zlib,none"},
                 {"none,zlib,zlib@openssh.com", 1, "zlib@openssh.com,none"},
                 {"none,zlib,zlib@openssh.com", 0, "none"}};
    for (const Case& c : cases) {
        options.compression = c.server;
        SshHarness z(options);
        z.config.SetInt(setting::ssh_useCompression, c.setting);
        ASSERT_TRUE(z.LogIn());
        const std::vector<std::string> lists =
            NameLists(z.server.ReceivedOfType(kMsgKexInit).at(0));
        EXPECT_EQ(lists[6], c.offered) << c.server;
        EXPECT_EQ(lists[7], c.offered) << c.server;
    }
    // Delayed compression starts with the login: the password went out uncompressed.
    SshHarness delayed(options);
    ASSERT_TRUE(delayed.LogIn());
    EXPECT_EQ(delayed.server.passwords(), std::vector<std::string>{"secret"});
    EXPECT_TRUE(delayed.ssh->CompressingOutgoing() && delayed.ssh->DecompressingIncoming());
}

// The key exchange is the first of the client's list that the server offers, whatever the
// server's own order (and so for the cipher: AES-CTR comes before AES-GCM in the default list).
// Answering the server's KEXINIT, the client names just its choice.
TEST(SshTransport, KeyExchangeFollowsTheClientsOwnPreferenceList) {
    TestServer::Options options;
    options.kex = "curve25519-sha256,ecdh-sha2-nistp256,diffie-hellman-group14-sha256";
    options.hostkeys = "ssh-rsa,ssh-ed25519";
    options.ciphers = "aes256-gcm@openssh.com,aes128-ctr";
    options.macs = "hmac-sha2-512-etm@openssh.com";
    struct Case {
        std::vector<std::int32_t> kex;
        const char* chosen;
        const char* offered;
    } cases[] = {
        {{3, 7, 10},
         "diffie-hellman-group14-sha256",
         "diffie-hellman-group14-sha256,ecdh-sha2-nistp256,curve25519-sha256"},
        {{13, 12, 7},
         "ecdh-sha2-nistp256",
         "sntrup761x25519-sha512,sntrup761x25519-sha512@openssh.com,ecdh-sha2-nistp256"},
        {{}, "curve25519-sha256", nullptr},  // the default order
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        SshHarness h(options);
        h.config.SetInt(setting::debug, 1);
        h.config.SetList(setting::ssh2_kex_algorithms, c.kex.data(),
                         static_cast<int>(c.kex.size()));
        ASSERT_TRUE(h.LogIn()) << h.Shown();
        EXPECT_TRUE(h.Showed(std::string("Using key exchange: ") + c.chosen + "\r\n")) << h.Shown();
        EXPECT_TRUE(h.Showed("Using key algorithm: ssh-ed25519\r\n")) << h.Shown();
        EXPECT_TRUE(h.Showed("Using cipher: aes128-ctr\r\n")) << h.Shown();
        const std::vector<std::string> lists =
            NameLists(h.server.ReceivedOfType(kMsgKexInit).at(0));
        EXPECT_EQ(lists[0], std::string(c.chosen) + ",ext-info-c,kex-strict-c-v00@openssh.com");
    }
}

TEST(SshTransport, NoCommonAlgorithmClosesTheLayer) {
    struct Case {
        const char* kex;
        const char* hostkeys;
        const char* ciphers;
        const char* macs;
        std::int32_t mac_preference;
        const char* message;
        const char* what;
        const char* offered;
    } cases[] = {
        {"mlkem768x25519-sha256,ecdh-sha2-1.3.132.0.10", "ssh-rsa", "aes128-cbc", "hmac-sha1", 0,
         "Key negotiation failed", "key exchange method",
         "mlkem768x25519-sha256,ecdh-sha2-1.3.132.0.10"},
        {"diffie-hellman-group1-sha1", "ssh-ed448,sk-ssh-ed25519@openssh.com", "aes128-cbc",
         "hmac-sha1", 0, "Unknown host key algorithm specified", "host key algorithm",
         "ssh-ed448,sk-ssh-ed25519@openssh.com"},
        {"diffie-hellman-group1-sha1", "ssh-rsa", "twofish256-cbc", "hmac-sha1", 0,
         "Unknown encryption method specified", "cipher", "twofish256-cbc"},
        {"diffie-hellman-group1-sha1", "ssh-rsa", "aes128-cbc", "umac-64@openssh.com", 0,
         "Unknown HMAC method specified", "usable MAC", "umac-64@openssh.com"},
        {"diffie-hellman-group1-sha1", "ssh-rsa", "aes128-cbc", "hmac-sha1-96", 3,
         "Unknown HMAC method specified", "usable MAC", "hmac-sha1-96"},
    };
    for (const Case& c : cases) {
        // The debug lines only with debug messages on; which list had nothing in common, and
        // what the server offered, always.
        for (int debug : {1, 0}) {
            TestServer::Options options;
            options.kex = c.kex;
            options.hostkeys = c.hostkeys;
            options.ciphers = c.ciphers;
            options.macs = c.macs;
            SshHarness h(options);
            h.config.SetInt(setting::debug, debug);
            h.config.SetList(setting::ssh2_EnabledMACs, &c.mac_preference, 1);
            ASSERT_EQ(h.Open(), 0);
            h.Settle(5);
            EXPECT_EQ(h.Showed(c.message), debug == 1) << c.message << "\n" << h.Shown();
            EXPECT_TRUE(h.Showed(std::string("The server offers no ") + c.what +
                                 " this client supports; it offers: " + c.offered + "\r\n"))
                << h.Shown();
            EXPECT_FALSE(h.pipe->open()) << c.message;
            EXPECT_TRUE(h.server.ReceivedOfType(kMsgKexInit).empty()) << c.message;
            EXPECT_EQ(h.last_error, status::kNotConnected);
        }
    }
}

TEST(SshTransport, OldServersGetTheirOwnExchangeAndSignatures) {
    // The old group-exchange request, whose hash leaves out the minimum and maximum.
    TestServer::Options old_gex = Server("SSH-2.0-OpenSSH_2.5.1p1");
    old_gex.kex = "diffie-hellman-group-exchange-sha1";
    old_gex.old_gex = true;
    SshHarness a(old_gex);
    ASSERT_TRUE(a.LogIn()) << a.Shown();
    EXPECT_EQ(a.server.ReceivedOfType(kMsgKexDhInit).at(0), Byte(30) + U32(1024));

    // Bare host-key signatures, for DSA and RSA keys.
    for (std::int32_t hostkey : {0, 1}) {
        TestServer::Options raw = Server("SSH-2.0-2.0.13 (non-commercial)");
        raw.raw_signature = true;
        SshHarness b(raw);
        b.config.SetList(setting::ssh2_hostkey_algorithms, &hostkey, 1);
        ASSERT_TRUE(b.LogIn()) << b.Shown();
    }
}

TEST(SshTransport, BadKeyExchangeRepliesCloseTheLayerSilently) {
    struct Case {
        bool corrupt;
        std::optional<BigNum> f;
        const char* message;
    } cases[] = {
        {true, std::nullopt, "Host key corrupted; disconnecting\r\n"},
        {false, BigNum(1u), "Server sent an invalid value for 'f'; disconnecting\r\n"},
        {false, DhGroup1Prime() - BigNum(1u),
         "Server sent an invalid value for 'f'; disconnecting\r\n"},
    };
    for (const Case& c : cases) {
        TestServer::Options options;
        options.corrupt_signature = c.corrupt;
        options.forced_f = c.f;
        SshHarness h(options);
        h.config.SetInt(setting::debug, 1);
        ASSERT_EQ(h.Open(), 0);
        ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); })) << c.message;
        h.Settle(3);
        EXPECT_TRUE(h.Showed(c.message)) << h.Shown();
        // Nothing after the client's KEXDH_INIT: no NEWKEYS with keys nobody has checked.
        EXPECT_TRUE(h.server.ReceivedOfType(kMsgNewKeys).empty());
        EXPECT_EQ(h.last_error, status::kNotConnected);
    }
}

TEST(SshTransport, PacketsArrivingDuringTheReplyWorkerAreHandledAfterItInOrder) {
    TestServer::Options options;
    options.after_reply = {Byte(kMsgIgnore) + Str("x"),
                           Byte(kMsgDebug) + Byte(1) + Str("hi") + Str(""),
                           Byte(kMsgUnimplemented) + U32(3)};
    SshHarness h(options);
    h.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(h.LogIn()) << h.Shown();
    const std::string shown = h.Shown();
    const std::size_t verified = shown.find("Host key verified\r\n");
    const std::size_t debug = shown.find("Received a DEBUG Packet\r\n");
    const std::size_t unimplemented = shown.find("Server reports UNIMPLEMENTED\r\n");
    ASSERT_NE(verified, std::string::npos);
    ASSERT_NE(debug, std::string::npos);
    ASSERT_NE(unimplemented, std::string::npos);
    EXPECT_LT(verified, debug);
    EXPECT_LT(debug, unimplemented);
}

// Strict key exchange: a packet slipped in before NEWKEYS (what a man in the middle does to shift
// the sequence numbers undetected) ends the connection, also one ahead of the server's KEXINIT;
// without strict key exchange the same packets are harmless.
TEST(SshTransport, StrictKeyExchangeRefusesAnyOtherPacketInTheFirstExchange) {
    for (bool strict : {true, false}) {
        for (bool before_kexinit : {false, true}) {
            SCOPED_TRACE(std::string(strict ? "strict" : "not strict") +
                         (before_kexinit ? ", before KEXINIT" : ", before NEWKEYS"));
            TestServer::Options options;
            options.strict_kex = strict;
            if (before_kexinit) {
                options.send_kexinit_first = false;
            } else {
                options.after_reply = {Byte(kMsgIgnore) + Str("x")};
            }
            SshHarness h(options);
            h.config.SetInt(setting::debug, 1);
            if (before_kexinit) {
                h.server.Send(Byte(kMsgIgnore) + Str("x"));
                h.server.StartRekey();  // the server's KEXINIT, now second
            }
            if (!strict) {
                ASSERT_TRUE(h.LogIn()) << h.Shown();
                EXPECT_FALSE(h.ssh->strict_kex());
                continue;
            }
            ASSERT_EQ(h.Open(), 0);
            ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); })) << h.Shown();
            h.Settle(3);
            EXPECT_TRUE(h.Showed(before_kexinit
                                     ? "The server sent other packets before its key exchange, "
                                       "where strict key exchange allows none; disconnecting\r\n"
                                     : "The server sent a message (2) during the key exchange, "
                                       "where strict key exchange allows none; disconnecting\r\n"))
                << h.Shown();
            EXPECT_FALSE(h.server.authenticated());
            EXPECT_TRUE(h.server.ReceivedOfType(kMsgServiceRequest).empty());
        }
    }
}

TEST(SshTransport, NewKeysInEitherOrder) {
    TestServer::Options options;
    options.newkeys_after_client = true;
    SshHarness h(options);
    ASSERT_TRUE(h.LogIn()) << h.Shown();

    // A NEWKEYS before any reply would switch to keys nobody has checked.
    TestServer::Options early;
    early.send_kexinit_first = true;
    SshHarness e(early);
    e.server.on_message = nullptr;
    ASSERT_EQ(e.Open(), 0);
    e.Step();
    e.server.Send(Byte(kMsgNewKeys));
    e.Settle(5);
    EXPECT_TRUE(e.Showed("Server sent NEWKEYS before the key exchange was complete"));
    EXPECT_FALSE(e.pipe->open());
}

TEST(SshTransport, ServerRekeyKeepsTheSessionAndHoldsDataUntilNewKeys) {
    SshHarness h;
    ASSERT_TRUE(h.LogIn());
    const std::string first_session_id(reinterpret_cast<const char*>(h.ssh->session_id()), 20);
    ASSERT_EQ(h.Type("a"), 0);
    h.server.StartRekey();
    h.Deliver(h.server.TakeOutput());  // the client answers with its KEXINIT
    ASSERT_EQ(h.Type("b"), 0);         // must wait for the new keys
    ASSERT_TRUE(h.RunUntil([&] {
        return h.server.kex_count() == 2 && h.server.keys_in_force() &&
               h.server.channel_data(TestServer::kSessionChannel) == "ab";
    })) << h.Shown();
    EXPECT_EQ(h.server.error(), 0);
    // The data packet "b" went out after the client's second NEWKEYS.
    const auto& received = h.server.received();
    std::size_t newkeys = 0, b = 0;
    int newkeys_seen = 0;
    for (std::size_t i = 0; i < received.size(); ++i) {
        if (received[i] == Byte(kMsgNewKeys) && ++newkeys_seen == 2) newkeys = i;
        if (received[i].size() > 9 && received[i][0] == 94 && received[i].back() == 'b') b = i;
    }
    EXPECT_GT(b, newkeys);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.ssh->session_id()), 20),
              first_session_id);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.server.session_id()), 20),
              first_session_id);
    EXPECT_EQ(h.server.ReceivedOfType(kMsgServiceRequest).size(), 1u);
    EXPECT_EQ(h.ssh->IsConnected(), 1);
    // And the session still works both ways with the new keys.
    h.server.Send(Byte(94) + U32(h.server.client_channel()) + Str("after"));
    ASSERT_TRUE(h.RunUntil([&] { return h.top->Received() == "after"; }));
}

TEST(SshTransport, DisconnectShowsTheReasonText) {
    // Each reason number has its words; an unknown one has none.
    const std::pair<std::uint32_t, std::string> reasons[] = {{1, "Host not allowed to connect"},
                                                             {4, "<reserved>"},
                                                             {14,
                                                              "No more authentication methods "
                                                              "are available"},
                                                             {15, "Illegal user name"},
                                                             {16, ""}};
    for (const auto& [reason, text] : reasons) {
        SshHarness h;
        h.config.SetInt(setting::debug, reason % 2);
        ASSERT_EQ(h.Open(), 0);
        h.Step();
        h.server.Send(Byte(kMsgDisconnect) + U32(reason) + Str("Bye\x1b[2J now") + Str(""));
        h.Settle(3);
        // The server's description cannot drive the terminal.
        EXPECT_TRUE(h.Showed("Bye?[2J now\r\nServer reports: " + text + "\r\n")) << h.Shown();
        EXPECT_EQ(h.Showed("Received server DISCONNECT packet\r\n"), reason % 2 == 1);
        EXPECT_FALSE(h.pipe->open());
        EXPECT_EQ(h.last_error, status::kNotConnected);
    }
}

TEST(SshTransport, HostileFramingIsRefusedWithItsStatus) {
    {
        // A length no packet may have, before any key is in force.
        TestServer::Options options;
        options.send_kexinit_first = false;
        SshHarness h(options);
        h.config.SetInt(setting::debug, 1);
        ASSERT_EQ(h.Open(), 0);
        h.server.SendRaw(U32(100000) + Byte(4) + std::string(100, 'x'));
        h.Settle(3);
        EXPECT_EQ(h.last_error, status::kBadPacket);
        EXPECT_TRUE(h.Showed("Received corrupted packet.\r\n"));
        EXPECT_TRUE(h.Showed(
            "The server sent a packet whose length or padding is impossible; disconnecting\r\n"));
        // The first error stays.
        EXPECT_EQ(h.ssh->Receive(reinterpret_cast<const std::uint8_t*>("x"), 1),
                  status::kBadPacket);
    }
    {
        SshHarness h;
        ASSERT_TRUE(h.LogIn());
        h.server.SendWithBadMac(Byte(94) + U32(h.server.client_channel()) + Str("evil"));
        h.Settle(3);
        EXPECT_EQ(h.last_error, status::kMacFailed);
        EXPECT_TRUE(h.Showed("Corrupted MAC; disconnecting\r\n"));
        EXPECT_EQ(h.top->Received(), "");
    }
}

TEST(SshTransport, UnknownAndOutOfPlaceMessages) {
    SshHarness h;
    h.config.SetInt(setting::debug, 1);
    ASSERT_EQ(h.Open(), 0);
    h.Step();
    // A login success before any key is in force is not believed.
    h.server.Send(Byte(kMsgUserauthSuccess));
    h.server.Send(Byte(kMsgChannelData) + U32(1) + Str("early"));
    h.ui.QueuePrompt(std::string("secret"));
    ASSERT_TRUE(h.WaitConnected());
    EXPECT_TRUE(h.Showed("Unexpected packet (52) received; ignoring\r\n"));
    EXPECT_TRUE(h.Showed("Unexpected packet (94) received; ignoring\r\n"));
    EXPECT_EQ(h.top->Received(), "");

    const std::size_t before = h.server.received().size();
    h.server.Send(Byte(200) + "whatever");
    h.server.Send(Byte(kMsgGlobalRequest) + Str("keepalive@openssh.com") + Byte(1));
    h.server.Send(Byte(kMsgGlobalRequest) + Str("hostkeys-00@openssh.com") + Byte(0));
    h.Settle(3);
    EXPECT_TRUE(h.Showed("Unknown packet (200) received; ignoring\r\n"));
    std::vector<std::string> unimplemented = h.server.ReceivedOfType(kMsgUnimplemented);
    ASSERT_EQ(unimplemented.size(), 1u);
    EXPECT_EQ(unimplemented[0].size(), 5u);
    EXPECT_EQ(h.server.ReceivedOfType(kMsgRequestFailure).size(), 1u);
    EXPECT_EQ(h.server.received().size(), before + 2);
    EXPECT_EQ(h.ssh->IsConnected(), 1);
}

// An ssh-rsa blob with an all-ones (odd) modulus of the given size.
std::string RsaBlob(int bits, const BigNum& e = BigNum(65537u)) {
    BigNum n;
    n.SetHex(std::string(static_cast<std::size_t>(bits / 4), 'f'));
    return Str("ssh-rsa") + testing::Mpint(e) + testing::Mpint(n);
}

std::string DsaBlob(int p_bits, int q_bits) {
    BigNum p, q;
    p.SetHex(std::string(static_cast<std::size_t>(p_bits / 4), 'f'));
    q.SetHex(std::string(static_cast<std::size_t>(q_bits / 4), 'f'));
    return Str("ssh-dss") + testing::Mpint(p) + testing::Mpint(q) + testing::Mpint(BigNum(2u)) +
           testing::Mpint(BigNum(3u));
}

// Runs the exchange until the server has received a message of this number, and holds back
// what the server says next.
bool RunUntilServerHas(SshHarness& h, std::uint8_t message) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        h.server.FromClient(h.pipe->Take());
        if (!h.server.ReceivedOfType(message).empty()) return true;
        h.Deliver(h.server.TakeOutput());
        h.loop.ProcessOnce(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(SshTransport, HostKeysOfUnusableSizeAreRefusedBeforeAnyArithmetic) {
    BigNum huge_e;
    huge_e.SetHex("100000001");
    struct Case {
        std::string blob;
        std::int32_t hostkey;
        const char* problem;
    } cases[] = {
        {RsaBlob(20000), 0, "its RSA modulus has 20000 bits (1024 to 16384 are accepted)"},
        {RsaBlob(768), 0, "its RSA modulus has 768 bits (1024 to 16384 are accepted)"},
        {RsaBlob(2048, BigNum(65536u)), 0,
         "its RSA exponent is not an odd number from 3 to 4294967295"},
        {RsaBlob(2048, BigNum(1u)), 0,
         "its RSA exponent is not an odd number from 3 to 4294967295"},
        {RsaBlob(2048, huge_e), 0, "its RSA exponent is not an odd number from 3 to 4294967295"},
        {DsaBlob(1024, 256), 1, "its DSA subgroup order q has 256 bits (160 are accepted)"},
        {DsaBlob(4096, 160), 1, "its DSA prime p has 4096 bits (1024 to 3072 are accepted)"},
        {Str("ssh-rsa") + "junk", 0, "it is not a well-formed ssh-rsa key"},
    };
    for (const Case& c : cases) {
        TestServer::Options options;
        options.host_key_blob = c.blob;
        SshHarness h(options);
        h.config.SetList(setting::ssh2_hostkey_algorithms, &c.hostkey, 1);
        ASSERT_EQ(h.Open(false), 0);
        ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); })) << c.problem;
        EXPECT_TRUE(h.Showed(std::string("The server's host key cannot be used: ") + c.problem +
                             "; disconnecting\r\n"))
            << h.Shown();
        EXPECT_TRUE(h.ui.shown().empty()) << c.problem;
        EXPECT_TRUE(h.server.ReceivedOfType(kMsgNewKeys).empty());
    }
    // The edges that are accepted.
    EXPECT_EQ(HostKeyProblem("ssh-rsa", RsaBlob(1024, BigNum(3u))), "");
    EXPECT_EQ(HostKeyProblem("ssh-rsa", RsaBlob(16384, BigNum(0xffffffffu))), "");
    EXPECT_EQ(HostKeyProblem("ssh-dss", DsaBlob(3072, 160)), "");
    EXPECT_EQ(HostKeyProblem("ssh-dss", testing::DsaHostBlob()), "");
}

TEST(SshTransport, TheSecretExponentIsNeverShortWhateverTheSessionFileSays) {
    // A 2048-bit group and a session file asking for 1 percent: a quarter of the group's size
    // is used all the same.
    BigNum p;
    ASSERT_TRUE(p.SetHex(std::string(512, 'f')));
    TestServer::Options options;
    options.kex = "diffie-hellman-group-exchange-sha1";
    options.gex_p = p;
    SshHarness h(options);
    h.config.SetInt(setting::ssh2_random_generator_percentage, 1);
    ASSERT_EQ(h.Open(), 0);
    // Up to the client's public value, and not further: the exponent is wiped once the keys are
    // in force.
    ASSERT_TRUE(RunUntilServerHas(h, kMsgKexDhGexInit));
    EXPECT_GE(SSH2TestAccess::ExponentBits(*h.ssh), 512);
}

TEST(SshTransport, NoKeyExchangeWithoutSystemEntropy) {
    struct Restore {
        ~Restore() {
            RandomGenerator::SetEntropySource(nullptr);
            RandomGenerator::Global().EnsureEntropy();
        }
    } restore;
    RandomGenerator::SetEntropySource([](std::uint8_t*, std::size_t) { return false; });
    ASSERT_FALSE(RandomGenerator::Global().StartupSeed());
    {
        SshHarness h;
        ASSERT_EQ(h.Open(), 0);
        ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
        EXPECT_TRUE(
            h.Showed("The system's random number source cannot be read, so no secret key "
                     "can be made safely; disconnecting\r\n"))
            << h.Shown();
        EXPECT_TRUE(h.server.ReceivedOfType(kMsgKexInit).empty());
    }
    // Once the system gives entropy again, connections work.
    RandomGenerator::SetEntropySource(nullptr);
    SshHarness again;
    ASSERT_TRUE(again.LogIn()) << again.Shown();
}

TEST(SshTransport, ACipherThatCannotBeSetUpEndsTheExchange) {
    SshHarness h;
    ASSERT_EQ(h.Open(), 0);
    // The client's KEXINIT has fixed the cipher; the server's reply waits.
    ASSERT_TRUE(RunUntilServerHas(h, kMsgKexInit));
    SSH2TestAccess::BreakCipher(*h.ssh);
    ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
    EXPECT_TRUE(h.Showed("The negotiated cipher or MAC could not be set up; disconnecting\r\n"))
        << h.Shown();
    // Never a NEWKEYS that would go on without encryption.
    EXPECT_TRUE(h.server.ReceivedOfType(kMsgNewKeys).empty());
}

TEST(SshTransport, AGuessedKeyExchangePacketIsUsedOnlyWhenTheGuessWasRight) {
    const std::string guessed = Byte(kMsgDebug) + Byte(1) + Str("guess") + Str("");
    // The server guessed group 1, but group exchange is chosen: its packet is ignored.
    TestServer::Options wrong;
    wrong.kex = "diffie-hellman-group1-sha1,diffie-hellman-group-exchange-sha1";
    wrong.guessed_packet = guessed;
    SshHarness a(wrong);
    a.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(a.LogIn()) << a.Shown();
    EXPECT_TRUE(a.Showed("Ignoring the server's guessed key exchange packet\r\n"));
    EXPECT_FALSE(a.Showed("Received a DEBUG Packet"));
    // Method and host-key algorithm as the server guessed: the packet counts.
    TestServer::Options right;
    right.guessed_packet = guessed;
    SshHarness b(right);
    b.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(b.LogIn()) << b.Shown();
    EXPECT_TRUE(b.Showed("Received a DEBUG Packet\r\n"));
    EXPECT_FALSE(b.Showed("Ignoring"));
}

TEST(SshTransport, TheClientStartsANewKeyExchangeAfterItsByteAndTimeLimits) {
    SshHarness h;
    ASSERT_TRUE(h.LogIn());
    const std::string session_id(reinterpret_cast<const char*>(h.ssh->session_id()), 20);
    SSH2TestAccess::SetRekeyLimits(*h.ssh, 64 * 1024, std::chrono::hours(1));
    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 23);
    ASSERT_EQ(h.Type(data), 0);
    ASSERT_TRUE(h.RunUntil([&] {
        return h.server.kex_count() == 2 &&
               h.server.channel_data(TestServer::kSessionChannel) == data;
    })) << h.Shown();
    // The client's KEXINIT came first: the server answered it.
    EXPECT_EQ(h.server.ReceivedOfType(kMsgKexInit).size(), 2u);
    EXPECT_EQ(h.server.error(), 0);

    // An hour under one set of keys: the next keystroke starts an exchange.
    SSH2TestAccess::SetRekeyLimits(*h.ssh, IO_SSH2::kRekeyBytes, std::chrono::seconds(0));
    ASSERT_EQ(h.Type("t"), 0);
    SSH2TestAccess::SetRekeyLimits(*h.ssh, IO_SSH2::kRekeyBytes, IO_SSH2::kRekeyInterval);
    ASSERT_TRUE(h.RunUntil([&] {
        return h.server.kex_count() == 3 &&
               h.server.channel_data(TestServer::kSessionChannel) == data + "t";
    }));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.ssh->session_id()), 20), session_id);
    h.server.Send(Byte(94) + U32(h.server.client_channel()) + Str("still here"));
    ASSERT_TRUE(h.RunUntil([&] { return h.top->Received() == "still here"; }));
    EXPECT_EQ(h.ssh->IsConnected(), 1);
}

TEST(SshLayer, OpeningConnectedStateAndTheWaitCursor) {
    {
        IO_SSH2 alone;
        SessionConfig config;
        EXPECT_EQ(alone.Open(&config), status::kNoLowerLayer);
    }
    SshHarness h;
    ASSERT_EQ(h.Open(), 0);
    EXPECT_TRUE(h.Showed("Connected. Waiting for server\r\n"));
    EXPECT_TRUE(h.ui.wait_cursor());
    EXPECT_EQ(h.ssh->IsConnected(), 0);
    EXPECT_EQ(h.ssh->IsLinkUp(), 1);  // the transport is up
    EXPECT_EQ(h.Type("early"), status::kNotConnected);
    EXPECT_EQ(h.ssh->Open(&h.config), status::kAlreadyOpen);
    h.ui.QueuePrompt(std::string("secret"));
    ASSERT_TRUE(h.WaitConnected());
    EXPECT_FALSE(h.ui.wait_cursor());
    EXPECT_EQ(h.ssh->IsLinkUp(), 1);
    h.top->Close();
    h.ssh->Close();
    EXPECT_FALSE(h.pipe->open());
    EXPECT_EQ(h.ssh->IsConnected(), 0);
}

TEST(SshLayer, TrafficFillerSendsIgnoreWhileConnected) {
    SshHarness h;
    h.config.SetInt(setting::ssh_streamFill, 1);
    ASSERT_TRUE(h.LogIn());
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgIgnore).empty(); },
                           std::chrono::seconds(3)));
    const std::string ignore = h.server.ReceivedOfType(kMsgIgnore)[0];
    const std::uint32_t length = testing::U32At(ignore, 1);
    EXPECT_GE(length, 1u);
    EXPECT_LE(length, 16u);
    EXPECT_EQ(ignore.size(), 5u + length);
}

TEST(SshLayer, ClosingWhileTheReplyWorkerRunsDoesNotHang) {
    // A group the size of the largest one allowed makes the worker's exponentiation slow.
    BigNum p;
    ASSERT_TRUE(p.SetHex(std::string(2048, 'f')));
    TestServer::Options options;
    options.kex = "diffie-hellman-group-exchange-sha1";
    options.gex_p = p;
    SshHarness h(options);
    ASSERT_EQ(h.Open(), 0);
    h.Step();
    h.Step();
    const auto start = std::chrono::steady_clock::now();
    h.top->Close();
    h.ssh->Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(h.pipe->open());
}

}  // namespace
}  // namespace tarnwick
