// The console as a person uses it on a serial line, driven through tmux: Connect offers Serial, the
// form takes a typed device path (a socat pseudo-terminal), typing reaches the device and its
// answers reach the screen, and files move both ways with lrzsz through Ctrl-] t r and t s, with
// the real half-second wait before each ACK.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/pty_pair.h"
#include "support/test_util.h"
#include "support/tmux.h"
#include "transfer/simulated_line.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::Tmux;

using testing::Padded;

bool WaitForExit(testing::ChildProcess& process, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (process.Running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return !process.Running();
}

TEST(SerialConsoleTest, ConnectTypeAndMoveFilesBothWays) {
    testing::PtyPair cable;
    ASSERT_TRUE(cable.Ready()) << "socat (package socat) is needed";
    testing::TempDir dir;
    Tmux tmux("tarnwick-serial");
    tmux.StartConsole(dir.path(), "", "", 120, 30);
    ASSERT_TRUE(tmux.WaitFor("Welcome to Tarnwick")) << tmux.Screen();

    // Connect: the chooser offers Serial; its form takes the device as a typed path.
    ASSERT_TRUE(tmux.Choose("7  New Serial Connection")) << tmux.Screen();
    ASSERT_TRUE(tmux.WaitFor("Device (number or path):")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(cable.a());
    for (const char* prompt :
         {"Speed (number):", "Byte size (number):", "Parity (number):", "Stop bits (number):",
          "Flow control (number):", "Enable Debug Messages"}) {
        ASSERT_TRUE(tmux.WaitFor(prompt)) << prompt << "\n" << tmux.Screen();
        tmux.Keys("Enter");
    }
    ASSERT_TRUE(tmux.WaitFor("or Enter to connect")) << tmux.Screen();
    tmux.Keys("Enter");
    ASSERT_TRUE(tmux.WaitFor("[1:Serial: " + cable.a() + "]")) << tmux.Screen();

    // Typing goes out on the line; what the device says comes back on the screen.
    int device = testing::OpenRawEnd(cable.b());
    ASSERT_GE(device, 0);
    tmux.Literal("hello");
    EXPECT_EQ(testing::ReadEnd(device, 5), "hello");
    ASSERT_TRUE(testing::WriteEnd(device, "world from the device\r\n"));
    ASSERT_TRUE(tmux.WaitFor("world from the device")) << tmux.Screen();
    close(device);

    // Receive Xmodem from sx on the device's end.
    std::string data;
    for (int i = 0; i < 300; ++i)
        data.push_back(static_cast<char>(i * 7));
    testing::WriteFile(dir.File("on-device.bin"), data);
    testing::ChildProcess peer;
    ASSERT_TRUE(peer.Start(
        {"sh", "-c",
         "cd " + dir.path() + " && exec sx -X -q on-device.bin <" + cable.b() + " >" + cable.b()}));
    tmux.Keys("C-] t r");
    ASSERT_TRUE(tmux.WaitFor("Select file to receive")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(dir.File("received.bin"));
    ASSERT_TRUE(tmux.WaitFor("Transfer: ", 5s)) << tmux.Screen();  // the progress line
    ASSERT_TRUE(tmux.WaitFor("Transfer completed successfully.", 20s)) << tmux.Screen();
    EXPECT_TRUE(tmux.WaitFor("384 bytes received in")) << tmux.Screen();
    EXPECT_TRUE(WaitForExit(peer, 10s));
    EXPECT_EQ(testing::ReadFile(dir.File("received.bin")), Padded(data));

    // Send Xmodem to rx, which starts asking once the sender's opening wait is over. rx empties
    // its input just after asking, so on a busy machine the first block can be lost; its own
    // 10-second wait before asking again would outlast our ten 1-second waits for the answer, so
    // it is told to ask again after 3 seconds (the product's timing cannot be injected here).
    tmux.Keys("C-] t s");
    ASSERT_TRUE(tmux.WaitFor("Select file to send")) << tmux.Screen();
    tmux.Keys("C-u");
    tmux.Line(dir.File("received.bin"));
    ASSERT_TRUE(
        peer.Start({"sh", "-c",
                    "cd " + dir.path() + " && exec rx -q -t 30 --delay-startup 1 -c sent.bin <" +
                        cable.b() + " >" + cable.b()}));
    EXPECT_TRUE(WaitForExit(peer, 30s));
    EXPECT_EQ(testing::ReadFile(dir.File("sent.bin")), Padded(data));
    EXPECT_EQ(tmux.Screen().find("failed"), std::string::npos) << tmux.Screen();

    // The help names the transfer keys; Quit asks while the line is open.
    tmux.Keys("C-] ?");
    ASSERT_TRUE(tmux.WaitFor("t r  Receive Xmodem")) << tmux.Screen();
    tmux.Keys("Enter");
    EXPECT_TRUE(tmux.Quit()) << "the program did not end";
}

}  // namespace
}  // namespace tarnwick
