// The connection protocol of IO_SSH2 against the in-memory test server: the session channel's
// requests, flow control both ways, the channel messages from the server, local port forwards
// over real loopback sockets, and the port-forward dialog logic.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/status.h"
#include "frontend/port_forward_model.h"
#include "ssh/ssh_test_harness.h"
#include "support/loopback_peer.h"
#include "terminal/memory_display.h"
#include "terminal/vt100.h"

namespace tarnwick {
namespace {

using testing::Byte;
using testing::SshHarness;
using testing::Str;
using testing::TestServer;
using testing::U32;

std::string ChannelData(std::uint32_t client_channel, const std::string& data) {
    return Byte(kMsgChannelData) + U32(client_channel) + Str(data);
}

// Connects to a local port on the given address (with that receive buffer when it is given);
// -1 when refused.
int ConnectTo(const char* address, int port, int receive_buffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TEST(SshChannel, SessionChannelAsksForATerminalAndAShell) {
    SshHarness h;
    MemoryDisplay display;
    h.config.SetInt(setting::rows, 30);
    h.config.SetInt(setting::columns, 100);
    h.config.SetNarrow(setting::term_type, "vt220");
    VT100 terminal(&display, &h.config);
    h.top->SetUpper(&terminal);  // the terminal the layer finds above it
    ASSERT_TRUE(h.LogIn());
    // No agent forwarding unless the session asks for it: it lets the server use the keys.
    EXPECT_EQ(h.server.channel_requests(), (std::vector<std::string>{"pty-req", "shell"}));
    EXPECT_EQ(h.server.pty_term(), "vt220");
    EXPECT_EQ(h.server.pty_columns(), 100u);
    EXPECT_EQ(h.server.pty_rows(), 30u);
    const std::string modes = h.server.pty_modes();
    ASSERT_EQ(modes.size(), 256u);
    EXPECT_EQ(modes.substr(0, 10), std::string("\x80\0\0\x96\0\x81\0\0\x96\0", 10));
    EXPECT_EQ(modes.substr(10, 5), std::string("\x01\0\0\0\x03", 5));  // VINTR = ^C
    EXPECT_EQ(modes.substr(245, 11), std::string("\x5c\0\0\0\0\x5d\0\0\0\0\0", 11));
    // The open announces the window and packet size of the client's channels.
    const std::string open = h.server.ReceivedOfType(kMsgChannelOpen).at(0);
    EXPECT_EQ(open, Byte(90) + Str("session") + U32(h.server.client_channel()) +
                        U32(IO_SSH2::kChannelWindow.initial) +
                        U32(IO_SSH2::kChannelWindow.max_packet));
    h.top->SetUpper(nullptr);
}

TEST(SshChannel, ConnectedOnlyOnceTheTerminalRequestIsAnswered) {
    TestServer::Options options;
    SshHarness h(options);
    bool asked = false;
    h.server.on_message = [&](const std::string& payload) {
        if (payload[0] != kMsgChannelRequest || payload.find("pty-req") == std::string::npos) {
            return false;
        }
        asked = true;  // no answer yet
        return true;
    };
    h.ui.QueuePrompt(std::string("secret"));
    ASSERT_EQ(h.Open(), 0);
    ASSERT_TRUE(h.RunUntil([&] { return asked; }));
    h.Settle(3);
    EXPECT_EQ(h.ssh->IsConnected(), 0);
    EXPECT_EQ(h.Type("x"), status::kNotConnected);
    h.server.Send(Byte(kMsgChannelSuccess) + U32(h.server.client_channel()));
    ASSERT_TRUE(h.WaitConnected());
    EXPECT_EQ(h.Type("x"), 0);

    // A server that refuses the terminal still gets the user's keys.
    options.refuse_pty = true;
    SshHarness refused(options);
    refused.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(refused.LogIn());
    EXPECT_TRUE(refused.Showed("MSG_CHANNEL_FAILURE received for channel 1"));
    EXPECT_EQ(refused.Type("ls\r"), 0);
    ASSERT_TRUE(refused.RunUntil(
        [&] { return refused.server.channel_data(TestServer::kSessionChannel) == "ls\r"; }));
}

TEST(SshChannel, WindowIsToppedUpAsDataIsConsumed) {
    SshHarness h;
    ASSERT_TRUE(h.LogIn());
    const std::uint32_t server_id = TestServer::kSessionChannel;
    const ChannelWindow window = IO_SSH2::kChannelWindow;
    EXPECT_EQ(h.server.client_window(server_id), window.initial);
    EXPECT_EQ(h.server.client_max_packet(server_id), window.max_packet);
    // Three windows' worth, sent as a server does: in maximum-size packets, never beyond the
    // window the client has given.
    const std::size_t total = 3 * static_cast<std::size_t>(window.initial) + 1000;
    std::size_t sent = 0;
    ASSERT_TRUE(h.RunUntil(
        [&] {
            while (sent < total && h.server.client_window(server_id) > 0) {
                std::size_t n = std::min<std::size_t>(
                    {total - sent, h.server.client_window(server_id), window.max_packet});
                h.server.SendChannelData(server_id, std::string(n, 'w'));
                sent += n;
            }
            return h.top->Received().size() == total;
        },
        std::chrono::seconds(20)));
    // Every adjustment gives back what was consumed since the last one, once half the window is.
    const std::vector<std::string> adjusts = h.server.ReceivedOfType(kMsgChannelWindowAdjust);
    ASSERT_GE(adjusts.size(), 5u);
    for (const std::string& adjust : adjusts) {
        EXPECT_EQ(testing::U32At(adjust, 1), server_id);
        EXPECT_GE(testing::U32At(adjust, 5), window.initial / 2);
        EXPECT_LT(testing::U32At(adjust, 5), window.initial / 2 + window.max_packet);
    }
    // Standard error comes up as informational text.
    h.server.Send(Byte(kMsgChannelExtendedData) + U32(h.server.client_channel()) + U32(1) +
                  Str("oops\r\n"));
    ASSERT_TRUE(h.RunUntil([&] { return h.Showed("oops\r\n"); }));
}

TEST(SshChannel, SendingRespectsTheServersWindowAndPacketSize) {
    TestServer::Options options;
    options.channel_window = 10;
    options.channel_max_packet = 4;
    SshHarness h(options);
    ASSERT_TRUE(h.LogIn());
    const std::string typed = "abcdefghijklmnopqrstuvwxy";
    ASSERT_EQ(h.Type(typed), 0);  // never blocks
    h.Settle(5);
    EXPECT_EQ(h.server.channel_data(TestServer::kSessionChannel), typed.substr(0, 10));
    EXPECT_EQ(h.ssh->session_channel()->Pending(), 15u);
    for (const std::string& data : h.server.ReceivedOfType(kMsgChannelData))
        EXPECT_LE(data.size(), 9u + 4u);
    h.server.Send(Byte(kMsgChannelWindowAdjust) + U32(h.server.client_channel()) + U32(7));
    h.Settle(5);
    EXPECT_EQ(h.server.channel_data(TestServer::kSessionChannel), typed.substr(0, 17));
    h.server.Send(Byte(kMsgChannelWindowAdjust) + U32(h.server.client_channel()) + U32(100));
    ASSERT_TRUE(
        h.RunUntil([&] { return h.server.channel_data(TestServer::kSessionChannel) == typed; }));
    EXPECT_EQ(h.ssh->session_channel()->Pending(), 0u);
}

TEST(SshChannel, DataBeyondThePacketSizeWeAnnouncedEndsTheSessionChannel) {
    SshHarness h;
    ASSERT_TRUE(h.LogIn());
    const std::uint32_t channel = h.server.client_channel();
    h.server.Send(ChannelData(channel, "fits"));
    h.server.Send(ChannelData(channel, std::string(IO_SSH2::kChannelWindow.max_packet + 1, 'x')));
    h.Settle(3);
    EXPECT_EQ(h.top->Received(), "fits");
    EXPECT_TRUE(
        h.Showed("The server sent more on channel 1 than it was allowed; closing the "
                 "channel\r\n"))
        << h.Shown();
    EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelClose).size(), 1u);
    EXPECT_FALSE(h.pipe->open());
}

TEST(SshChannel, RequestsFromTheServerAreAnsweredOnlyWhenAsked) {
    SshHarness h;
    h.config.SetInt(setting::debug, 1);
    ASSERT_TRUE(h.LogIn());
    const std::uint32_t channel = h.server.client_channel();
    h.server.Send(Byte(kMsgChannelRequest) + U32(channel) + Str("exit-status") + Byte(0) + U32(0));
    h.server.Send(Byte(kMsgChannelRequest) + U32(channel) + Str("keepalive@openssh.com") + Byte(1));
    h.server.Send(Byte(kMsgChannelRequest) + U32(channel) + Str("exit-signal") + Byte(1) +
                  Str("TERM"));
    h.server.Send(Byte(kMsgChannelRequest) + U32(channel) + Str("xon-xoff") + Byte(1) + Byte(1));
    h.server.Send(Byte(kMsgChannelRequest) + U32(999) + Str("keepalive@openssh.com") + Byte(1));
    h.Settle(5);
    const std::vector<std::string> failures = h.server.ReceivedOfType(kMsgChannelFailure);
    const std::vector<std::string> successes = h.server.ReceivedOfType(kMsgChannelSuccess);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0], Byte(100) + U32(TestServer::kSessionChannel));
    ASSERT_EQ(successes.size(), 1u);
    EXPECT_EQ(successes[0], Byte(99) + U32(TestServer::kSessionChannel));
    EXPECT_TRUE(h.Showed("Unknown channel request: xon-xoff\r\n"));
    EXPECT_FALSE(h.Showed("Unknown channel request: keepalive"));
}

TEST(SshChannel, AMalformedMessageEndsTheConnectionAndSaysWhich) {
    // Each message is cut short inside its fields: the user sees why the session ended, whatever
    // the debug setting, and nothing of it reaches the terminal.
    struct Case {
        std::string payload;
        const char* name;
    };
    const std::uint32_t channel = 1;
    const Case cases[] = {
        {Byte(kMsgChannelData) + U32(channel) + U32(100) + "short", "CHANNEL_DATA"},
        {Byte(kMsgChannelWindowAdjust) + U32(channel), "CHANNEL_WINDOW_ADJUST"},
        {Byte(kMsgChannelRequest) + U32(channel) + Str("exit-status"), "CHANNEL_REQUEST"},
        {Byte(kMsgGlobalRequest) + U32(50) + "x", "GLOBAL_REQUEST"},
    };
    for (const Case& c : cases) {
        SshHarness h;
        ASSERT_TRUE(h.LogIn());
        h.server.Send(c.payload);
        h.Settle(3);
        EXPECT_TRUE(h.Showed(std::string("The server sent a malformed ") + c.name +
                             " message; disconnecting\r\n"))
            << h.Shown();
        EXPECT_FALSE(h.pipe->open()) << c.name;
        EXPECT_EQ(h.last_error, status::kBadPacket) << c.name;
        EXPECT_EQ(h.top->Received().find("short"), std::string::npos);
    }
}

TEST(SshChannel, EndOfTheSessionChannel) {
    {
        // EOF first (the shell has exited): the client closes its side at once, sends nothing
        // more, and the server's CLOSE ends the session (servers wait for the client to go).
        SshHarness h;
        h.config.SetInt(setting::debug, 1);
        ASSERT_TRUE(h.LogIn());
        const std::uint32_t channel = h.server.client_channel();
        h.server.Send(Byte(kMsgChannelEof) + U32(channel));
        h.Settle(3);
        EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelClose).size(), 1u);
        EXPECT_TRUE(h.pipe->open());
        h.Type("late");
        h.Settle(2);
        EXPECT_EQ(h.server.channel_data(TestServer::kSessionChannel), "");
        h.server.Send(Byte(kMsgChannelClose) + U32(channel));
        h.Settle(3);
        EXPECT_TRUE(
            h.Showed("MSG_CHANNEL_EOF for channel 1\r\nMSG_CHANNEL_CLOSE for channel 1\r\n"));
        EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelClose).size(), 1u);
        EXPECT_FALSE(h.pipe->open());
    }
    {
        // CLOSE without EOF ends the session.
        SshHarness h;
        ASSERT_TRUE(h.LogIn());
        h.server.Send(Byte(kMsgChannelClose) + U32(h.server.client_channel()));
        h.Settle(3);
        EXPECT_FALSE(h.pipe->open());
        EXPECT_EQ(h.last_error, status::kNotConnected);
    }
    {
        // The server will not open the session channel: its reason is shown and the layer
        // closes.
        SshHarness h;
        h.server.on_message = [&h](const std::string& payload) {
            if (payload[0] != kMsgChannelOpen) return false;
            h.server.Send(Byte(kMsgChannelOpenFailure) + U32(1) + U32(1) +
                          Str("administratively prohibited") + Str(""));
            return true;
        };
        h.ui.QueuePrompt(std::string("secret"));
        ASSERT_EQ(h.Open(), 0);
        ASSERT_TRUE(h.RunUntil([&] { return !h.pipe->open(); }));
        EXPECT_TRUE(
            h.Showed("Server reports channel open failure: administratively prohibited\r\n"));
    }
}

// What the socket holds right now, without waiting.
std::string ReadAvailable(int fd) {
    std::string data;
    char chunk[65536];
    for (;;) {
        ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got <= 0) break;
        data.append(chunk, static_cast<std::size_t>(got));
    }
    return data;
}

// Runs the harness until the local socket has received count bytes (or the time is up).
std::string ReadThroughHarness(SshHarness& h, int fd, std::size_t count) {
    std::string got;
    h.RunUntil(
        [&] {
            got += ReadAvailable(fd);
            return got.size() >= count;
        },
        std::chrono::seconds(10));
    return got;
}

// The port a forward's listener was given by the system (forwards of these tests ask for 0).
int ListenerPort(SshHarness& h, std::size_t index = 0) {
    const std::vector<std::uint32_t> ports = h.ssh->ListenerPorts();
    return index < ports.size() ? static_cast<int>(ports[index]) : -1;
}

TEST(SshForward, ForwardOnlySessionCarriesConnectionsBothWays) {
    SshHarness h;
    h.config.SetInt(setting::ssh2_want_interactive, 0);
    h.config.SetInt(setting::debug, 1);
    h.config.AddForward({0, 8080, "inside.example", 0});
    h.config.AddForward({0, 25, "mail.example", 1});
    ASSERT_TRUE(h.LogIn());
    // Connected right after the login, without a session channel.
    EXPECT_EQ(h.ssh->session_channel(), nullptr);
    EXPECT_TRUE(h.server.ReceivedOfType(kMsgChannelOpen).empty());
    EXPECT_EQ(h.Type("dropped"), 0);
    EXPECT_TRUE(h.Showed(
        "Creating local port forwards\r\nForwarding local port 0 to inside.example:8080\r\n"));
    const int port_a = ListenerPort(h, 0);
    const int port_b = ListenerPort(h, 1);
    EXPECT_GT(port_a, 0);
    EXPECT_GT(port_b, 0);
    EXPECT_NE(port_a, port_b);

    int local = ConnectTo("127.0.0.1", port_a);
    ASSERT_GE(local, 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelOpen).empty(); }));
    const std::string open = h.server.ReceivedOfType(kMsgChannelOpen)[0];
    sockaddr_in me{};
    socklen_t length = sizeof me;
    getsockname(local, reinterpret_cast<sockaddr*>(&me), &length);
    const std::uint32_t client_id = testing::U32At(open, 17);  // after 90 and "direct-tcpip"
    EXPECT_EQ(open, Byte(90) + Str("direct-tcpip") + U32(client_id) +
                        U32(IO_SSH2::kChannelWindow.initial) +
                        U32(IO_SSH2::kChannelWindow.max_packet) + Str("inside.example") +
                        U32(8080) + Str("127.0.0.1") + U32(ntohs(me.sin_port)));
    const std::uint32_t server_id = TestServer::kSessionChannel;

    // Local to server; the flow both ways under the window is proven against sshd by the
    // interop forward test and here by the window tests.
    ASSERT_TRUE(testing::WriteAll(local, "GET / HTTP/1.0\r\n\r\n"));
    ASSERT_TRUE(h.RunUntil([&] { return h.server.channel_data(server_id).size() == 18; }));

    // The local end closes: EOF and CLOSE go to the server; its CLOSE removes the channel.
    close(local);
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelClose).empty(); }));
    EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelEof).size(), 1u);
    EXPECT_EQ(h.ssh->ChannelCount(), 1u);
    h.server.Send(Byte(kMsgChannelClose) + U32(client_id));
    ASSERT_TRUE(h.RunUntil([&] { return h.ssh->ChannelCount() == 0; }));
}

TEST(SshForward, DataBeyondTheWindowClosesTheForwardAndWhatWasTakenArrives) {
    SshHarness h;
    h.config.SetInt(setting::ssh2_want_interactive, 0);
    h.config.SetInt(setting::debug, 1);
    h.config.AddForward({0, 80, "web", 0});
    ASSERT_TRUE(h.LogIn());
    // A local end with small buffers that reads nothing for now.
    int local = ConnectTo("127.0.0.1", ListenerPort(h), 4096);
    ASSERT_GE(local, 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelOpen).empty(); }));
    const std::uint32_t server_id = TestServer::kSessionChannel;
    const std::uint32_t client_id = testing::U32At(h.server.ReceivedOfType(kMsgChannelOpen)[0], 17);
    // A server that ignores the window: far more than the window and every adjustment the
    // socket buffers could earn, in one burst.
    const std::uint32_t packet = IO_SSH2::kChannelWindow.max_packet;
    std::string sent;
    for (std::uint32_t counter = 0; sent.size() < (10u << 20);) {
        std::string chunk(packet, '\0');
        for (char& c : chunk)
            c = static_cast<char>(counter++ * 7);
        h.server.Send(ChannelData(client_id, chunk));
        sent += chunk;
    }
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelClose).empty(); }));
    EXPECT_TRUE(h.Showed("than it was allowed; closing the channel\r\n")) << h.Shown();
    // What was taken within the window arrives whole and in order, then the end; nothing of
    // the rest.
    std::string got;
    ASSERT_TRUE(h.RunUntil([&] {
        char chunk[65536];
        ssize_t n;
        while ((n = recv(local, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            got.append(chunk, static_cast<std::size_t>(n));
        return n == 0;
    }));
    EXPECT_GE(got.size(), static_cast<std::size_t>(IO_SSH2::kChannelWindow.initial));
    EXPECT_LT(got.size(), sent.size());
    EXPECT_EQ(got.size() % packet, 0u);
    EXPECT_TRUE(got == sent.substr(0, got.size()));
    // Only what the local end had taken was acknowledged.
    const std::uint64_t adjusted =
        h.server.client_window(server_id) - IO_SSH2::kChannelWindow.initial;
    EXPECT_LE(adjusted, got.size());
    EXPECT_EQ(h.ssh->IsConnected(), 1);
    close(local);
}

TEST(SshForward, ServerDataBeforeItsCloseReachesTheLocalEnd) {
    SshHarness h;
    h.config.SetInt(setting::ssh2_want_interactive, 0);
    h.config.AddForward({0, 80, "web", 0});
    ASSERT_TRUE(h.LogIn());
    int local = ConnectTo("127.0.0.1", ListenerPort(h));
    ASSERT_GE(local, 0);
    ASSERT_TRUE(h.RunUntil([&] { return !h.server.ReceivedOfType(kMsgChannelOpen).empty(); }));
    const std::uint32_t client_id = testing::U32At(h.server.ReceivedOfType(kMsgChannelOpen)[0], 17);
    // Response, EOF and CLOSE in one go, as a web server's end of a reply arrives.
    h.server.Send(ChannelData(client_id, "HTTP/1.0 200 OK\r\n\r\nbody"));
    h.server.Send(Byte(kMsgChannelEof) + U32(client_id));
    h.server.Send(Byte(kMsgChannelClose) + U32(client_id));
    std::string got = ReadThroughHarness(h, local, 23);
    EXPECT_EQ(got, "HTTP/1.0 200 OK\r\n\r\nbody");
    EXPECT_TRUE(testing::SeesEndOfStream(local, 2000));
    // The CLOSE is answered once.
    h.Settle(3);
    EXPECT_EQ(h.server.ReceivedOfType(kMsgChannelClose).size(), 1u);
    close(local);
    ASSERT_TRUE(h.RunUntil([&] { return h.ssh->ChannelCount() == 0; }));
}

TEST(SshForward, OpenRefusedByTheServerClosesTheLocalConnection) {
    SshHarness h;
    h.config.SetInt(setting::ssh2_want_interactive, 0);
    h.config.AddForward({0, 80, "nowhere", 0});
    h.server.on_message = [&h](const std::string& payload) {
        if (payload[0] != kMsgChannelOpen) return false;
        h.server.Send(Byte(kMsgChannelOpenFailure) + U32(testing::U32At(payload, 17)) + U32(2) +
                      Str("connect failed") + Str(""));
        return true;
    };
    ASSERT_TRUE(h.LogIn());
    int local = ConnectTo("127.0.0.1", ListenerPort(h));
    ASSERT_GE(local, 0);
    ASSERT_TRUE(h.RunUntil([&] { return h.Showed("channel open failure: connect failed"); }));
    EXPECT_TRUE(testing::SeesEndOfStream(local, 2000));
    EXPECT_EQ(h.ssh->ChannelCount(), 0u);
    EXPECT_EQ(h.ssh->IsConnected(), 1);
    close(local);
}

TEST(SshForward, NonLocalAccessDecidesTheListeningAddress) {
    SshHarness h;
    h.config.SetInt(setting::ssh2_want_interactive, 0);
    h.config.AddForward({0, 1, "a", 0});
    h.config.AddForward({0, 1, "b", 1});
    ASSERT_TRUE(h.LogIn());
    const int local_only = ListenerPort(h, 0);
    const int everyone = ListenerPort(h, 1);
    // 127.0.0.2 is another address of this machine: only the open listener takes it.
    int refused = ConnectTo("127.0.0.2", local_only);
    EXPECT_LT(refused, 0);
    int accepted = ConnectTo("127.0.0.2", everyone);
    EXPECT_GE(accepted, 0);
    if (refused >= 0) close(refused);
    if (accepted >= 0) close(accepted);
    h.Settle(3);

    // A port nobody can listen on is reported, not silently dropped.
    SshHarness bad;
    bad.config.SetInt(setting::ssh2_want_interactive, 0);
    bad.config.AddForward({65536, 1, "c", 0});
    ASSERT_TRUE(bad.LogIn());
    EXPECT_TRUE(bad.Showed("Could not listen on local port 65536\r\n"));
    EXPECT_EQ(bad.ssh->ListenerPorts(), std::vector<std::uint32_t>{0});
}

TEST(SshForwardDialog, AddDialogValidation) {
    ScriptedUi ui;
    struct Case {
        const char* local;
        const char* host;
        const char* remote;
        const char* message;
        ForwardField field;
    } cases[] = {
        {"", "h", "1", "You must enter a port.", ForwardField::kLocalPort},
        {"0", "h", "1", "A port number must be between 1 and 65536.", ForwardField::kLocalPort},
        {"65537", "h", "1", "A port number must be between 1 and 65536.", ForwardField::kLocalPort},
        {"8x", "h", "1", "A port number must be between 1 and 65536.", ForwardField::kLocalPort},
        {"8080", "", "1", "You must enter a remote host.", ForwardField::kRemoteHost},
        {"8080", "h", "", "You must enter a port.", ForwardField::kRemotePort},
        {"8080", "h", "100000", "A port number must be between 1 and 65536.",
         ForwardField::kRemotePort},
    };
    for (const Case& c : cases) {
        ui.Clear();
        ForwardValidation v = ValidatePortForward(c.local, c.host, c.remote, false);
        EXPECT_FALSE(v.ok) << c.local << " " << c.remote;
        EXPECT_EQ(v.message, c.message);
        EXPECT_EQ(v.field, c.field);
        ASSERT_EQ(ui.shown().size(), 1u);
        EXPECT_EQ(ui.shown()[0].caption, "Error");
    }
    ForwardValidation ok = ValidatePortForward("65536", "localhost", "1", true);
    ASSERT_TRUE(ok.ok);
    EXPECT_EQ(ok.forward.local_port, 65536u);
    EXPECT_EQ(ok.forward.allow_nonlocal, 1);
}

}  // namespace
}  // namespace tarnwick
