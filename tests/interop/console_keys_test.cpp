// The console's face of the user's own keys, in the real program under tmux: the Host Key
// Manager's "Your keys" list adds an encrypted key file (asking its passphrase) and shows the
// fingerprint ssh-keygen gives, then removes it again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "ssh_sshd.h"
#include "support/tmux.h"

namespace tarnwick {
namespace {

TEST(ConsoleKeys, TheKeyListAddsAKeyFileShowsItsFingerprintAndRemovesIt) {
    testing::TempDir config_dir, keys;
    const std::string path = keys.File("id_ed25519");
    testing::RunCommand("ssh-keygen -q -t ed25519 -a 2 -N 'console pass' -f " + path);
    const std::string fingerprint = testing::KeygenFingerprint(path + ".pub", "sha256");
    ASSERT_FALSE(fingerprint.empty());

    testing::Tmux tmux("tarnwick-keys");
    tmux.StartConsole(config_dir.path(), "", "-u SSH_AUTH_SOCK");
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();
    tmux.Keys("C-] m");
    ASSERT_TRUE(tmux.WaitFor("Your keys (for logging in)")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line("9");
    ASSERT_TRUE(tmux.WaitFor("(no keys)")) << tmux.Screen();
    tmux.Line("a");
    ASSERT_TRUE(tmux.WaitFor("File:")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(path);
    ASSERT_TRUE(tmux.WaitFor("Password for certificate")) << tmux.Screen();
    tmux.Line("console pass");
    ASSERT_TRUE(tmux.WaitFor(fingerprint)) << tmux.Screen();
    EXPECT_NE(tmux.Screen().find("Ed25519 256"), std::string::npos) << tmux.Screen();
    tmux.Line("r1");
    ASSERT_TRUE(tmux.WaitFor("Its file is not deleted")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("(no keys)")) << tmux.Screen();
    tmux.Keys("Enter");
    tmux.Keys("C-] q");
    EXPECT_TRUE(tmux.WaitForExit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
