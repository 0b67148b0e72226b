// The transport half of IO_SSH2 against the in-memory test server: version exchange and quirks,
// algorithm choice, both key exchanges, host-key signatures, NEWKEYS, compression, re-keying,
// the dispatcher's messages, and hostile input.
#include <gtest/gtest.h>

#include <cstring>

#include "core/status.h"
#include "crypto/diffie_hellman.h"
#include "ssh/known_hosts.h"
#include "ssh/ssh2_version.h"
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

// Logs in with a password and waits for the connected state.
bool Login(SshHarness& h) {
    h.ui.QueuePrompt(std::string("secret"));
    if (h.Open() != 0) return false;
    return h.WaitConnected();
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

struct Suite {
    const char* cipher;
    const char* mac;
    int cipher_id;
    int mac_id;
};

class SshLoginMatrix : public ::testing::TestWithParam<Suite> {};

// Every cipher and MAC, group 1 and group exchange, RSA and DSA host keys, up to a working
// session: the client's data reaches the server decrypted and the server's data comes up.
TEST_P(SshLoginMatrix, LogsInAndCarriesData) {
    const Suite suite = GetParam();
    for (const char* kex : {"diffie-hellman-group1-sha1", "diffie-hellman-group-exchange-sha1"}) {
        for (int hostkey : {0, 1}) {
            TestServer::Options options;
            options.kex = kex;
            SshHarness h(options);
            h.config.SetInt(setting::debug, 1);
            h.config.SetList(setting::ssh2_EnabledCiphers, &suite.cipher_id, 1);
            h.config.SetList(setting::ssh2_EnabledMACs, &suite.mac_id, 1);
            h.config.SetList(setting::ssh2_hostkey_algorithms, &hostkey, 1);
            ASSERT_TRUE(Login(h)) << kex << " " << suite.cipher << " " << h.Shown();
            ASSERT_EQ(h.Type("ls\r"), 0);
            h.server.Send(Byte(94) + U32(h.server.client_channel()) + Str("file1 file2\r\n"));
            ASSERT_TRUE(h.RunUntil([&] {
                return h.server.channel_data(TestServer::kSessionChannel) == "ls\r" &&
                       h.top->Received() == "file1 file2\r\n";
            })) << kex
                << " " << suite.cipher << " " << suite.mac;
            EXPECT_EQ(h.server.error(), 0);
            EXPECT_EQ(h.last_error, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllSuites, SshLoginMatrix,
                         ::testing::Values(Suite{"aes128-cbc", "hmac-sha1", 3, 0},
                                           Suite{"aes192-cbc", "hmac-md5", 2, 1},
                                           Suite{"aes256-cbc", "hmac-sha1", 0, 0},
                                           Suite{"3des-cbc", "hmac-md5", 4, 1},
                                           Suite{"blowfish-cbc", "hmac-sha1", 1, 0}));

TEST(SshTransport, WholeExchangeDeliveredOneByteAtATime) {
    SshHarness h;
    h.chunk = 1;
    ASSERT_TRUE(Login(h)) << h.Shown();
    h.server.Send(Byte(94) + U32(h.server.client_channel()) + Str("byte by byte"));
    ASSERT_TRUE(h.RunUntil([&] { return h.top->Received() == "byte by byte"; }));
    EXPECT_EQ(h.last_error, 0);
}

TEST(SshTransport, BannersBeforeTheVersionLineAreSkippedUnshown) {
    TestServer::Options options = Server();
    options.before_version = "Hello there\r\nThis is not shown\r\n";
    SshHarness h(options);
    h.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(Login(h));
    EXPECT_FALSE(h.Showed("Hello there"));
    EXPECT_TRUE(h.Showed("Server reports SSH-2.0-TestServer_1.0\r\n"));
    EXPECT_TRUE(h.Showed("Keeping partial packet from initial exchange"));
    EXPECT_EQ(h.server.client_version(), "SSH-2.0-Tarnwick2.06");
}

TEST(SshTransport, ProtocolVersionsAcceptedAndRefused) {
    {
        SshHarness h(Server("SSH-1.99-Compatible_1"));
        ASSERT_TRUE(Login(h)) << h.Shown();
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

TEST(SshTransport, QuirkFlagsAreReportedInTableOrder) {
    struct Case {
        const char* version;
        const char* lines;
    } cases[] = {
        {"SSH-2.0-2.0.13 (x)",
         "Server has m_serviceaccept_bug\r\nServer has m_rawsig_bug\r\n"
         "Server has m_pkservice_bug\r\nServer has m_pkok_bug\r\n"},
        {"SSH-2.0-2.0.11 (x)",
         "Server has m_pkservice_bug\r\nServer has m_pkauth_bug\r\nServer has m_pkok_bug\r\n"},
        {"SSH-2.0-OpenSSH_2.5.1", "Server has m_oldgex_bug\r\n"},
    };
    for (const Case& c : cases) {
        TestServer::Options options = Server(c.version);
        options.raw_signature = std::string(c.version).find("2.0.13") != std::string::npos;
        SshHarness h(options);
        h.config.SetInt(setting::debug, 1);
        ASSERT_EQ(h.Open(), 0);
        h.Settle(3);
        EXPECT_TRUE(h.Showed(c.lines)) << h.Shown();
    }
    SshHarness modern(Server("SSH-2.0-OpenSSH_3.9p1"));
    modern.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(Login(modern));
    EXPECT_FALSE(modern.Showed("Server has"));
}

}  // namespace
}  // namespace tarnwick
