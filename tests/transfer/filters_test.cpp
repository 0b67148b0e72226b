// The transfer filters in a chain, with their worker threads: opening (the statuses, the questions
// and the notices), XMODEM between our own sender and receiver wired back to back, the 8-bit path,
// Cancel and closing, paced ASCII send, and capture.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "support/loopback_peer.h"
#include "support/recording_layer.h"
#include "support/test_util.h"
#include "transfer/capture.h"
#include "transfer/send_ascii.h"
#include "transfer/simulated_line.h"
#include "transfer/xmodem_filters.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::RecordingLayer;

using testing::Pattern;

// The layer below a filter: records what is sent, answers the 8-bit questions as told, and can
// pass what is sent on to another filter (two filters wired back to back).
class LineLayer : public RecordingLayer {
  public:
    LineLayer() : RecordingLayer(kLayerTCPIP, "Line") {}
    int Send(const std::uint8_t* data, int length) override {
        const int result = RecordingLayer::Send(data, length);
        if (far != nullptr) far->Receive(data, length);
        return result;
    }
    int Is8BitClean() override { return clean.load(); }
    std::size_t SendBacklog() override { return backlog.load(); }
    int Request8Bit(int) override {
        ++requests;
        return request_result;
    }
    IO* far = nullptr;
    std::atomic<std::size_t> backlog{0};
    std::atomic<int> clean{1};
    int request_result = 1;
    std::atomic<int> requests{0};
};

// A filter between a top layer standing for the terminal and a line layer, as the session links
// it.
struct Chain {
    explicit Chain(IO* filter_in) : filter(filter_in) {
        line = new LineLayer();
        line->CountDestructionIn(&line_destroyed);
    }
    // A chain that was linked goes with its top layer; a filter refused before it was linked
    // is the test's to delete, as the session would.
    ~Chain() {
        if (top.GetLower() != nullptr) return;
        if (filter->GetLower() == nullptr) delete line;
        delete filter;
    }
    // Links the filter and opens it the way the session does (again once linked, when asked).
    int Start(SessionConfig* config) {
        int result = filter->Open(config);
        if (result != status::kOk && result != status::kFilterNeedsLower) return result;
        EXPECT_EQ(top.InsertBelow(filter), 0);
        EXPECT_EQ(filter->InsertBelow(line), 0);
        return result == status::kOk ? result : filter->Open(config);
    }
    RecordingLayer top{kLayerVT, "Top"};
    IO* filter;
    LineLayer* line;
    int line_destroyed = 0;
};

class FiltersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Preferences::Instance().SetInt(pref::TextPacing, 0);
        SetTransferEndedHandler(&FiltersTest::Ended);
        ended_ = 0;
    }
    void TearDown() override {
        SetTransferEndedHandler(nullptr);
        Preferences::Instance().SetInt(pref::TextPacing, 10);
    }
    static void Ended(Session*, IO*) { ++ended_; }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        return loop_.RunUntil(done, limit);
    }

    static inline std::atomic<int> ended_{0};
    testing::IsolatedConfig isolated_;
    testing::TempDir dir_;
    ScriptedUi ui_;
    EventLoop loop_;
    SessionConfig config_;
};

xmodem::Timing Quick() {
    xmodem::Timing timing;
    timing.purge_ms = 5;
    return timing;
}

TEST_F(FiltersTest, XmodemOpenRefusesWhatCannotWork) {
    {
        Chain chain(new IO_ReceiveXmodem(Quick()));
        chain.line->connected = 0;
        EXPECT_EQ(chain.filter->Open(&config_), status::kFilterNeedsLower);
        EXPECT_EQ(chain.Start(&config_), status::kLowerNotConnected);
        EXPECT_TRUE(ui_.shown().empty());
    }
    {
        Chain chain(new IO_SendXmodem(Quick()));
        chain.line->clean = 0;
        chain.line->request_result = 0;
        EXPECT_EQ(chain.Start(&config_), status::kNot8BitClean);
        EXPECT_EQ(ui_.Texts(), std::vector<std::string>{
                                   "XModem transfers require an 8-bit data path. The connection "
                                   "you are using is not 8-bit capable."});
        EXPECT_EQ(ui_.shown()[0].caption, "Notice");
    }
    ui_.Clear();
    {
        // The file dialog cancelled.
        Chain chain(new IO_SendXmodem(Quick()));
        EXPECT_EQ(chain.Start(&config_), status::kFileOpenFailed);
        ASSERT_EQ(ui_.shown().size(), 1u);
        EXPECT_EQ(ui_.shown()[0].kind, ScriptedUi::Kind::kOpenFile);
        EXPECT_EQ(ui_.shown()[0].caption, "Select file to send");
        EXPECT_EQ(std::filesystem::path(ui_.shown()[0].text).filename(), "sxmodem.txt");
        EXPECT_EQ(ui_.LastProgress(), nullptr);
    }
    ui_.Clear();
    {
        Chain chain(new IO_SendXmodem(Quick()));
        ui_.QueueFile(dir_.File("missing.txt"));
        EXPECT_EQ(chain.Start(&config_), status::kFileOpenFailed);
        EXPECT_EQ(ui_.Texts().back(),
                  "Unable to open '" + dir_.File("missing.txt") + "' for reading.");
    }
    ui_.Clear();
    {
        Chain chain(new IO_ReceiveXmodem(Quick()));
        ui_.QueueFile(dir_.File("no/such/folder.txt"));
        EXPECT_EQ(chain.Start(&config_), status::kFileOpenFailed);
        EXPECT_EQ(ui_.shown()[0].caption, "Select file to receive");
        EXPECT_EQ(std::filesystem::path(ui_.shown()[0].text).filename(), "rxmodem.txt");
        EXPECT_EQ(ui_.Texts().back(),
                  "Unable to open '" + dir_.File("no/such/folder.txt") + "' for writing.");
    }
}

TEST_F(FiltersTest, OurSenderAndReceiverMoveAFileBetweenThem) {
    const std::string data = Pattern(10000);
    testing::WriteFile(dir_.File("out.bin"), data);
    testing::WriteFile(dir_.File("in.bin"), "old contents");
    // A "C" that reaches the sender during its opening purge is lost; the receiver then asks
    // again half a second later instead of ten.
    xmodem::Timing timing = Quick();
    timing.header_ms = 500;
    Chain receiving(new IO_ReceiveXmodem(timing));
    Chain sending(new IO_SendXmodem(timing));
    receiving.line->far = sending.filter;
    sending.line->far = receiving.filter;

    ui_.QueueFile(dir_.File("out.bin"));
    ASSERT_EQ(sending.Start(&config_), 0);
    ScriptedUi::ProgressRecord* send_progress = ui_.LastProgress();
    ui_.QueueFile(dir_.File("in.bin"));
    ASSERT_EQ(receiving.Start(&config_), 0);
    ScriptedUi::ProgressRecord* receive_progress = ui_.LastProgress();

    // Keystrokes during a transfer go nowhere.
    EXPECT_EQ(sending.filter->Send(reinterpret_cast<const std::uint8_t*>("typed"), 5), 0);

    ASSERT_TRUE(RunUntil([&] { return ended_ == 2; }));
    auto* sender = static_cast<IO_SendXmodem*>(sending.filter);
    auto* receiver = static_cast<IO_ReceiveXmodem*>(receiving.filter);
    EXPECT_TRUE(sender->Finished());
    EXPECT_TRUE(receiver->Finished());
    sending.filter->Close();
    receiving.filter->Close();

    std::string padded = data + std::string(128 - data.size() % 128, '\x1a');
    EXPECT_EQ(testing::ReadFile(dir_.File("in.bin")), padded);
    EXPECT_EQ(sending.line->Sent().find("typed"), std::string::npos);
    EXPECT_EQ(sending.top.Displayed(), "File sent successfully.\r\n");
    EXPECT_EQ(receiving.top.Displayed().find(
                  "Transfer completed successfully.\r\n10112 bytes received in "),
              0u);

    EXPECT_TRUE(send_progress->send_mode);
    EXPECT_EQ(send_progress->texts.front(), "total: 9");
    EXPECT_EQ(send_progress->texts[1], "status: Starting xfer");
    EXPECT_EQ(send_progress->texts[2], "status: Positioning at 0");
    EXPECT_EQ(send_progress->texts.back(), "status: Finished; shutting down.");
    EXPECT_EQ(send_progress->percentage, 100);
    EXPECT_TRUE(send_progress->closed);
    EXPECT_FALSE(receive_progress->send_mode);
    EXPECT_EQ(receive_progress->texts[0], "total: (unknown)");
    EXPECT_EQ(receive_progress->texts[1], "status: " + xmodem::ReceiveTimeNote(timing));
    EXPECT_NE(std::find(receive_progress->texts.begin(), receive_progress->texts.end(), "done: 9"),
              receive_progress->texts.end());
}

TEST_F(FiltersTest, TheEightBitPathIsAskedForAndWaitedForOnTheWorker) {
    // The peer agrees a little later: the transfer goes ahead with its first "C".
    {
        Chain chain(new IO_ReceiveXmodem(Quick()));
        chain.line->clean = 0;
        ui_.QueueFile(dir_.File("granted.bin"));
        ASSERT_EQ(chain.Start(&config_), 0);
        EXPECT_EQ(chain.line->requests.load(), 1);
        loop_.RunFor(200ms);
        EXPECT_EQ(chain.line->Sent(), "");
        chain.line->clean = 1;
        EXPECT_TRUE(RunUntil([&] { return chain.line->Sent() == "C"; }));
    }
    // It never agrees: a notice after a second, and the file it would have replaced is kept.
    ui_.Clear();
    testing::WriteFile(dir_.File("precious.txt"), "keep me");
    for (const std::string name : {"precious.txt", "fresh.txt"}) {
        ended_ = 0;
        Chain chain(new IO_ReceiveXmodem(Quick()));
        chain.line->clean = 0;
        ui_.QueueFile(dir_.File(name));
        ASSERT_EQ(chain.Start(&config_), 0);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(RunUntil([&] { return ended_ > 0; }));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
        EXPECT_EQ(ui_.Texts().back(),
                  "XModem transfers require an 8-bit data path. The connection you are using is "
                  "not 8-bit capable.");
        EXPECT_EQ(chain.line->Sent(), "");
    }
    EXPECT_EQ(testing::ReadFile(dir_.File("precious.txt")), "keep me");
    EXPECT_FALSE(std::filesystem::exists(dir_.File("fresh.txt")));
}

TEST_F(FiltersTest, CancelAndClosingEndTheWorkerPromptly) {
    {
        Chain chain(new IO_ReceiveXmodem(Quick()));
        ui_.QueueFile(dir_.File("cancelled.bin"));
        ASSERT_EQ(chain.Start(&config_), 0);
        ui_.LastProgress()->cancel = true;
        ASSERT_TRUE(RunUntil([&] { return ended_ == 1; }, 2s));
        EXPECT_EQ(chain.line->Sent(), "C\x18\x18");
        EXPECT_EQ(chain.top.Displayed(), "File transfer cancelled.\r\n");
    }
    {
        // A line that never falls quiet holds the wait before a NAK; Cancel still ends it.
        xmodem::Timing timing;
        timing.purge_ms = 200;
        auto* filter = new IO_ReceiveXmodem(timing);
        Chain chain(filter);
        ui_.QueueFile(dir_.File("noise.bin"));
        ASSERT_EQ(chain.Start(&config_), 0);
        std::atomic<bool> quiet{false};
        std::atomic<int> sent{0};
        std::thread noise([&] {
            while (!quiet) {
                filter->Receive(reinterpret_cast<const std::uint8_t*>("x"), 1);
                ++sent;
                std::this_thread::sleep_for(20ms);
            }
        });
        // Three bytes make a bad header; the rest keeps the wait before its NAK going.
        ASSERT_TRUE(RunUntil([&] { return sent >= 25; }));
        EXPECT_EQ(chain.line->Sent(), "C");
        ui_.LastProgress()->cancel = true;
        const bool ended = RunUntil([&] { return ended_ == 2; }, 2s);
        quiet = true;
        noise.join();
        ASSERT_TRUE(ended);
        EXPECT_EQ(chain.top.Displayed(), "File transfer cancelled.\r\n");
    }
    {
        // Closing while the sender waits a minute for its receiver: the wait ends at once.
        testing::WriteFile(dir_.File("some.txt"), "some");
        Chain chain(new IO_SendXmodem());
        ui_.QueueFile(dir_.File("some.txt"));
        ASSERT_EQ(chain.Start(&config_), 0);
        testing::Watchdog watchdog("closing a waiting transfer", 2s);
        chain.filter->Close();
        EXPECT_EQ(chain.line->closes, 1);  // the layer below is closed first
    }
}

TEST_F(FiltersTest, AsciiSendSendsTheFileAsItStandsFromItsFirstByte) {
    std::string text = "line one\r\nline two\nthree\r";
    text.push_back('\0');
    text += "\xff end";
    testing::WriteFile(dir_.File("text.txt"), text);
    auto* filter = new IO_SendAscii();
    Chain chain(filter);
    ui_.QueueFile(dir_.File("text.txt"));
    // Opened before it is linked, as the session does it: its worker waits for the link.
    ASSERT_EQ(filter->Open(&config_), 0);
    EXPECT_EQ(ui_.shown()[0].caption, "Select file to send");
    EXPECT_EQ(std::filesystem::path(ui_.shown()[0].text).filename(), "sascii.txt");
    loop_.RunFor(50ms);
    ASSERT_EQ(chain.top.InsertBelow(filter), 0);
    ASSERT_EQ(filter->InsertBelow(chain.line), 0);
    // Received bytes still reach the terminal, typed ones are discarded.
    EXPECT_EQ(filter->Receive(reinterpret_cast<const std::uint8_t*>("echo"), 4), 0);
    EXPECT_EQ(filter->Send(reinterpret_cast<const std::uint8_t*>("typed"), 5), 0);
    ASSERT_TRUE(RunUntil([&] { return ended_ == 1; }));
    EXPECT_EQ(chain.line->Sent(), text);
    EXPECT_EQ(chain.line->send_calls, static_cast<int>(text.size()));  // one byte at a time
    EXPECT_EQ(chain.top.Received(), "echo");
}

TEST_F(FiltersTest, AsciiSendWaitsWhileTheTransportHoldsMuchUnsent) {
    testing::WriteFile(dir_.File("bulk.txt"), std::string(5000, 'b'));
    Chain chain(new IO_SendAscii());
    chain.line->backlog = 1 << 20;  // the peer has not taken a megabyte yet
    ui_.QueueFile(dir_.File("bulk.txt"));
    ASSERT_EQ(chain.Start(&config_), 0);
    loop_.RunFor(100ms);
    EXPECT_EQ(chain.line->Sent(), "b");
    chain.line->backlog = 0;
    ASSERT_TRUE(RunUntil([&] { return ended_ == 1; }));
    EXPECT_EQ(chain.line->Sent().size(), 5000u);
}

TEST_F(FiltersTest, AsciiSendFileErrorsAreShown) {
    {
        Chain chain(new IO_SendAscii());
        EXPECT_EQ(chain.Start(&config_), status::kOutOfMemory);  // the file choice cancelled
    }
    {
        Chain chain(new IO_SendAscii());
        ui_.QueueFile(dir_.path());  // a folder is no file to send
        EXPECT_EQ(chain.Start(&config_), status::kFileOpenFailed);
        EXPECT_EQ(ui_.Texts().back(), "Unable to open '" + dir_.path() + "' for reading.");
    }
    {
        testing::WriteFile(dir_.File("short.txt"), "abc");
        Chain chain(new IO_SendAscii());
        chain.line->send_result = status::kSendFailed;
        ui_.QueueFile(dir_.File("short.txt"));
        ASSERT_EQ(chain.Start(&config_), 0);
        ASSERT_TRUE(RunUntil([&] { return ended_ == 1; }));
        EXPECT_EQ(chain.top.Displayed(), "The connection failed. Send Ascii stopped.\r\n");
        EXPECT_EQ(chain.line->Sent(), "a");
    }
    {
        // A file that opens but cannot be read: the process's own memory at address 0 is never
        // mapped, so reading it fails with an I/O error.
        ended_ = 0;
        Chain chain(new IO_SendAscii());
        ui_.QueueFile("/proc/self/mem");
        ASSERT_EQ(chain.Start(&config_), 0);
        ASSERT_TRUE(RunUntil([&] { return ended_ == 1; }));
        EXPECT_EQ(chain.top.Displayed(),
                  "Unable to read '/proc/self/mem': Input/output error. Send Ascii stopped.\r\n");
        EXPECT_EQ(chain.line->Sent(), "");
    }
}

TEST_F(FiltersTest, CaptureKeepsEveryByteInOrderWithTheEchoWhenItIsOn) {
    for (int echo : {1, 0}) {
        config_.SetInt(setting::local_echo, echo);
        const std::string path = dir_.File("capture" + std::to_string(echo) + ".txt");
        auto* capture = new IO_Capture();
        Chain chain(capture);
        ui_.QueueFile(path);
        ASSERT_EQ(chain.Start(&config_), 0);
        EXPECT_EQ(ui_.shown().back().caption, "Save capture log");
        EXPECT_EQ(std::filesystem::path(ui_.shown().back().text).filename(), "capture.txt");
        std::string expected;
        std::string all;
        for (int i = 0; i < 256; ++i)
            all.push_back(static_cast<char>(i));
        const std::string big = Pattern(3 * IO_Capture::kBufferSize + 17);
        for (const std::string& received : {all, big, std::string("\x1b[1mbold\x1b[0m\r\n")}) {
            ASSERT_EQ(capture->Receive(reinterpret_cast<const std::uint8_t*>(received.data()),
                                       static_cast<int>(received.size())),
                      0);
            expected += received;
            ASSERT_EQ(capture->Send(reinterpret_cast<const std::uint8_t*>("ls\r"), 3), 0);
            if (echo) expected += "ls\r";
        }
        EXPECT_EQ(chain.top.Received(), all + big + "\x1b[1mbold\x1b[0m\r\n");
        EXPECT_EQ(chain.line->Sent(), "ls\rls\rls\r");
        capture->Close();
        EXPECT_EQ(testing::ReadFile(path), expected);
    }
}

TEST_F(FiltersTest, CaptureFileErrorsAreShownAndTheSessionGoesOn) {
    {
        IO_Capture capture;
        EXPECT_EQ(capture.Send(reinterpret_cast<const std::uint8_t*>("x"), 1),
                  status::kNotConnected);
        EXPECT_EQ(capture.Open(&config_), status::kOutOfMemory);  // the file choice cancelled
        ui_.QueueFile(dir_.File("no/folder/log.txt"));
        EXPECT_EQ(capture.Open(&config_), status::kFileOpenFailed);
        EXPECT_EQ(ui_.Texts().back(),
                  "Unable to open '" + dir_.File("no/folder/log.txt") + "' for writing.");
    }
    {
        IO_Capture given(dir_.File("none/x.txt").c_str());
        EXPECT_FALSE(given.HasFile());
        EXPECT_EQ(ui_.Texts().back(),
                  "Unable to open '" + dir_.File("none/x.txt") + "' for writing.");
    }
    {
        // A full disk: said once, and what arrives still reaches the terminal.
        auto* capture = new IO_Capture("/dev/full");
        Chain chain(capture);
        ASSERT_EQ(chain.Start(&config_), 0);
        const std::string big = Pattern(IO_Capture::kBufferSize + 1);
        for (int i = 0; i < 3; ++i) {
            capture->Receive(reinterpret_cast<const std::uint8_t*>(big.data()),
                             static_cast<int>(big.size()));
        }
        const std::string notice =
            "Unable to write to the capture file '/dev/full': No space left on device. Nothing "
            "more is captured; the file holds 0 bytes.";
        ASSERT_TRUE(RunUntil([&] { return ui_.CountOf(ScriptedUi::Kind::kMessage) == 3; }));
        EXPECT_EQ(ui_.Texts().back(), notice);
        capture->Close();
        loop_.RunFor(50ms);
        EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kMessage), 3);
        EXPECT_EQ(chain.top.Received().size(), 3 * big.size());
    }
}

}  // namespace
}  // namespace tarnwick
