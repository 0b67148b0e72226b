// XMODEM over a serial line against lrzsz: files of every awkward size both ways in checksum and
// CRC mode, and through a relay that loses an ACK, spoils a block or goes quiet. A socat
// pseudo-terminal pair is the cable. Most transfers shorten the half-second wait before each ACK;
// one keeps it.
#include <gtest/gtest.h>

#include "serial_peer.h"
#include "transfer/capture.h"
#include "transfer/send_ascii.h"
#include "transfer/xmodem_filters.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::PtyPair;
using testing::PtyRelay;

class SerialXmodemTest : public ::testing::Test, public testing::SerialSessionFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(cable_.Ready()) << "socat (package socat) is needed";
        ASSERT_NE(Open(cable_.a()), nullptr) << Screen();
    }
    // sx (with its options) sends data as the file name from end; our receiver keeps it as
    // name.out, padded to whole blocks.
    void ReceiveFromSx(const std::string& name, const std::string& data, const std::string& end,
                       const xmodem::Timing& timing = testing::Quick(),
                       const std::string& options = "") {
        testing::WriteFile(dir_.File(name), data);
        ASSERT_TRUE(StartPeer(peer_, "sx -X -q " + options + dir_.File(name), end));
        ui_.QueueFile(dir_.File(name + ".out"));
        ASSERT_TRUE(RunFilter(new IO_ReceiveXmodem(timing))) << Screen();
        ASSERT_TRUE(WaitForExit(peer_)) << PeerLog();
        EXPECT_EQ(testing::ReadFile(dir_.File(name + ".out")), testing::Padded(data)) << name;
    }
    PtyPair cable_;
    testing::ChildProcess peer_;
};

TEST_F(SerialXmodemTest, ReceivesFromSxInCrcModeFilesOfEverySize) {
    for (std::size_t size : {0u, 1u, 127u, 128u, 129u, 10000u}) {
        ASSERT_NO_FATAL_FAILURE(ReceiveFromSx("source" + std::to_string(size),
                                              testing::Pattern(size, static_cast<unsigned>(size)),
                                              cable_.b()));
        EXPECT_NE(Screen().find("Transfer completed successfully."), std::string::npos) << Screen();
    }
}

class SendToRxTest : public SerialXmodemTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SendToRxTest, FilesOfEverySize) {
    const bool crc = GetParam();
    // An empty file is left out: rx drops an end of file that follows its request at once, and
    // asks again only ten seconds later (the simulated receivers of the unit tests cover it).
    for (std::size_t size : {1u, 127u, 128u, 129u, 10000u}) {
        const std::string data = testing::Pattern(size, static_cast<unsigned>(size) + 1);
        const std::string source = dir_.File("out" + std::to_string(size));
        const std::string name = "rx" + std::to_string(crc) + "_" + std::to_string(size);
        testing::WriteFile(source, data);
        // rx asks at once and again only ten seconds later: it waits a second, until the
        // sender's opening purge (which would swallow the request) is over.
        ASSERT_TRUE(StartPeer(peer_,
                              std::string("rx -q --delay-startup 1 ") + (crc ? "-c " : "") + name,
                              cable_.b()));
        ui_.QueueFile(source);
        ASSERT_EQ(session_->StartFilter(new IO_SendXmodem(testing::TimingForRx())), 1);
        ASSERT_TRUE(WaitForExit(peer_)) << size << " crc " << crc << "\n" << Screen();
        EXPECT_EQ(testing::ReadFile(dir_.File(name)), testing::Padded(data))
            << size << " crc " << crc;
        EXPECT_EQ(Screen().find("failed"), std::string::npos) << Screen();
        // rx empties its terminal as it leaves, which may lose its last ACK: the sender would
        // wait ten seconds for it. The receiver has the file; the transfer is stopped.
        if (session_->GetFilter() != nullptr) session_->StopFilter();
    }
}

INSTANTIATE_TEST_SUITE_P(CrcAndChecksum, SendToRxTest, ::testing::Bool());

TEST_F(SerialXmodemTest, TheRealHalfSecondWaitBeforeEachAckStillWorksWithSx) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(
        ReceiveFromSx("three.bin", testing::Pattern(300), cable_.b(), xmodem::Timing()));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3 * 500ms);
    // The completion message, then the note on the padding.
    const std::string screen = Screen();
    const std::size_t done = screen.find("Transfer completed successfully.");
    ASSERT_NE(done, std::string::npos) << screen;
    EXPECT_NE(screen.find("384 bytes received in", done), std::string::npos) << screen;
    EXPECT_NE(screen.find("padding", done), std::string::npos) << screen;
    // The session goes on: the filter is gone and typing reaches the line again.
    EXPECT_EQ(session_->GetFilter(), nullptr);
    int far = testing::OpenRawEnd(cable_.b());
    session_->PushKey('k');
    KeyHandler::PumpKeys(session_);
    EXPECT_EQ(testing::ReadEnd(far, 1), "k");
    close(far);
}

// Transfers through a relay: our end is cable a, sx or rx sits on the far end of a second pair.
class RelayedXmodemTest : public SerialXmodemTest {
  protected:
    void Relay(PtyRelay::Rule rule) {
        ASSERT_TRUE(far_cable_.Ready());
        relay_ = std::make_unique<PtyRelay>(cable_.b(), far_cable_.a(), std::move(rule));
    }
    PtyPair far_cable_;
    std::unique_ptr<PtyRelay> relay_;
};

TEST_F(RelayedXmodemTest, ReceivesInChecksumModeFromASenderThatNeverHeardTheCrcRequest) {
    Relay([](PtyRelay::Direction direction, std::size_t position, char byte) {
        return direction == PtyRelay::kFromUs && position == 0 ? std::string()
                                                               : std::string(1, byte);
    });
    xmodem::Timing timing = testing::Quick();
    timing.header_ms = 1500;  // the ten-second window, shortened
    ReceiveFromSx("plain.bin", testing::Pattern(1000), far_cable_.b(), timing);
}

TEST_F(RelayedXmodemTest, ABlockResentAfterALostAckIsAcknowledgedAndWrittenOnce) {
    // Our third ACK (for block 3) never reaches sx, which sends block 3 again after its time-out.
    int acks = 0;
    Relay([&acks](PtyRelay::Direction direction, std::size_t, char byte) {
        if (direction == PtyRelay::kFromUs && byte == 0x06 && ++acks == 3) return std::string();
        return std::string(1, byte);
    });
    ASSERT_NO_FATAL_FAILURE(ReceiveFromSx("acks.bin", testing::Pattern(1000, 11), far_cable_.b(),
                                          testing::Quick(), "-t 20 "));
    EXPECT_NE(Screen().find("Transfer completed successfully."), std::string::npos) << Screen();
    EXPECT_GE(acks, 9);  // eight blocks, the repeated one, and the end
}

TEST_F(RelayedXmodemTest, ASpoiledBlockIsRefusedAndSentAgain) {
    Relay([](PtyRelay::Direction direction, std::size_t position, char byte) {
        // A byte in the data of the second block, on its first way only.
        if (direction == PtyRelay::kToUs && position == 133 + 40) byte ^= 0x20;
        return std::string(1, byte);
    });
    ReceiveFromSx("spoiled.bin", testing::Pattern(700, 5), far_cable_.b());
}

TEST_F(RelayedXmodemTest, ALineThatGoesQuietEndsWithTheTimeoutMessages) {
    // Nothing from sx gets through after its first block.
    Relay([](PtyRelay::Direction direction, std::size_t position, char byte) {
        if (direction == PtyRelay::kToUs && position >= 133) return std::string();
        return std::string(1, byte);
    });
    testing::WriteFile(dir_.File("quiet.bin"), testing::Pattern(1000));
    ASSERT_TRUE(StartPeer(peer_, "sx -X -q " + dir_.File("quiet.bin"), far_cable_.b()));
    xmodem::Timing timing = testing::Quick();
    timing.header_ms = 200;
    ui_.QueueFile(dir_.File("quiet.out"));
    ASSERT_TRUE(RunFilter(new IO_ReceiveXmodem(timing)));
    EXPECT_NE(
        Screen().find("Too many timeouts waiting for transfer to begin. File transfer failed."),
        std::string::npos)
        << Screen();
    EXPECT_EQ(testing::ReadFile(dir_.File("quiet.out")).size(), 128u);
    peer_.Stop();

    // And the sender: rx's answers stop after its request.
    relay_.reset();
    Relay([](PtyRelay::Direction direction, std::size_t position, char byte) {
        if (direction == PtyRelay::kToUs && position >= 1) return std::string();
        return std::string(1, byte);
    });
    testing::ChildProcess receiver;
    ASSERT_TRUE(StartPeer(receiver, "rx -q --delay-startup 1 -c never.out", far_cable_.b()));
    xmodem::Timing sending = testing::Quick();
    sending.answer_ms = 100;
    ui_.QueueFile(dir_.File("quiet.bin"));
    ASSERT_TRUE(RunFilter(new IO_SendXmodem(sending)));
    EXPECT_NE(
        Screen().find("Too many timeouts waiting for ACK, NAK, or CAN. File transfer failed."),
        std::string::npos)
        << Screen();
}

TEST_F(SerialXmodemTest, AsciiSendAndCaptureOverTheLine) {
    // The file goes out exactly as it stands, paced.
    std::string text = "first\r\nsecond\nthird\r";
    text += std::string(1, '\0') + "\xff";
    testing::WriteFile(dir_.File("text.txt"), text);
    int far = testing::OpenRawEnd(cable_.b());
    ASSERT_GE(far, 0);
    Preferences::Instance().SetInt(pref::TextPacing, 5);
    ui_.QueueFile(dir_.File("text.txt"));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunFilter(new IO_SendAscii(), 10s));
    EXPECT_EQ(testing::ReadEnd(far, text.size()), text);
    EXPECT_GE(std::chrono::steady_clock::now() - start, (text.size() - 1) * 5ms);

    // Capture: what arrives is in the file byte for byte, also when the line goes away.
    ui_.QueueFile(dir_.File("capture.log"));
    session_->ToggleCapture();
    ASSERT_NE(session_->GetFilter(), nullptr);
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    const std::string received = "login: " + all + "\r\n$ ";
    ASSERT_TRUE(testing::WriteEnd(far, received));
    ASSERT_TRUE(RunUntil([&] { return Screen().find("$") != std::string::npos; }, 5s));
    close(far);
    cable_.Stop();
    ASSERT_TRUE(RunUntil([&] { return session_->GetTerminal() == nullptr; }, 5s));
    EXPECT_EQ(testing::ReadFile(dir_.File("capture.log")), received);
    EXPECT_NE(Screen().find("Lost the serial device"), std::string::npos) << Screen();
}

}  // namespace
}  // namespace tarnwick
