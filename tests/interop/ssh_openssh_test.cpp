// The SSH2 layer against a real OpenSSH server on 127.0.0.1.
#include <gtest/gtest.h>

#include "interop/ssh_client.h"
#include "interop/ssh_sshd.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::SshClient;
using testing::SshdServer;

TEST(SshOpenSsh, PasswordLoginRunsACommand) {
    ASSERT_TRUE(testing::EnsureTestAccount());
    SshdServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    SshClient client;
    client.config.SetInt(setting::debug, 1);
    client.ui.QueueYesNo(true);
    client.ui.QueuePrompt(std::string(testing::kTestPassword));
    ASSERT_EQ(client.Open(server.port()), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Screen() << server.Log();
    client.Type("echo hello-$((6*7))\n");
    EXPECT_TRUE(client.RunUntil([&] { return client.ShowsText("hello-42"); })) << client.Screen();
    std::printf("%s\n", client.Screen().c_str());
}

}  // namespace
}  // namespace tarnwick
