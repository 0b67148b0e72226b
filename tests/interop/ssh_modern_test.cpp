// The SSH2 layer against Debian's OpenSSH server as it is installed, with only today's algorithms:
// a password login with every default, then each key exchange, host key, cipher and MAC in turn
// (one sshd per case, the client restricted to one algorithm per login), fingerprints as
// ssh-keygen prints them, re-keying with the AEAD ciphers, and the user's own known_hosts file.
// (Key logins are in ssh_key_files_test.cpp; the 10 MB forward runs against both kinds of sshd in
// ssh_openssh_test.cpp.)
#include <gtest/gtest.h>

#include "core/known_hosts.h"
#include "interop/ssh_client.h"
#include "interop/ssh_sshd.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh_test_access.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;
using testing::SshdConfig;
using testing::SshdServer;

// Logs in with the password (accepting the host key), runs a command and checks its output,
// then leaves. Everything the client showed, for the caller's own checks.
std::string LogInAndRun(SshdServer& server, SshClient& client) {
    client.config.SetInt(setting::debug, 1);
    EXPECT_TRUE(client.LogIn(server.port())) << client.Displayed() << server.Log();
    client.Type("echo tw-$((6*7))-ok\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("tw-42-ok"); }, 10s))
        << client.Displayed() << server.Log();
    client.Type("exit\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ended.load(); }, 10s)) << client.Displayed();
    return client.Displayed();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SshModern, PasswordLoginWithEveryDefault) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(SshdConfig::Default());
    ASSERT_TRUE(server.ok()) << server.error();
    SshClient client(false);
    const std::string shown = LogInAndRun(server, client);
    // What a current OpenSSH client would choose with this server.
    EXPECT_TRUE(Has(shown, "Using key exchange: sntrup761x25519-sha512\r\n")) << shown;
    EXPECT_TRUE(Has(shown, "Using key algorithm: ssh-ed25519\r\n")) << shown;
    EXPECT_TRUE(Has(shown, "Using cipher: chacha20-poly1305@openssh.com\r\n")) << shown;
    EXPECT_TRUE(Has(shown, "Using strict key exchange\r\n")) << shown;
    EXPECT_TRUE(client.ssh->strict_kex());
    EXPECT_TRUE(Has(client.ssh->server_sig_algs(), "rsa-sha2-512"));
    // Compression on (the session's default): zlib@openssh.com, started with the login.
    EXPECT_TRUE(client.ssh->CompressingOutgoing());
    EXPECT_TRUE(client.ssh->DecompressingIncoming());
}

// One login per key exchange method, each case with an sshd of its own so that ctest runs them
// side by side (group 14 with SHA-1 is not among the server's defaults any more; it is added).
class SshModernKex : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(SshModernKex, LogsIn) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(
        SshdConfig::Default("KexAlgorithms +diffie-hellman-group14-sha1", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    const std::int32_t kex = GetParam();
    const std::string name = FindKex(kex)->name;
    SshClient client(false);
    client.config.SetList(setting::ssh2_kex_algorithms, &kex, 1);
    const std::string shown = LogInAndRun(server, client);
    EXPECT_TRUE(Has(shown, "Using key exchange: " + name + "\r\n")) << shown;
}

INSTANTIATE_TEST_SUITE_P(Every, SshModernKex,
                         ::testing::Values(13, 12, 10, 11, 7, 8, 9, 6, 4, 5, 3, 2),
                         [](const auto& info) {
                             return testing::TestNameOf(FindKex(info.param)->name);
                         });

// Each host-key algorithm: the question shows the fingerprints ssh-keygen prints for the key
// (MD5 and SHA-256), and the RSA key signs with SHA-2 but is stored as "ssh-rsa".
struct HostKeyCase {
    std::int32_t id;
    const char* file;  // the key's kind for ssh-keygen
};

class SshModernHostKey : public ::testing::TestWithParam<HostKeyCase> {};

TEST_P(SshModernHostKey, ShowsTheFingerprintsSshKeygenShows) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    const HostKeyCase c = GetParam();
    SshdServer server(SshdConfig::Default("", {c.file}));
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string name = FindHostKey(c.id)->name;
    SshClient client(false);
    client.config.SetList(setting::ssh2_hostkey_algorithms, &c.id, 1);
    const std::string shown = LogInAndRun(server, client);
    EXPECT_TRUE(Has(shown, "Using key algorithm: " + name + "\r\n")) << shown;
    const std::string pub = server.dir() + "/host_" + c.file + ".pub";
    const std::string md5 = testing::KeygenFingerprint(pub, "md5");
    const std::string sha256 = testing::KeygenFingerprint(pub, "sha256");
    ASSERT_EQ(md5.size(), 4u + 47u) << md5;
    ASSERT_FALSE(client.ui.shown().empty());
    const std::string question = client.ui.shown().front().text;
    // The MD5 fingerprint is shown with a blank after its eighth pair.
    EXPECT_EQ(question.rfind("Fingerprint: " + md5.substr(4, 24) + " " + md5.substr(28) +
                                 "\r\nFingerprint: SHA256:",
                             0),
              0u)
        << question;
    EXPECT_TRUE(Has(question, "Fingerprint: " + sha256 + "\r\n")) << question;
    EXPECT_EQ(StoredKeyTypes(kSpaceSSH2, "127.0.0.1"), std::vector<std::string>{HostKeyType(name)});
}

INSTANTIATE_TEST_SUITE_P(Every, SshModernHostKey,
                         ::testing::Values(HostKeyCase{2, "ed25519"}, HostKeyCase{3, "ecdsa256"},
                                           HostKeyCase{4, "ecdsa384"}, HostKeyCase{5, "ecdsa521"},
                                           HostKeyCase{6, "rsa"}, HostKeyCase{7, "rsa"}),
                         [](const auto& info) {
                             return testing::TestNameOf(FindHostKey(info.param.id)->name);
                         });

// Each cipher (with an etm MAC where it takes one), and each MAC with AES-CTR.
struct CipherCase {
    std::int32_t cipher;
    std::int32_t mac;
};

class SshModernCipher : public ::testing::TestWithParam<CipherCase> {};

TEST_P(SshModernCipher, LogsIn) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    const CipherCase c = GetParam();
    const std::string cipher = FindCipher(c.cipher)->name;
    const std::string mac = FindMac(c.mac)->name;
    SshClient client(false);
    client.config.SetList(setting::ssh2_EnabledCiphers, &c.cipher, 1);
    client.config.SetList(setting::ssh2_EnabledMACs, &c.mac, 1);
    const std::string shown = LogInAndRun(server, client);
    EXPECT_TRUE(Has(shown, "Using cipher: " + cipher + "\r\n")) << shown;
    if (FindCipher(c.cipher)->mode == CipherMode::kBlock) {
        EXPECT_TRUE(Has(shown, "Using MAC: " + mac + "\r\n")) << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(Every, SshModernCipher,
                         ::testing::Values(CipherCase{5, 7}, CipherCase{6, 7}, CipherCase{7, 7},
                                           CipherCase{8, 7}, CipherCase{9, 7}, CipherCase{10, 7},
                                           CipherCase{6, 8}, CipherCase{6, 9}, CipherCase{6, 5},
                                           CipherCase{6, 6}, CipherCase{8, 0}),
                         [](const auto& info) {
                             return testing::TestNameOf(
                                 std::string(FindCipher(info.param.cipher)->name) + "_" +
                                 FindMac(info.param.mac)->name);
                         });

// The server re-keys every 256 KB under strict key exchange (sequence numbers start again at
// every NEWKEYS): the output arrives whole with either AEAD cipher.
TEST(SshModern, RekeysUnderTheServersLimitWithChachaAndGcm) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(SshdConfig::Default("RekeyLimit 256K", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    for (std::int32_t cipher : {5, 9}) {
        SCOPED_TRACE(FindCipher(cipher)->name);
        SshClient client(false);
        client.config.SetInt(setting::debug, 1);
        client.config.SetList(setting::ssh2_EnabledCiphers, &cipher, 1);
        ASSERT_TRUE(client.LogIn(server.port())) << client.Displayed() << server.Log();
        client.Type("stty -echo; seq 1 200000; echo rekey-$((20+3))\n");
        ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("rekey-23"); }, 30s))
            << server.Log() << client.Displayed() << " status " << client.end_status;
        const std::string out = client.Output();
        EXPECT_TRUE(Has(out, "\r\n100000\r\n100001\r\n"));
        EXPECT_TRUE(Has(out, "\r\n199999\r\n200000\r\n"));
        EXPECT_GE(client.KeyExchanges(), 4u);
        EXPECT_TRUE(client.ssh->strict_kex());
        client.Type("echo after-$((40+2))\n");
        EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("after-42"); }, 10s));
        EXPECT_EQ(client.end_status, 0);
    }
}

// Keys the user trusts with OpenSSH are trusted here: a hashed "[host]:port" entry needs no
// question; a revoked key is refused; another key for the host is a changed key.
TEST(SshModern, TheUsersKnownHostsFileDecides) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server(SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    std::string pub = server.HostKeyPub("ed25519");
    pub = pub.substr(0, pub.find(' ', pub.find(' ') + 1));  // "ssh-ed25519 AAAA..."
    const std::string host = "[127.0.0.1]:" + std::to_string(server.port());
    struct Case {
        std::string revoked;  // lines before the entry
        std::string entry;    // hashed before it is used, as ssh-keygen -H does it
        bool logs_in;
        int questions;
    } cases[] = {
        {"", host + " " + pub, true, 0},
        {"@revoked * " + pub + "\n", host + " " + pub, false, 0},
        {"",
         host + " ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBmKTVbXTo9bA3LEVXp4TRtA0XwBfRoPh1sUaxL9PxNw",
         false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.revoked + c.entry);
        SshClient client(false);
        std::filesystem::create_directories(client.isolated.path() + "/.ssh");
        const std::string file = client.isolated.path() + "/.ssh/known_hosts";
        testing::WriteFile(file, c.entry + "\n");
        ASSERT_EQ(testing::Shell("ssh-keygen -q -H -f " + file + " >/dev/null 2>&1"), 0);
        const std::string hashed = testing::ReadFile(file);
        ASSERT_EQ(hashed.rfind("|1|", 0), 0u) << hashed;
        testing::WriteFile(file, c.revoked + hashed);
        client.ui.QueueHostKey(HostKeyChoice::kReject);
        client.ui.QueuePrompt(std::string(testing::kTestPassword));
        ASSERT_EQ(client.Open(server.port()), 0);
        EXPECT_EQ(client.WaitConnected(c.logs_in ? 20s : 5s), c.logs_in) << client.Displayed();
        EXPECT_EQ(client.ui.CountOf(ScriptedUi::Kind::kHostKey), c.questions);
        EXPECT_EQ(client.ui.CountOf(ScriptedUi::Kind::kYesNo), 0);
        if (!c.logs_in && c.questions == 0) {
            ASSERT_FALSE(client.ui.shown().empty());
            EXPECT_EQ(client.ui.shown().at(0).caption, "Host Key Error");
        }
    }
}

}  // namespace
}  // namespace tarnwick
