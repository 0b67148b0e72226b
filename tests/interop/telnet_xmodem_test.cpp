// XMODEM over Telnet against lrzsz behind a small Telnet server of the tests' own that grants (or
// refuses) the 8-bit path: the session asks for BINARY when a transfer starts, and data bytes
// 0xFF cross the Telnet layer escaped both ways.
#include <gtest/gtest.h>

#include <cctype>

#include "serial_peer.h"
#include "support/inetd.h"
#include "transfer/xmodem_filters.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

class TelnetXmodemTest : public ::testing::Test, public testing::SerialSessionFixture {
  protected:
    // Starts the server around command (run in the test's folder) and connects a Telnet session.
    void Serve(const std::string& command, bool refuse_binary = false) {
        const std::string script =
            std::string(TARNWICK_SOURCE_DIR) + "/tests/interop/xmodem_telnet_server.py";
        server_ = std::make_unique<testing::ReportingServer>(
            std::vector<std::string>{"sh", "-c",
                                     "cd " + dir_.path() + " && exec /usr/bin/python3 " + script +
                                         (refuse_binary ? " --refuse-binary" : "") + " -- " +
                                         command + " 2>>" + dir_.File("peer.log")});
        ASSERT_TRUE(server_->ok()) << "the Telnet server did not start";
        auto* config = new SessionConfig();
        config->SetInt(setting::session_kind, kKindTelnet);
        config->SetNarrow(setting::hostname, "127.0.0.1");
        config->SetInt(setting::portnum, server_->port());
        session_ = Create(config);
        ASSERT_NE(session_, nullptr);
    }
    std::unique_ptr<testing::ReportingServer> server_;
};

TEST_F(TelnetXmodemTest, ReceivesFromSxOnceThePeerGrantsBinary) {
    std::string data = testing::Pattern(3000, 17);
    data += std::string(300, '\xff');  // every one of them doubled on the wire
    testing::WriteFile(dir_.File("remote.bin"), data);
    Serve("sx -X -q remote.bin");
    ui_.QueueFile(dir_.File("local.bin"));
    ASSERT_TRUE(RunFilter(new IO_ReceiveXmodem(testing::Quick()))) << Screen();
    EXPECT_EQ(testing::ReadFile(dir_.File("local.bin")), testing::Padded(data)) << Screen();
    EXPECT_NE(Screen().find("Transfer completed successfully."), std::string::npos) << Screen();
    EXPECT_TRUE(RunUntil([&] { return !server_->Running(); }, 30s)) << PeerLog();
}

TEST_F(TelnetXmodemTest, SendsToRxOnceThePeerGrantsBinary) {
    std::string data = testing::Pattern(5000, 23);
    data.replace(100, 200, std::string(200, '\xff'));
    testing::WriteFile(dir_.File("local.bin"), data);
    // rx starts asking a second later, after the sender's opening purge (which would swallow a
    // request made earlier, and rx asks again only ten seconds later).
    Serve("rx -q --delay-startup 1 -c remote.bin");
    ui_.QueueFile(dir_.File("local.bin"));
    // rx may lose its last ACK as it leaves (it empties its terminal), and the server then
    // closes the connection: the file rx kept is what counts.
    ASSERT_TRUE(RunFilter(new IO_SendXmodem(testing::TimingForRx()))) << Screen();
    EXPECT_EQ(Screen().find("failed"), std::string::npos) << Screen();
    EXPECT_TRUE(RunUntil([&] { return !server_->Running(); }, 30s)) << PeerLog();
    EXPECT_EQ(testing::ReadFile(dir_.File("remote.bin")), testing::Padded(data)) << Screen();
}

TEST_F(TelnetXmodemTest, APeerThatRefusesBinaryGetsNoTransfer) {
    testing::WriteFile(dir_.File("waiting.bin"), "never sent");
    Serve("sx -X -q waiting.bin", true);
    ui_.QueueFile(dir_.File("never.bin"));
    ASSERT_TRUE(RunFilter(new IO_ReceiveXmodem(testing::Quick()), 10s));
    EXPECT_EQ(ui_.Texts().back(),
              "XModem transfers require an 8-bit data path. The connection you are using is not "
              "8-bit capable.");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("never.bin")));
    EXPECT_EQ(session_->IsConnected(), 1) << PeerLog();  // the session itself goes on
}

}  // namespace
}  // namespace tarnwick
