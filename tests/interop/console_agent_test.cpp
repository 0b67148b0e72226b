// Key files and agent forwarding in the console front end, as a person uses them: the SSH2 form
// names an encrypted key file and turns forwarding on, the passphrase is typed, and when a program
// on the server signs through the forwarded agent the console asks which of the three answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ssh_console.h"
#include "ssh_sshd.h"
#include "support/child_process.h"
#include "support/test_util.h"
#include "support/tmux.h"

namespace tarnwick {
namespace {

TEST(ConsoleAgent, KeyFileLoginAndAForwardedSignatureTheUserAllows) {
    ASSERT_TRUE(testing::EnsureTestAccount()) << "the SSH tests run as root";
    testing::SshdServer server(testing::SshdConfig::Default("", {"ed25519"}));
    ASSERT_TRUE(server.ok()) << server.error();
    testing::TempDir config_dir;
    const std::string key = config_dir.File("id_ecdsa");
    ASSERT_EQ(testing::Shell("ssh-keygen -q -t ecdsa -a 2 -N 'agent pass' -f " + key), 0);
    server.AuthorizeKey(testing::ReadFile(key + ".pub"));

    testing::Tmux tmux("tarnwick-agent");
    ASSERT_NO_FATAL_FAILURE(testing::StartAndFillTheSsh2Form(
        tmux, config_dir.path(), server.port(),
        {.key_file = key, .agent_forwarding = true, .env = "-u SSH_AUTH_SOCK"}));
    ASSERT_TRUE(tmux.WaitFor("More settings:")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("The host key cannot be verified.")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("Password for certificate " + key + ":")) << tmux.Screen();
    tmux.Line("agent pass");
    ASSERT_TRUE(tmux.WaitFor("\n$")) << tmux.Screen();
    EXPECT_NE(server.Log().find("Accepted publickey for tarnwick-test"), std::string::npos);

    tmux.Line(server.SshCommand() + "echo inner-$((6*7))");
    ASSERT_TRUE(tmux.WaitFor("1 Allow once, 2 Allow for this session, 3 Refuse:")) << tmux.Screen();
    EXPECT_NE(tmux.Screen().find("asks to sign with your key ecdsa-sha2-nistp256"),
              std::string::npos)
        << tmux.Screen();
    tmux.Keys("1");
    ASSERT_TRUE(tmux.WaitFor("inner-42")) << tmux.Screen();

    EXPECT_TRUE(tmux.Quit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
