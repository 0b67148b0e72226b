// IO_Serial over a socat pseudo-terminal pair: the line settings as the kernel holds them (read
// back with stty and, for rates without a B constant, with the arbitrary-rate interface), bytes
// both ways, break, the devices that cannot be opened, and the other end going away.
#include "transport/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "platform/text.h"
#include "platform/ui_dispatcher.h"
#include "support/child_process.h"
#include "support/loopback_peer.h"
#include "support/pty_pair.h"
#include "support/recording_layer.h"
#include "support/test_util.h"
#include "transport/serial_devices.h"
#include "transport/serial_speed.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::RecordingLayer;

class SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pair_.Ready()) << "socat (package socat) is needed";
        config_.SetInt(setting::session_kind, kKindSerial);
        config_.SetWideFromNarrow(setting::serial_device, pair_.a().c_str());
        config_.SetSessionCallback(&SerialTest::OnDataArrived, this);
        top_ = std::make_unique<RecordingLayer>(kLayerVT, "Top");
        serial_ = new IO_Serial();
        ASSERT_EQ(top_->InsertBelow(serial_), 0);
    }
    void TearDown() override {
        testing::Watchdog watchdog("closing the serial chain", 5s);
        top_.reset();
        if (far_ >= 0) close(far_);
        if (probe_ >= 0) close(probe_);
    }

    // The notification runs a pump on the user-interface thread, as the session list does.
    static void OnDataArrived(void* context, IO* transport) {
        auto* self = static_cast<SerialTest*>(context);
        UiDispatcher::Instance().RunAndWait([self, transport] {
            self->last_pump_ = transport->Pump();
            if (self->last_pump_ != 0) transport->Close();
        });
    }

    // stty's view of the line, through a descriptor of the test's own (opened before the
    // transport's exclusive open, which only blocks new opens).
    std::string Stty() {
        return testing::RunCommand("stty -a <&" + std::to_string(probe_) + " 2>&1");
    }
    void OpenProbe() { probe_ = open(pair_.a().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK); }

    int OpenWith(int speed, int bits, int parity, int stop, int flow) {
        config_.SetInt(setting::serial_speed, speed);
        config_.SetInt(setting::serial_bytesize, bits);
        config_.SetInt(setting::serial_parity, parity);
        config_.SetInt(setting::serial_stopbits, stop);
        config_.SetInt(setting::serial_flowcontrol, flow);
        return serial_->Open(&config_);
    }

    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return loop_.RunUntil(done, limit);
    }

    testing::PtyPair pair_;
    ScriptedUi ui_;
    EventLoop loop_;
    SessionConfig config_;
    std::unique_ptr<RecordingLayer> top_;
    IO_Serial* serial_ = nullptr;
    std::atomic<int> last_pump_{0};
    int far_ = -1;
    int probe_ = -1;
};

bool Has(const std::string& stty, const std::string& word) {
    std::string padded = " " + stty + " ";
    for (char& c : padded) {
        if (c == '\n' || c == ';') c = ' ';
    }
    return padded.find(" " + word + " ") != std::string::npos;
}

TEST_F(SerialTest, EverySpeedOfTheListReachesTheLine) {
    OpenProbe();
    for (int speed : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600,
                      115200, 128000, 256000}) {
        ASSERT_EQ(OpenWith(speed, 8, 0, 0, 0), 0) << speed << top_->Displayed();
        EXPECT_EQ(ReadLineSpeed(probe_), speed);
        const std::string stty = Stty();
        // stty knows only the rates that have a B constant.
        if (speed != 14400 && speed != 56000 && speed != 128000 && speed != 256000) {
            EXPECT_NE(stty.find("speed " + std::to_string(speed) + " baud"), std::string::npos)
                << stty;
        }
        // Raw: nothing is echoed, edited or translated on the way.
        for (const char* word :
             {"-icanon", "-echo", "-opost", "-isig", "-icrnl", "clocal", "cread"})
            EXPECT_TRUE(Has(stty, word)) << word << "\n" << stty;
        serial_->Close();
    }
    EXPECT_EQ(top_->Displayed(), "");  // a pseudo-terminal takes all of these as they are
}

TEST_F(SerialTest, StopBitsAndFlowControlReachTheLine) {
    OpenProbe();
    ASSERT_EQ(OpenWith(9600, 8, 0, 2, 1), 0);
    std::string stty = Stty();
    for (const char* word : {"cstopb", "crtscts", "-ixon", "-ixoff", "cs8", "-parenb"})
        EXPECT_TRUE(Has(stty, word)) << word << "\n" << stty;
    EXPECT_EQ(top_->Displayed(), std::string(IO_Serial::kNoDsrHandshake) + "\r\n");
    top_->ClearRecords();
    serial_->Close();

    ASSERT_EQ(OpenWith(9600, 8, 0, 0, 2), 0);
    stty = Stty();
    for (const char* word : {"-cstopb", "-crtscts", "ixon", "ixoff"})
        EXPECT_TRUE(Has(stty, word)) << word << "\n" << stty;
    serial_->Close();

    // No flow control: XON and XOFF must pass as data, whatever the line had before.
    ASSERT_EQ(OpenWith(9600, 8, 0, 0, 0), 0);
    stty = Stty();
    for (const char* word : {"-crtscts", "-ixon", "-ixoff"})
        EXPECT_TRUE(Has(stty, word)) << word << "\n" << stty;
    EXPECT_EQ(top_->Displayed(), "");
}

TEST_F(SerialTest, SettingsALineCannotTakeAreRefusedOrNamed) {
    EXPECT_EQ(OpenWith(9600, 4, 0, 0, 0), status::kDeviceOpenFailed);
    EXPECT_EQ(top_->Displayed(), "A Linux serial line cannot use 4 data bits.\r\n");
    top_->ClearRecords();
    EXPECT_EQ(OpenWith(9600, 8, 0, 1, 0), status::kDeviceOpenFailed);
    EXPECT_EQ(top_->Displayed(), "A Linux serial line cannot use 1.5 stop bits.\r\n");
    EXPECT_EQ(serial_->IsConnected(), 0);
    top_->ClearRecords();

    // A pseudo-terminal always has 8 data bits and no parity: the session opens, and says so.
    ASSERT_EQ(OpenWith(9600, 7, 2, 0, 0), 0);
    EXPECT_EQ(top_->Displayed(), pair_.a() +
                                     " does not take 9600 bits per second, 7 data bits, even "
                                     "parity, 1 stop bits; it runs with 9600 bits per second, 8 "
                                     "data bits, no parity, 1 stop bits.\r\n");
}

TEST_F(SerialTest, EveryByteValuePassesBothWays) {
    ASSERT_EQ(OpenWith(115200, 8, 0, 0, 0), 0);
    far_ = testing::OpenRawEnd(pair_.b());
    ASSERT_GE(far_, 0);
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    const std::string out = all + all + "\r\n\x11\x13";
    ASSERT_EQ(serial_->Send(reinterpret_cast<const std::uint8_t*>(out.data()),
                            static_cast<int>(out.size())),
              0);
    EXPECT_EQ(testing::ReadEnd(far_, out.size()), out);

    ASSERT_TRUE(testing::WriteEnd(far_, all));
    EXPECT_TRUE(RunUntil([&] { return top_->Received().size() >= all.size(); }));
    EXPECT_EQ(top_->Received(), all);
}

TEST_F(SerialTest, BreakHoldsHalfASecondAndTheSessionGoesOn) {
    EXPECT_EQ(serial_->CanSendBreak(), 0);
    EXPECT_EQ(serial_->SendBreak(), 0);  // also without a device
    ASSERT_EQ(OpenWith(9600, 8, 0, 0, 0), 0);
    EXPECT_EQ(serial_->CanSendBreak(), 1);
    far_ = testing::OpenRawEnd(pair_.b());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial_->SendBreak(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    // A pseudo-terminal shows no break on its other side, and the line still carries data.
    ASSERT_EQ(serial_->Send(reinterpret_cast<const std::uint8_t*>("after"), 5), 0);
    EXPECT_EQ(testing::ReadEnd(far_, 5), "after");
    ASSERT_TRUE(testing::WriteEnd(far_, "back"));
    EXPECT_TRUE(RunUntil([&] { return top_->Received() == "back"; }));
}

TEST_F(SerialTest, ABusyOrMissingDeviceIsNamed) {
    ASSERT_EQ(OpenWith(9600, 8, 0, 0, 0), 0);
    EXPECT_EQ(serial_->Open(&config_), status::kAlreadyOpen);

    RecordingLayer second_top(kLayerVT, "Top");
    auto* second = new IO_Serial();
    ASSERT_EQ(second_top.InsertBelow(second), 0);
    EXPECT_EQ(second->Open(&config_), status::kDeviceOpenFailed);
    EXPECT_EQ(second_top.Displayed(), pair_.a() + " is in use by another program.\r\n");

    SessionConfig missing;
    missing.SetWideFromNarrow(setting::serial_device, "/dev/ttyNoSuchPort7");
    second_top.ClearRecords();
    EXPECT_EQ(second->Open(&missing), status::kDeviceOpenFailed);
    EXPECT_EQ(second_top.Displayed(), "There is no serial device /dev/ttyNoSuchPort7.\r\n");

    testing::TempDir dir;
    testing::WriteFile(dir.File("plain"), "x");
    SessionConfig plain;
    plain.SetWideFromNarrow(setting::serial_device, dir.File("plain").c_str());
    second_top.ClearRecords();
    EXPECT_EQ(second->Open(&plain), status::kDeviceOpenFailed);
    EXPECT_EQ(second_top.Displayed(), dir.File("plain") + " is not a serial device.\r\n");

    // A device of another kind is not even opened.
    SessionConfig other;
    other.SetWideFromNarrow(setting::serial_device, "/dev/null");
    second_top.ClearRecords();
    EXPECT_EQ(second->Open(&other), status::kDeviceOpenFailed);
    EXPECT_EQ(second_top.Displayed(), "/dev/null is not a serial device.\r\n");
}

TEST_F(SerialTest, AUserWithoutPermissionIsToldAboutTheDialoutGroup) {
    // The pseudo-terminal belongs to root and is not open to others; a user without rights
    // opens it in a child process.
    ASSERT_EQ(chmod(testing::PtyPair::Target(pair_.a()).c_str(), 0600), 0);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to take another user's identity";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        RecordingLayer top(kLayerVT, "Top");
        auto* serial = new IO_Serial();
        if (top.InsertBelow(serial) != 0) _exit(3);
        const bool refused = serial->Open(&config_) == status::kDeviceOpenFailed;
        const std::string shown = top.Displayed();
        _exit(refused && shown.find("Permission denied for " + pair_.a()) == 0 &&
                      shown.find("dialout group") != std::string::npos
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SerialTest, TheOtherEndGoingAwayEndsTheReaderWithAMessage) {
    ASSERT_EQ(OpenWith(9600, 8, 0, 0, 0), 0);
    far_ = testing::OpenRawEnd(pair_.b());
    ASSERT_TRUE(testing::WriteEnd(far_, "last words"));
    ASSERT_TRUE(RunUntil([&] { return top_->Received() == "last words"; }));
    pair_.Stop();
    ASSERT_TRUE(RunUntil([&] { return serial_->IsConnected() == 0; }));
    EXPECT_EQ(last_pump_.load(), status::kReaderStopped);
    EXPECT_EQ(top_->Displayed(),
              "Lost the serial device " + pair_.a() + ": the line was hung up.\r\n");
    EXPECT_EQ(serial_->Pump(), status::kReaderStopped);
    EXPECT_EQ(serial_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kNotConnected);
}

// A line that takes nothing (flow control holding it, nobody reading) must not hold up the sender:
// what waits arrives in order once the line moves, and a line that stays still is given up.
TEST_F(SerialTest, AHeldLineNeverFreezesTheSenderAndIsGivenUpWhenItStaysStill) {
    ASSERT_EQ(OpenWith(115200, 8, 0, 0, 0), 0);
    far_ = testing::OpenRawEnd(pair_.b());  // open, but not read yet
    std::string bulk(1 << 20, 0);
    for (std::size_t i = 0; i < bulk.size(); ++i)
        bulk[i] = static_cast<char>(i * 7 + i / 251);
    {
        testing::Watchdog watchdog("a send to a line that takes nothing", 5s);
        ASSERT_EQ(serial_->Send(reinterpret_cast<const std::uint8_t*>(bulk.data()),
                                static_cast<int>(bulk.size())),
                  status::kOk);
    }
    EXPECT_GT(serial_->SendBacklog(), 0u);
    EXPECT_EQ(top_->SendBacklog(), serial_->SendBacklog());
    EXPECT_TRUE(testing::ReadEnd(far_, bulk.size(), 20000) == bulk);

    serial_->SetStallLimit(300ms);
    const std::string more(4 << 20, 'x');
    {
        testing::Watchdog watchdog("a send to a line that takes nothing", 5s);
        EXPECT_EQ(serial_->Send(reinterpret_cast<const std::uint8_t*>(more.data()),
                                static_cast<int>(more.size())),
                  status::kOk);
    }
    ASSERT_TRUE(RunUntil([&] { return serial_->IsConnected() == 0; }));
    EXPECT_EQ(last_pump_.load(), status::kReaderStopped);
    EXPECT_EQ(top_->Displayed().find("The serial device " + pair_.a() + " took nothing for "), 0u)
        << top_->Displayed();
    EXPECT_EQ(serial_->SendBacklog(), 0u);
}

TEST(SerialDevicesTest, StableNamesFirstThenPortsThatAnswerThenAdapters) {
    testing::TempDir dev;
    testing::TempDir sys;
    namespace fs = std::filesystem;
    for (const char* name : {"ttyS0", "ttyS1", "ttyS10", "ttyS2x", "ttyUSB0", "ttyUSB1", "ttyACM0"})
        testing::WriteFile(dev.File(name), "");
    fs::create_directories(dev.File("serial/by-id"));
    fs::create_symlink("../../ttyUSB0",
                       dev.File("serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"));
    for (auto [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS10", "4"}}) {
        fs::create_directories(sys.File(std::string("class/tty/") + name));
        testing::WriteFile(sys.File(std::string("class/tty/") + name + "/type"), type);
    }
    const auto devices = ListSerialDevices(dev.path(), sys.path());
    ASSERT_EQ(devices.size(), 5u);
    EXPECT_EQ(devices[0].port, dev.File("serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0"));
    EXPECT_EQ(devices[0].display, "usb-FTDI_FT232R_A50285BI-if00-port0 (" +
                                      fs::canonical(dev.File("ttyUSB0")).string() + ")");
    EXPECT_EQ(devices[1].port, dev.File("ttyS0"));
    EXPECT_EQ(devices[2].port, dev.File("ttyS10"));   // ttyS1 has no hardware behind it
    EXPECT_EQ(devices[3].port, dev.File("ttyUSB1"));  // ttyUSB0 is listed by its stable name
    EXPECT_EQ(devices[4].port, dev.File("ttyACM0"));
    EXPECT_EQ(devices[4].display, dev.File("ttyACM0"));
}

TEST(SerialDevicesTest, TheListStopsAtTwentyFiveAndMayBeEmpty) {
    testing::TempDir dev;
    EXPECT_TRUE(ListSerialDevices(dev.path(), dev.path()).empty());
    for (int i = 0; i < 30; ++i)
        testing::WriteFile(dev.File("ttyUSB" + std::to_string(i)), "");
    const auto devices = ListSerialDevices(dev.path(), dev.path());
    ASSERT_EQ(devices.size(), kMaxSerialDevices);
    EXPECT_EQ(devices[2].port, dev.File("ttyUSB2"));
    EXPECT_EQ(devices[10].port, dev.File("ttyUSB10"));
}

}  // namespace
}  // namespace tarnwick
