// SSH1 in the console front end, as a person uses it: Connect, the SSH1 parameters, the host
// key, the password, a command in the shell, Disconnect. Driven through tmux against the
// independent Python server.
#include <gtest/gtest.h>
#include <unistd.h>

#include "interop/ssh1_peer.h"
#include "support/tmux.h"

namespace tarnwick {
namespace {

TEST(Ssh1ConsoleTest, ConnectLogInRunACommandAndDisconnect) {
    testing::Ssh1Server server({"--password", "pw-console"});
    ASSERT_TRUE(server.ok()) << server.Log();
    testing::TempDir config_dir;

    testing::Tmux tmux("tarnwick-ssh1");
    tmux.StartConsole(config_dir.path());
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();
    ASSERT_TRUE(tmux.Choose("1  New SSH1 Connection")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Hostname:")) << tmux.Screen();
    tmux.Line("127.0.0.1");
    ASSERT_TRUE(tmux.WaitFor("Username:")) << tmux.Screen();
    tmux.Line("console-user");
    ASSERT_TRUE(tmux.WaitFor("Port: 22")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(std::to_string(server.port()));
    ASSERT_TRUE(tmux.WaitFor("Cipher (number):")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line("1");  // 3DES
    ASSERT_TRUE(tmux.WaitFor("Add random line fill [y/N]")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("Check CRC [Y/n]")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("Enable debug messages [y/N]")) << tmux.Screen();
    tmux.Keys("n");
    // The other settings of the dialog are offered; the terminal's are changed on the way.
    ASSERT_TRUE(tmux.WaitFor("More settings: [f]orwards, [t]erminal")) << tmux.Screen();
    tmux.Keys("t");
    ASSERT_TRUE(tmux.WaitFor("Rows:")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line("20");
    for (const char* field : {"Columns:", "TERM:", "Scrollback:"}) {
        ASSERT_TRUE(tmux.WaitFor(field)) << tmux.Screen();
        tmux.Keys("Enter");
    }
    for (const char* flag : {"Linefeed mode", "Line wrap", "Local echo", "Visual bell",
                             "Swap BS & Del", "Application keypad"}) {
        ASSERT_TRUE(tmux.WaitFor(flag)) << tmux.Screen();
        tmux.Keys("Enter");
    }
    ASSERT_TRUE(tmux.WaitFor("Cursor type (number):")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("More settings:")) << tmux.Screen();
    tmux.Keys("f");
    ASSERT_TRUE(tmux.WaitFor("(no forwards)")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("More settings:")) << tmux.Screen();
    tmux.Keys("Enter");

    ASSERT_TRUE(tmux.WaitFor("The host key cannot be verified.")) << tmux.Screen();
    tmux.Keys("y");
    ASSERT_TRUE(tmux.WaitFor("Password for console-user on host 127.0.0.1:")) << tmux.Screen();
    tmux.Line("pw-console");
    ASSERT_TRUE(tmux.WaitFor("[1:SSH1: 127.0.0.1]")) << tmux.Screen();
    ASSERT_TRUE(server.WaitForLog("SHELL", std::chrono::seconds(10))) << server.Log();
    ASSERT_TRUE(tmux.WaitFor("$")) << tmux.Screen();  // the prompt (the pane drops its blank)
    tmux.Line("echo console-ssh1-$((40+2))");
    ASSERT_TRUE(tmux.WaitFor("console-ssh1-42")) << tmux.Screen();
    EXPECT_EQ(tmux.Screen().find("pw-console"), std::string::npos);  // never shown
    tmux.Line("stty size");  // the rows chosen in Terminal Parameters
    EXPECT_TRUE(tmux.WaitFor("\n20 80")) << tmux.Screen();

    tmux.Keys("C-] d");
    ASSERT_TRUE(tmux.WaitFor("[1:(SSH1: 127.0.0.1)]")) << tmux.Screen();
    EXPECT_TRUE(server.WaitForLog("CONNECTION_CLOSED", std::chrono::seconds(10))) << server.Log();
    const std::string log = server.Log();
    EXPECT_NE(log.find("SESSION_KEY cipher=3"), std::string::npos) << log;
    EXPECT_NE(log.find("USER console-user"), std::string::npos) << log;

    tmux.Keys("C-] q");
    if (tmux.WaitFor("Really quit?", std::chrono::milliseconds(2000))) tmux.Keys("y");
    EXPECT_TRUE(tmux.WaitForExit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
