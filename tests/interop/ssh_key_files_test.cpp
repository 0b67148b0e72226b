// Public-key login against sshd through the product's path: the session names a key file made by
// ssh-keygen, the installed loader reads it (asking for its passphrase), and authentication signs
// with it, for every key type and curve. No password is queued, so only the key can log in; sshd
// accepts only SHA-2 signatures of RSA keys, so the RSA login also shows that the client read
// server-sig-algs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "core/session_config.h"
#include "platform/text.h"
#include "ssh/key_files.h"
#include "ssh/private_keys.h"
#include "ssh_client.h"
#include "ssh_sshd.h"
#include "support/child_process.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;
using testing::SshdConfig;
using testing::SshdServer;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

struct KeyCase {
    const char* keygen;  // ssh-keygen options
    const char* passphrase;
    const char* log;  // what sshd logs for the accepted key
};

void LogInWithKeyFile(SshdServer& server, const KeyCase& c) {
    SCOPED_TRACE(c.keygen);
    testing::TempDir dir;
    const std::string path = dir.File("id_key");
    ASSERT_EQ(testing::Shell(std::string("ssh-keygen -q ") + c.keygen + " -N '" + c.passphrase +
                             "' -f " + path + " >/dev/null"),
              0);
    server.AuthorizeKey(testing::ReadFile(path + ".pub"));
    PrivateKeyList::Instance().RemoveAll();
    SshClient client(false);
    client.config.SetWide(setting::certificate_path, Utf8ToUtf16(path).c_str());
    client.ui.QueueYesNo(true);  // the host key
    if (*c.passphrase != 0) {
        client.ui.QueuePrompt(std::string("wrong guess"));
        client.ui.QueuePrompt(std::string(c.passphrase));
    }
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Displayed() << server.Log();
    client.Type("echo key-file-$((6*7))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("key-file-42"); }, 10s));
    client.Close();
    EXPECT_EQ(client.ui.CountOf(ScriptedUi::Kind::kPrompt), *c.passphrase != 0 ? 2 : 0);
    if (*c.passphrase != 0) {
        EXPECT_EQ(client.ui.shown().back().text,
                  "Password (incorrect) for certificate " + path + ":");
    }
    EXPECT_TRUE(Has(server.Log(), std::string("Accepted publickey for tarnwick-test")))
        << server.Log();
    EXPECT_TRUE(Has(server.Log(), c.log)) << server.Log();
}

class KeyFileLogin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(testing::EnsureTestAccount());
        InstallKeyFileLoader();
    }
    void TearDown() override {
        PrivateKeyList::Instance().RemoveAll();
        PrivateKeyList::SetFileLoader(nullptr);
    }
};

TEST_F(KeyFileLogin, TodaysKeyFilesLogIntoTheDefaultServer) {
    SshdServer server(SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    const KeyCase cases[] = {
        {"-t ed25519 -a 2", "ed pass", " ED25519 SHA256:"},
        {"-t ecdsa -b 256", "", " ECDSA SHA256:"},
        {"-t ecdsa -b 384", "", " ECDSA SHA256:"},
        {"-t ecdsa -b 521 -m PEM", "ec pass", " ECDSA SHA256:"},
        {"-t rsa -b 2048 -m PEM", "rsa pass", " RSA SHA256:"},
    };
    for (const KeyCase& c : cases)
        LogInWithKeyFile(server, c);
}

TEST_F(KeyFileLogin, DsaKeyFileLogsIntoTheLegacyServer) {
    SshdServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    LogInWithKeyFile(server, {"-t dsa -m PEM", "dsa pass", " DSA SHA256:"});
}

}  // namespace
}  // namespace tarnwick
