// The console front end as a person uses it, driven through tmux: open a saved session that points
// at a real Telnet server, type a command, open a second session, switch between them, disconnect
// one, and quit.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "support/child_process.h"
#include "support/inetd.h"
#include "support/loopback_peer.h"
#include "support/test_util.h"
#include "support/tmux.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

using testing::Tmux;

std::string StatusLine(const std::string& screen) {
    std::size_t end = screen.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    std::size_t start = screen.rfind('\n', end);
    return screen.substr(start == std::string::npos ? 0 : start + 1, end + 1);
}

bool WaitUntilExists(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return std::filesystem::exists(path);
}

TEST(ConsoleInteropTest, WorkInATelnetSessionSwitchDisconnectAndQuit) {
    testing::TempDir config_dir;
    testing::InetdServer server({"busybox", "telnetd", "-i", "-l", "/bin/sh"});
    const int port = server.port();
    const std::string session_file = config_dir.File("lab.tks");
    testing::WriteFile(session_file, "IO_TELNET\r\nversion: 2\r\nhostname: 127.0.0.1\r\nportnum: " +
                                         std::to_string(port) + "\r\nrows: 24\r\ncolumns: 80\r\n");

    Tmux tmux("tarnwick-console");
    tmux.StartConsole(config_dir.path(), session_file);
    ASSERT_TRUE(tmux.WaitFor("Telnet: 127.0.0.1")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("#")) << tmux.Screen();

    tmux.Literal("echo console-$((40+2))");
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("console-42")) << tmux.Screen();

    // A second session from the same file: two entries, the new one current.
    tmux.Keys("C-] o");
    ASSERT_TRUE(tmux.WaitFor("Select file to open")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Literal(session_file);
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("[2:Telnet: 127.0.0.1]")) << tmux.Screen();
    EXPECT_NE(StatusLine(tmux.Screen()).find(" 1:Telnet: 127.0.0.1 "), std::string::npos);

    // Back to the first: its screen still shows the earlier output.
    tmux.Keys("C-] 1");
    ASSERT_TRUE(tmux.WaitFor("[1:Telnet: 127.0.0.1]")) << tmux.Screen();
    EXPECT_NE(tmux.Screen().find("console-42"), std::string::npos);

    // Disconnect it: its title goes into parentheses.
    tmux.Keys("C-] d");
    ASSERT_TRUE(tmux.WaitFor("[1:(Telnet: 127.0.0.1)]")) << tmux.Screen();
    EXPECT_TRUE(tmux.WaitFor("Disconnected")) << tmux.Screen();

    // Quit: the second session is still up, so the program asks first.
    tmux.Keys("C-] q");
    ASSERT_TRUE(tmux.WaitFor("Really quit?")) << tmux.Screen();
    tmux.Keys("n");
    // The question closes and the program goes on: the status line shows both sessions again.
    ASSERT_TRUE(tmux.WaitFor("Ctrl-] ? help")) << tmux.Screen();
    EXPECT_TRUE(tmux.Alive());
    EXPECT_TRUE(tmux.Quit()) << "the program did not end";
}

TEST(ConsoleInteropTest, ConnectCancelledShowsCanceledAndTheTerminalIsRestoredOnSignal) {
    testing::TempDir config_dir;
    Tmux tmux("tarnwick-cancel");
    const std::string program = std::string(TARNWICK_BINARY_DIR) + "/bin/tarnwick --console";
    // The program runs inside a shell, so that the shell's own screen comes back afterwards; it
    // writes its process id first, so that the test signals exactly that process.
    const std::string pid_file = config_dir.File("program.pid");
    tmux.Start("TARNWICK_CONFIG_DIR=" + config_dir.path() + " sh -c 'echo \\$\\$ > " + pid_file +
               "; exec " + program + "'; stty -a | tr ' ;' '\\n\\n' | grep -x -- '-\\?icanon'; " +
               "echo shell-is-back; sleep 30");
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();
    tmux.Keys("C-] c");
    ASSERT_TRUE(tmux.WaitFor("New Telnet Connection")) << tmux.Screen();
    tmux.Keys("Escape");
    ASSERT_TRUE(tmux.WaitFor("Canceled.")) << tmux.Screen();

    // A terminating signal still restores the host terminal (cooked mode, main screen).
    const int pid = std::atoi(testing::ReadFile(pid_file).c_str());
    ASSERT_GT(pid, 1);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(tmux.WaitFor("shell-is-back")) << tmux.Screen();
    std::string screen = tmux.Screen();
    EXPECT_NE(screen.find("\nicanon\n"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("-icanon"), std::string::npos) << screen;
}

// The checks of Connect's forms as the console asks them: the same input as the window's Telnet
// dialog test, and the kind's default file holds the same values (a required field left empty
// asks again; a port out of range, 1001 rows and a negative history fall back; "Linefeed mode"
// answered no stores 1).
TEST(ConsoleInteropTest, ConnectFormChecksSaveWhatTheWindowsDialogSaves) {
    testing::TempDir config_dir;
    Tmux tmux("tarnwick-form");
    tmux.StartConsole(config_dir.path());
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();
    ASSERT_TRUE(tmux.Choose("6  New Telnet Connection")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Hostname:")) << tmux.Screen();
    tmux.Keys("Enter");  // left empty
    ASSERT_TRUE(tmux.WaitFor("Port: 23")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("Tunnel through SSL")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("Enable Debug Messages")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("Please fill in every required field.")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Hostname:")) << tmux.Screen();
    tmux.Line("127.0.0.1");
    ASSERT_TRUE(tmux.WaitFor("Port: 23")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line("70000");
    ASSERT_TRUE(tmux.WaitFor("Tunnel through SSL")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("Enable Debug Messages")) << tmux.Screen();
    tmux.Keys("n");
    ASSERT_TRUE(tmux.WaitFor("More settings: [t]erminal")) << tmux.Screen();
    tmux.Keys("t");
    for (const auto& [label, value] :
         {std::pair{"Rows:", "1001"}, {"Columns:", "1000"}, {"TERM:", ""}, {"Scrollback:", "-5"}}) {
        ASSERT_TRUE(tmux.WaitFor(label)) << tmux.Screen();
        if (*value != '\0') {
            tmux.Keys("C-u");
            tmux.Run(std::string("send-keys -t main -l -- ") + value);  // "-5" is no flag
        }
        tmux.Keys("Enter");
    }
    for (const char* flag : {"Linefeed mode", "Line wrap", "Local echo", "Visual bell",
                             "Swap BS & Del", "Application keypad"}) {
        ASSERT_TRUE(tmux.WaitFor(flag)) << tmux.Screen();
        const std::string name = flag;
        tmux.Keys(name == "Linefeed mode" || name == "Visual bell" ? "n" : "Enter");
    }
    ASSERT_TRUE(tmux.WaitFor("Cursor type")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("More settings: [t]erminal")) << tmux.Screen();
    tmux.Keys("Enter");  // connects (to the fall-back port): the default file is written first

    const std::string file = config_dir.File("DEFAULT_TELNET.tks");
    ASSERT_TRUE(WaitUntilExists(file));
    const std::string saved = testing::ReadFile(file);
    for (const char* line : {"\r\nhostname: 127.0.0.1\r\n", "\r\nportnum: 23\r\n",
                             "\r\nrows: 24\r\n", "\r\ncolumns: 1000\r\n", "\r\nscrollback: 24\r\n",
                             "\r\nlinefeed_mode: 1\r\n", "\r\nvisual_bell: 0\r\n"}) {
        EXPECT_NE(saved.find(line), std::string::npos) << line << " in\n" << saved;
    }
    tmux.Keys("C-] q");
}

TEST(ConsoleInteropTest, GlobalPreferencesAndTheHostKeyManager) {
    testing::TempDir config_dir;
    testing::Tmux tmux("tarnwick-prefs");
    tmux.StartConsole(config_dir.path());
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();
    tmux.Keys("C-] g");
    ASSERT_TRUE(tmux.WaitFor("Rows: 24")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line("30");
    // Every other answer as it stands.
    for (const char* question :
         {"Cols:", "Scrollback:", "Text pacing", "Default cursor (number)",
          "Special Control Key Handling", "Terminal font (number)", "Font size (number)",
          "Change colors", "Root CA Path", "Keep device awake"}) {
        ASSERT_TRUE(tmux.WaitFor(question)) << tmux.Screen();
        tmux.Keys("Enter");
    }
    ASSERT_TRUE(tmux.WaitFor("Preferences saved.")) << tmux.Screen();
    tmux.Keys("C-] g");
    ASSERT_TRUE(tmux.WaitFor("Rows: 30")) << tmux.Screen();  // stored and read back
    tmux.Keys("Escape");

    tmux.Keys("C-] m");
    ASSERT_TRUE(tmux.WaitFor("Key type (number): 8")) << tmux.Screen();  // SSL first
    tmux.Keys("C-u");
    tmux.Line("2");
    ASSERT_TRUE(tmux.WaitFor("(no keys)")) << tmux.Screen();
    tmux.Keys("Enter");
    tmux.Keys("C-] q");
    EXPECT_TRUE(tmux.WaitForExit()) << tmux.Screen();
}

}  // namespace
}  // namespace tarnwick
