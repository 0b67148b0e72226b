// "Send via SCP" and "Receive via SCP" in the console front end, as a person uses them: a saved
// SSH2 session opened from the command line, Ctrl-] t u to send a file, Ctrl-] t d to fetch it
// back into the documents folder the save prompt offers. Driven through tmux against the test
// sshd.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "ssh_sshd.h"
#include "support/test_util.h"
#include "support/tmux.h"

namespace tarnwick {
namespace {

TEST(ScpConsoleTest, SendAFileAndFetchItBackIntoTheDocumentsFolder) {
    ASSERT_TRUE(testing::EnsureTestAccount()) << "the SSH tests run as root";
    const passwd* account = getpwnam(testing::kTestUser);
    ASSERT_NE(account, nullptr);
    const std::string remote_home = account->pw_dir;
    testing::SshdServer server("PrintMotd no\nPrintLastLog no");
    ASSERT_TRUE(server.ok()) << server.error();
    testing::TempDir config_dir, home;
    const std::string session_file = config_dir.File("lab.tks");
    testing::WriteFile(session_file, "IO_SSH2\r\nversion: 2\r\nhostname: 127.0.0.1\r\nportnum: " +
                                         std::to_string(server.port()) + "\r\nusername: " +
                                         testing::kTestUser + "\r\nrows: 24\r\ncolumns: 80\r\n");
    const std::string name = "console scp " + std::to_string(getpid()) + ".txt";
    const std::string content = "sent and fetched back\n";
    std::filesystem::create_directories(home.File("out"));
    testing::WriteFile(home.File("out/" + name), content);
    struct Cleanup {
        std::string path;
        ~Cleanup() { std::filesystem::remove(path); }
    } cleanup{remote_home + "/" + name};

    testing::Tmux tmux("tarnwick-scp");
    tmux.StartConsole(config_dir.path(), session_file, "HOME=" + home.path());
    ASSERT_TRUE(tmux.WaitFor("The host key cannot be verified.")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("Password")) << tmux.Screen();
    tmux.Line(testing::kTestPassword);
    ASSERT_TRUE(tmux.WaitFor("\n$")) << tmux.Screen();

    tmux.Keys("C-] t");
    ASSERT_TRUE(tmux.WaitFor("u Send via SCP")) << tmux.Screen();
    tmux.Keys("u");
    ASSERT_TRUE(tmux.WaitFor("Select file to send")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(home.File("out/" + name));
    ASSERT_TRUE(tmux.WaitFor(">> SCP upload complete", std::chrono::seconds(20))) << tmux.Screen();
    EXPECT_EQ(testing::ReadFile(remote_home + "/" + name), content);

    tmux.Keys("C-] t d");
    ASSERT_TRUE(tmux.WaitFor("Enter remote filename to retrieve:")) << tmux.Screen();
    tmux.Line(name);
    // The save prompt offers the documents folder (the home folder here) and the remote name.
    ASSERT_TRUE(tmux.WaitFor("Save received file as")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor(home.File(name))) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("<< SCP receive complete", std::chrono::seconds(20))) << tmux.Screen();
    EXPECT_EQ(testing::ReadFile(home.File(name)), content);

    EXPECT_TRUE(tmux.Quit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
