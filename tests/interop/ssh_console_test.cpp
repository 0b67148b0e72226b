// SSH2 in the console front end, as a person uses it, driven through tmux against the real OpenSSH
// server of the SSH tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "ssh_console.h"
#include "ssh_sshd.h"
#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/test_util.h"
#include "support/tmux.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

// A new user against sshd as Debian installs it (today's algorithms only): the SSH2 parameters
// with a local port forward, the host-key question with the SHA-256 fingerprint ssh-keygen prints,
// a password login, a command in the shell, the forward, quit.
TEST(SshConsoleTest, LogsIntoADefaultServerWithAPassword) {
    ASSERT_TRUE(testing::EnsureTestAccount()) << "the SSH tests run as root";
    testing::SshdServer server(testing::SshdConfig::Default());
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string fingerprint =
        testing::KeygenFingerprint(server.dir() + "/host_ed25519.pub", "sha256");
    ASSERT_FALSE(fingerprint.empty());
    testing::TempDir config_dir;
    testing::ReservedPort reserved;
    const int local_port = reserved.port();
    // The forward's far end: an echo server that sshd reaches on 127.0.0.1.
    testing::EchoServer echo;

    testing::Tmux tmux("tarnwick-ssh");
    ASSERT_NO_FATAL_FAILURE(
        testing::StartAndFillTheSsh2Form(tmux, config_dir.path(), server.port()));
    ASSERT_TRUE(tmux.WaitFor("More settings: [f]orwards, [t]erminal, [a]dvanced")) << tmux.Screen();
    tmux.Keys("f");
    ASSERT_TRUE(tmux.WaitFor("(no forwards)")) << tmux.Screen();
    tmux.Keys("a");
    ASSERT_TRUE(tmux.WaitFor("Local Port:")) << tmux.Screen();
    tmux.Line(std::to_string(local_port));
    ASSERT_TRUE(tmux.WaitFor("Remote Host:")) << tmux.Screen();
    tmux.Line("127.0.0.1");
    ASSERT_TRUE(tmux.WaitFor("Remote Port:")) << tmux.Screen();
    tmux.Line(std::to_string(echo.port()));
    ASSERT_TRUE(tmux.WaitFor("Allow access by non-local host")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("local port " + std::to_string(local_port))) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("interactive shell")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("More settings:")) << tmux.Screen();
    tmux.Keys("Enter");

    ASSERT_TRUE(tmux.WaitFor("The host key cannot be verified.")) << tmux.Screen();
    EXPECT_TRUE(tmux.WaitFor(fingerprint)) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("Password")) << tmux.Screen();
    tmux.Line(testing::kTestPassword);
    ASSERT_TRUE(tmux.WaitFor("[1:SSH2: 127.0.0.1]")) << tmux.Screen();
    // Keys count only once the shell runs (typed earlier, they are not sent).
    ASSERT_TRUE(tmux.WaitFor("\n$")) << tmux.Screen();
    tmux.Line("echo console-ssh-$((40+2))");
    ASSERT_TRUE(tmux.WaitFor("console-ssh-42")) << tmux.Screen();
    EXPECT_EQ(tmux.Screen().find(testing::kTestPassword), std::string::npos);  // never shown

    // The forward carries a connection to the echo server.
    testing::EchoClient program(local_port, "hello-world");
    ASSERT_TRUE(program.connected()) << "nothing listens on the forward's local port";
    while (!program.done())
        std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(program.intact());

    EXPECT_TRUE(tmux.Quit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
