// Known hosts: the tilde naming of several keys per host, the host-key dialogue with its three
// outcomes and strict mode, the key manager operations, and the check inside a connection.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/known_hosts.h"
#include "crypto/base64.h"
#include "frontend/key_manager_model.h"
#include "platform/registry.h"
#include "platform/scripted_ui.h"
#include "ssh/ssh_test_harness.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using TestServerOptions = testing::TestServer::Options;

const std::string kPath = "Software\\Halvek\\Tarnwick\\ssh_known_hosts\\2\\ssh-rsa";

std::vector<std::uint8_t> Blob(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

class KnownHostsTest : public ::testing::Test {
  protected:
    void SetUp() override { RegistryStore::Instance().Close(); }
    void TearDown() override { RegistryStore::Instance().Close(); }

    void Store(const std::string& name, const std::string& blob) {
        ASSERT_TRUE(RegistryStore::Instance().SetBinary(kPath, name, Blob(blob)));
    }
    std::vector<std::string> Names() {
        std::vector<std::string> names;
        for (const auto& value : RegistryStore::Instance().Values(kPath))
            names.push_back(value.name);
        return names;
    }
    bool Check(const std::string& host, const std::string& blob, bool strict = false) {
        return HostKeyCheck(2, "ssh-rsa", host, reinterpret_cast<const std::uint8_t*>(blob.data()),
                            blob.size(), strict);
    }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
};

TEST_F(KnownHostsTest, ValuesBelongToAHostByNameAndTilde) {
    Store("h", "first");
    Store("h~", "second");
    Store("hh", "other host");
    Store("h~x", "third");
    {
        std::string blob = "second";
        CKnownHosts store(2, "ssh-rsa", "h", reinterpret_cast<const std::uint8_t*>(blob.data()),
                          blob.size());
        EXPECT_EQ(store.Check(), CKnownHosts::kKnown);
    }
    {
        std::string blob = "other host";
        CKnownHosts store(2, "ssh-rsa", "h", reinterpret_cast<const std::uint8_t*>(blob.data()),
                          blob.size());
        EXPECT_EQ(store.Check(), CKnownHosts::kChanged);
        EXPECT_EQ(store.HostValueCount(), 3);  // h, h~ and h~x, not hh
    }
    {
        std::string blob = "x";
        CKnownHosts store(2, "ssh-rsa", "nobody",
                          reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
        EXPECT_EQ(store.Check(), CKnownHosts::kUnknown);
        // Another key space or algorithm is another store.
        CKnownHosts dss(2, "ssh-dss", "h", reinterpret_cast<const std::uint8_t*>(blob.data()),
                        blob.size());
        EXPECT_EQ(dss.Check(), CKnownHosts::kUnknown);
    }
}

TEST_F(KnownHostsTest, UnknownKeyIsSavedOnlyWhenTheUserSaysYes) {
    ui_.QueueYesNo(false);
    EXPECT_FALSE(Check("server", "key one"));
    EXPECT_TRUE(Names().empty());
    const std::string fingerprint =
        Fingerprint(reinterpret_cast<const std::uint8_t*>("key one"), 7);
    ASSERT_EQ(ui_.shown().size(), 1u);
    EXPECT_EQ(ui_.shown()[0].caption, "Warning");
    EXPECT_EQ(ui_.shown()[0].text,
              "Fingerprint: " + fingerprint.substr(0, 24) + " " + fingerprint.substr(24) +
                  "\r\nFingerprint: " +
                  FingerprintSha256(reinterpret_cast<const std::uint8_t*>("key one"), 7) +
                  "\r\nThe host key cannot be verified. Accept and save it in the registry? (If "
                  "you're not sure, tap 'No' and read about host keys in the manual.)");
    ui_.QueueYesNo(true);
    EXPECT_TRUE(Check("server", "key one"));
    EXPECT_EQ(Names(), std::vector<std::string>{"server"});
    ui_.Clear();
    EXPECT_TRUE(Check("server", "key one"));  // known now: no question
    EXPECT_TRUE(ui_.shown().empty());
}

TEST_F(KnownHostsTest, ChangedKeyOffersAddOverwriteOrReject) {
    Store("server", "old key");
    ui_.QueueHostKey(HostKeyChoice::kReject);
    EXPECT_FALSE(Check("server", "new key"));
    ASSERT_EQ(ui_.CountOf(ScriptedUi::Kind::kHostKey), 1);
    EXPECT_TRUE(ui_.shown()[0].allow_overwrite);
    EXPECT_NE(ui_.shown()[0].text.find("doesn't match the host key that you previously accepted! "
                                       "You may be involved in a man-in-the-middle attack."),
              std::string::npos);

    ui_.QueueHostKey(HostKeyChoice::kOverwrite);
    EXPECT_TRUE(Check("server", "new key"));
    EXPECT_EQ(*RegistryStore::Instance().GetBinary(kPath, "server"), Blob("new key"));
    EXPECT_EQ(Names().size(), 1u);

    ui_.QueueHostKey(HostKeyChoice::kAdd);
    EXPECT_TRUE(Check("server", "third key"));
    ui_.QueueHostKey(HostKeyChoice::kAdd);
    EXPECT_TRUE(Check("server", "fourth key"));
    // Stored beside the old ones, one more tilde each time.
    EXPECT_EQ(Names(), (std::vector<std::string>{"server", "server~", "server~~"}));

    // With more than one stored key Overwrite is not offered (and not honoured).
    ui_.Clear();
    ui_.QueueHostKey(HostKeyChoice::kOverwrite);
    EXPECT_FALSE(Check("server", "fifth key"));
    EXPECT_FALSE(ui_.shown()[0].allow_overwrite);
    EXPECT_EQ(Names().size(), 3u);
}

TEST_F(KnownHostsTest, StrictModeRefusesChangedKeysButStillOffersNewOnes) {
    Store("server", "old key");
    EXPECT_FALSE(Check("server", "new key", true));
    ASSERT_EQ(ui_.shown().size(), 1u);
    EXPECT_EQ(ui_.shown()[0].kind, ScriptedUi::Kind::kMessage);
    EXPECT_EQ(ui_.shown()[0].caption, "Host Key Error");
    EXPECT_EQ(ui_.shown()[0].text,
              "The host key from the server doesn't match the host key that you previously "
              "accepted, and strict host key checking has been enabled.");
    ui_.QueueYesNo(true);
    EXPECT_TRUE(Check("elsewhere", "its key", true));
    EXPECT_TRUE(Check("server", "old key", true));
}

TEST_F(KnownHostsTest, AKeyOfANewTypeIsAChangedKey) {
    // An RSA key is stored; someone in the middle offers only a DSA key.
    Store("server", "rsa key");
    const std::string dsa = "dsa key";
    auto check_dsa = [&](bool strict) {
        return HostKeyCheck(2, "ssh-dss", "server",
                            reinterpret_cast<const std::uint8_t*>(dsa.data()), dsa.size(), strict);
    };
    EXPECT_EQ(StoredKeyTypes(2, "server"), std::vector<std::string>{"ssh-rsa"});
    EXPECT_FALSE(check_dsa(true));
    ASSERT_EQ(ui_.shown().size(), 1u);
    EXPECT_EQ(ui_.shown()[0].caption, "Host Key Error");

    ui_.Clear();
    ui_.QueueHostKey(HostKeyChoice::kReject);
    EXPECT_FALSE(check_dsa(false));
    ASSERT_EQ(ui_.CountOf(ScriptedUi::Kind::kHostKey), 1);
    EXPECT_TRUE(ui_.shown()[0].allow_overwrite);
    EXPECT_NE(ui_.shown()[0].text.find("The server now presents a key of type ssh-dss; the key "
                                       "accepted before is of type ssh-rsa.\r\nThe host key from "
                                       "the server doesn't match"),
              std::string::npos);
    EXPECT_EQ(StoredKeyTypes(2, "server"), std::vector<std::string>{"ssh-rsa"});

    // Overwrite: the DSA key takes the RSA key's place.
    ui_.QueueHostKey(HostKeyChoice::kOverwrite);
    EXPECT_TRUE(check_dsa(false));
    EXPECT_EQ(StoredKeyTypes(2, "server"), std::vector<std::string>{"ssh-dss"});
    ui_.Clear();
    EXPECT_TRUE(check_dsa(true));  // known now
    EXPECT_TRUE(ui_.shown().empty());
    // Other hosts and other key spaces are unaffected.
    EXPECT_TRUE(StoredKeyTypes(2, "serve").empty());
    EXPECT_TRUE(StoredKeyTypes(1, "server").empty());
}

// The user's OpenSSH known_hosts file. The hashed lines are what "ssh-keygen -H" wrote for
// "[example.org]:2222" and "plain.example" with the Ed25519 key.
TEST(OpenSshKnownHosts, PlainHashedPortPatternRevokedAndChangedEntries) {
    const std::string ed = "AAAAC3NzaC1lZDI1NTE5AAAAIMkQ1ZWoiC0GSthH29CFWFvLRTUV3t9KVl81A6HURnhW";
    const std::string ecdsa =
        "AAAAE2VjZHNhLXNoYTItbmlzdHAyNTYAAAAIbmlzdHAyNTYAAABBBFMnLHxFRCEeOVN+bLoijkM7Dyqi/Yp/po3o+"
        "wACgc8qmEeucYwAaIrfKCySnrZx15+VPe9Zshga8PXATva7tI4=";
    const std::string hashed_port = "|1|w6q+GqWvHPYQZlaGYQxXo+9edmg=|M35Hy8ssArTH4iWByZ7PwA+FQfM=";
    const std::string hashed_plain = "|1|a77NUvvAPiJBH19CgZ4DQo2EBoo=|8Vl2ubbsffd2H4JZbIY/L0BQyzI=";
    std::string blob;
    ASSERT_TRUE(Base64Decode(ed, &blob));
    using R = OpenSshKnownHost;
    struct Case {
        std::string text;
        std::string host;
        int port;
        R::Result result;
        int line;
    } cases[] = {
        {"plain.example ssh-ed25519 " + ed + " me@laptop\n", "plain.example", 22, R::kKnown, 1},
        {"PLAIN.example ssh-ed25519 " + ed + "\n", "plain.example", 0, R::kKnown, 1},
        // Another port is another host.
        {"plain.example ssh-ed25519 " + ed + "\n", "plain.example", 2222, R::kNotListed, 0},
        {"[plain.example]:2222 ssh-ed25519 " + ed + "\n", "plain.example", 2222, R::kKnown, 1},
        {hashed_port + " ssh-ed25519 " + ed + "\n", "example.org", 2222, R::kKnown, 1},
        {hashed_port + " ssh-ed25519 " + ed + "\n", "example.org", 22, R::kNotListed, 0},
        {"# mine\n\n" + hashed_plain + " ssh-ed25519 " + ed + "\n", "plain.example", 22, R::kKnown,
         3},
        {"*.example,!bad.example ssh-ed25519 " + ed + "\n", "a.example", 22, R::kKnown, 1},
        {"*.example,!bad.example ssh-ed25519 " + ed + "\n", "bad.example", 22, R::kNotListed, 0},
        {"h?st.example ssh-ed25519 " + ed + "\n", "host.example", 22, R::kKnown, 1},
        // Revoked anywhere in the file wins over a line that trusts the key.
        {"plain.example ssh-ed25519 " + ed + "\n@revoked * ssh-ed25519 " + ed + "\n",
         "plain.example", 22, R::kRevoked, 2},
        // Another key for the host, of another type too: the server's key has changed.
        {"plain.example ecdsa-sha2-nistp256 " + ecdsa + "\n", "plain.example", 22, R::kChanged, 1},
        // A certificate authority is not a host key; broken lines are passed over.
        {"@cert-authority plain.example ssh-ed25519 " + ed + "\n", "plain.example", 22,
         R::kNotListed, 0},
        {"plain.example\n|1|x|y ssh-ed25519 " + ed + "\nplain.example ssh-ed25519 !!!\n" +
             "plain.example ssh-ed25519 " + ed + "\n",
         "plain.example", 22, R::kKnown, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " for " + c.host + ":" + std::to_string(c.port));
        const OpenSshKnownHost found = LookUpOpenSshKnownHosts(
            c.text, c.host, c.port, "ssh-ed25519",
            reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
        EXPECT_EQ(found.result, c.result);
        EXPECT_EQ(found.line, c.line);
    }
    const OpenSshKnownHost changed = LookUpOpenSshKnownHosts(
        "plain.example ecdsa-sha2-nistp256 " + ecdsa + "\n", "plain.example", 22, "ssh-ed25519",
        reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
    EXPECT_EQ(changed.types, std::vector<std::string>{"ecdsa-sha2-nistp256"});
}

// Listing, sorting, deleting, exporting and importing through the dialog are the key-manager
// dialog test; here what it does not reach: a refused delete, the import question, a file that
// cannot be opened, and rows of today's key types.
TEST_F(KnownHostsTest, KeyManagerRefusalsImportQuestionAndNewKeyTypes) {
    Store("beta", "key b");
    KeyManagerModel model;
    model.SelectKeyType(1);  // "SSH2 RSA"
    ASSERT_EQ(model.Rows().size(), 1u);
    ui_.QueueYesNo(false);
    EXPECT_FALSE(model.Delete(0));
    EXPECT_EQ(Names(), std::vector<std::string>{"beta"});

    testing::TempDir dir;
    const std::string exported = dir.File("beta.pub");
    testing::WriteFile(exported, "key b");
    // Import proposes the file name without its extension as the host name.
    ui_.QueueFile(exported);
    ui_.QueuePrompt(std::string("gamma"));
    ASSERT_TRUE(model.Import());
    EXPECT_EQ(*RegistryStore::Instance().GetBinary(kPath, "gamma"), Blob("key b"));
    bool proposed = false;
    for (const auto& shown : ui_.shown()) {
        if (shown.kind == ScriptedUi::Kind::kPrompt) {
            proposed = shown.text == "What is the hostname for this key file?";
        }
    }
    EXPECT_TRUE(proposed);

    ui_.QueueFile(dir.File("missing.pub"));
    EXPECT_FALSE(model.Import());
    EXPECT_EQ(ui_.Texts().back(), "Could not open " + dir.File("missing.pub") + ".");

    // Keys of today's types have rows of their own.
    ASSERT_TRUE(RegistryStore::Instance().SetBinary(
        "Software\\Halvek\\Tarnwick\\ssh_known_hosts\\2\\ecdsa-sha2-nistp384", "delta",
        Blob("key d")));
    const auto types = KeyManagerModel::KeyTypes();
    const auto p384 = std::find_if(types.begin(), types.end(), [](const KeyType& type) {
        return std::string_view(type.caption) == "SSH2 ECDSA P-384";
    });
    ASSERT_NE(p384, types.end());
    model.SelectKeyType(static_cast<int>(p384 - types.begin()));
    ASSERT_EQ(model.Rows().size(), 1u);
    EXPECT_EQ(model.Rows()[0].name, "delta");
}

TEST_F(KnownHostsTest, AChangedServerKeyInAConnectionCanBeRejected) {
    testing::SshHarness h;
    Store("testhost", testing::DsaHostBlob());  // the server will show its RSA key
    h.ui.QueueHostKey(HostKeyChoice::kReject);
    ASSERT_EQ(h.Open(false), 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
    EXPECT_EQ(h.ui.CountOf(ScriptedUi::Kind::kHostKey), 1);
    EXPECT_TRUE(h.server.ReceivedOfType(21).empty());
}

TEST_F(KnownHostsTest, OnlyAServerThatProvesItsKeyIsAskedAbout) {
    // A server that cannot sign with the key it shows never causes a question or a stored key.
    TestServerOptions bad;
    bad.corrupt_signature = true;
    testing::SshHarness h(bad);
    ASSERT_EQ(h.Open(false), 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
    EXPECT_TRUE(h.Showed("Host key corrupted; disconnecting\r\n"));
    EXPECT_TRUE(h.ui.shown().empty());
    EXPECT_TRUE(StoredKeyTypes(2, "testhost").empty());
}

TEST_F(KnownHostsTest, TheStoredKeyTypeIsAskedForFirst) {
    // The user prefers DSA, the server has both: with its RSA key stored, RSA is asked for, so
    // the server proves itself with the key we know.
    testing::SshHarness h;
    Store("testhost", testing::RsaHostBlob());
    const std::int32_t dss_first[] = {1, 0};
    h.config.SetList(setting::ssh2_hostkey_algorithms, dss_first, 2);
    h.ui.QueuePrompt(std::string("secret"));
    ASSERT_EQ(h.Open(false), 0);
    ASSERT_TRUE(h.WaitConnected()) << h.Shown();
    EXPECT_TRUE(h.ui.shown().size() == 1u &&
                h.ui.shown()[0].kind == ScriptedUi::Kind::kPrompt);  // the password only
    const std::string kexinit = h.server.ReceivedOfType(kMsgKexInit).at(0);
    EXPECT_NE(kexinit.find(testing::Str("ssh-rsa")), std::string::npos);

    // Without a stored key the user's order holds.
    testing::SshHarness fresh;
    fresh.config.SetList(setting::ssh2_hostkey_algorithms, dss_first, 2);
    ASSERT_TRUE(fresh.LogIn());
    EXPECT_NE(fresh.server.ReceivedOfType(kMsgKexInit).at(0).find(testing::Str("ssh-dss")),
              std::string::npos);
}

}  // namespace
}  // namespace tarnwick
