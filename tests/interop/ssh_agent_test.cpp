// Agent forwarding through a real login to sshd: programs on the server see our keys through the
// forwarded agent, and ssh from the server back to the server's own sshd logs in with them once
// the (scripted) user allows the signature; a refusal makes that login fail.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

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

TEST(AgentForwarding, TheServerUsesOurKeysOnlyWhenTheUserAllows) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    unsetenv("SSH_AUTH_SOCK");  // only the keys this test loads
    InstallKeyFileLoader();
    PrivateKeyList::Instance().RemoveAll();
    SshdServer server(SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    testing::TempDir dir;
    const std::string path = dir.File("id_ed25519");
    ASSERT_EQ(testing::Shell("ssh-keygen -q -t ed25519 -N '' -C forwarded -f " + path), 0);
    server.AuthorizeKey(testing::ReadFile(path + ".pub"));
    const std::string fingerprint = testing::KeygenFingerprint(path + ".pub", "sha256");
    ASSERT_FALSE(fingerprint.empty());

    SshClient client(false);
    client.config.SetWide(setting::certificate_path, Utf8ToUtf16(path).c_str());
    client.config.SetInt(setting::ssh2_agent_forwarding, 1);
    client.ui.QueueYesNo(true);  // the host key
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Displayed() << server.Log();

    client.Type("ssh-add -l; echo listed-$((1+1))\n");
    ASSERT_TRUE(client.RunUntil([&] { return client.ShowsText("listed-2"); }, 15s))
        << client.Output();
    EXPECT_NE(client.Output().find(fingerprint + " forwarded"), std::string::npos)
        << client.Output() << fingerprint;

    const std::string inner = server.SshCommand();
    client.ui.QueueChoice(0);  // Allow once
    client.Type(inner + "echo inner-$((6*7)); echo back-$((2+2))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("back-4"); }, 20s))
        << client.Output();
    EXPECT_NE(client.Output().find("inner-42"), std::string::npos);

    client.ui.QueueChoice(2);  // Refuse
    client.Type(inner + "echo refused-$((5*5)); echo after-$((3+3))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("after-6"); }, 20s))
        << client.Output();
    EXPECT_EQ(client.Output().find("refused-25"), std::string::npos);
    EXPECT_NE(client.Output().find("Permission denied"), std::string::npos) << client.Output();
    EXPECT_EQ(client.ui.CountOf(ScriptedUi::Kind::kChoice), 2);
    client.Close();
    PrivateKeyList::Instance().RemoveAll();
    PrivateKeyList::SetFileLoader(nullptr);
}

// The user's own running agent (ssh-agent with an RSA key that we never loaded): its key logs in
// (signing with SHA-2 as the server asks), and a forwarded request reaches it.
TEST(AgentForwarding, TheRunningAgentsKeysLogInAndAreForwarded) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    PrivateKeyList::Instance().RemoveAll();
    SshdServer server(SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    testing::TempDir dir;
    const std::string key = dir.File("id_rsa"), socket = dir.File("agent.sock");
    ASSERT_EQ(testing::Shell("ssh-keygen -q -t rsa -b 2048 -N '' -C running -f " + key), 0);
    server.AuthorizeKey(testing::ReadFile(key + ".pub"));
    testing::ChildProcess agent;
    ASSERT_TRUE(agent.Start({"ssh-agent", "-D", "-a", socket}));
    struct stat st {};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (stat(socket.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(testing::Shell("SSH_AUTH_SOCK=" + socket + " ssh-add -q " + key + " 2>/dev/null"), 0);
    setenv("SSH_AUTH_SOCK", socket.c_str(), 1);

    SshClient client(false);
    client.config.SetInt(setting::ssh2_agent_forwarding, 1);
    client.ui.QueueYesNo(true);  // the host key; no password, no key file
    ASSERT_EQ(client.Open(server.port()), 0);
    EXPECT_TRUE(client.WaitConnected()) << client.Displayed() << server.Log();
    EXPECT_NE(server.Log().find("Accepted publickey for tarnwick-test"), std::string::npos);
    EXPECT_NE(server.Log().find(" RSA SHA256:"), std::string::npos) << server.Log();

    client.ui.QueueChoice(0);
    client.Type("ssh-add -l; " + server.SshCommand() + "echo inner-$((6*7)); echo back-$((2+2))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("back-4"); }, 20s))
        << client.Output();
    EXPECT_NE(client.Output().find("running (RSA)"), std::string::npos) << client.Output();
    EXPECT_NE(client.Output().find("inner-42"), std::string::npos) << client.Output();
    EXPECT_EQ(client.ui.CountOf(ScriptedUi::Kind::kChoice), 1);
    client.Close();
    unsetenv("SSH_AUTH_SOCK");
}

}  // namespace
}  // namespace tarnwick
