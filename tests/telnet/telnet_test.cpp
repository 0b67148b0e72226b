#include "telnet/telnet.h"

#include <gtest/gtest.h>

#include <optional>

#include "core/session_config.h"
#include "support/recording_layer.h"

namespace tarnwick {
namespace {

using testing::RecordingLayer;

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

// Records what comes up; answers as a terminal when it has been given its facts.
class Top : public RecordingLayer {
  public:
    Top() : RecordingLayer(kLayerCapture, "Top") {}
    bool QueryTerminal(TerminalFacts* facts) override {
        if (!terminal_) return false;
        *facts = *terminal_;
        return true;
    }
    std::optional<TerminalFacts> terminal_;
};

// top - IO_Telnet - bottom (records what goes down)
class TelnetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        top_ = new Top();
        telnet_ = new IO_Telnet();
        bottom_ = new RecordingLayer(kLayerTCPIP, "TCP/IP");
        ASSERT_EQ(telnet_->InsertBelow(bottom_), 0);
        ASSERT_EQ(top_->InsertBelow(telnet_), 0);
        ASSERT_EQ(telnet_->Open(&config_), 0);
    }
    void TearDown() override { delete top_; }

    void Feed(const std::string& bytes) {
        telnet_->Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         static_cast<int>(bytes.size()));
    }

    SessionConfig config_;
    Top* top_ = nullptr;
    IO_Telnet* telnet_ = nullptr;
    RecordingLayer* bottom_ = nullptr;
};

TEST_F(TelnetTest, PlainTextGoesUpAsOneBuffer) {
    Feed("hello\r\nworld");
    EXPECT_EQ(top_->Received(), "hello\r\nworld");
    EXPECT_EQ(top_->receive_calls, 1);
    EXPECT_EQ(bottom_->Sent(), "");
}

TEST_F(TelnetTest, CommandsAreStrippedAndIacIacIsData) {
    Feed("a" + Bytes({255, 255}) + "b" + Bytes({255, 241}) + "c" + Bytes({255, 249, 255, 240}) +
         "d");
    EXPECT_EQ(top_->Received(), "a" + Bytes({255}) + "bcd");
    EXPECT_EQ(bottom_->Sent(), "");
}

TEST_F(TelnetTest, CommandSplitAcrossBuffers) {
    Feed("x" + Bytes({255}));
    Feed(Bytes({253}));
    Feed(Bytes({24}) + "y");
    EXPECT_EQ(top_->Received(), "xy");
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 251, 24}));
}

TEST_F(TelnetTest, OptionPolicy) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {Bytes({255, 253, 5}), Bytes({255, 252, 5})},    // DO unknown -> WONT
        {Bytes({255, 251, 5}), Bytes({255, 254, 5})},    // WILL unknown -> DONT
        {Bytes({255, 254, 5}), Bytes({255, 252, 5})},    // DONT unknown -> WONT
        {Bytes({255, 252, 5}), Bytes({255, 254, 5})},    // WONT unknown -> DONT
        {Bytes({255, 251, 24}), ""},                     // WILL TTYPE: silence
        {Bytes({255, 251, 31}), Bytes({255, 254, 31})},  // WILL NAWS: refused
        {Bytes({255, 252, 0}), Bytes({255, 254, 0})},    // WONT BINARY: refused
        {Bytes({255, 252, 1}), Bytes({255, 254, 1})},    // WONT ECHO: refused
    };
    for (const Case& c : cases) {
        bottom_->ClearRecords();
        Feed(c.in);
        EXPECT_EQ(bottom_->Sent(), c.out);
    }
}

TEST_F(TelnetTest, BinaryAndSgaFlags) {
    EXPECT_EQ(telnet_->Is8BitClean(), 0);
    Feed(Bytes({255, 251, 0}));  // WILL BINARY
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 253, 0}));
    EXPECT_EQ(telnet_->Is8BitClean(), 1);
    bottom_->ClearRecords();
    Feed(Bytes({255, 251, 0}));  // already agreed: no answer
    EXPECT_EQ(bottom_->Sent(), "");
    Feed(Bytes({255, 254, 0}));  // DONT BINARY while set
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 252, 0}));
    EXPECT_EQ(telnet_->Is8BitClean(), 0);
    bottom_->ClearRecords();
    Feed(Bytes({255, 254, 0}));  // and again: nothing
    Feed(Bytes({255, 253, 0}));  // DO BINARY: always WILL
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 251, 0}));

    bottom_->ClearRecords();
    Feed(Bytes({255, 253, 3, 255, 251, 3}));  // DO SGA, then WILL SGA once agreed
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 251, 3}));
    EXPECT_TRUE(telnet_->sga());
    bottom_->ClearRecords();
    Feed(Bytes({255, 252, 3, 255, 252, 3}));  // WONT SGA twice
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 254, 3}));
    EXPECT_FALSE(telnet_->sga());
}

TEST_F(TelnetTest, EchoNegotiationWritesLocalEcho) {
    config_.SetInt(setting::local_echo, 1);
    Feed(Bytes({255, 251, 1}));  // WILL ECHO with local echo on
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 253, 1}));
    EXPECT_EQ(config_.GetInt(setting::local_echo), 0);
    bottom_->ClearRecords();
    Feed(Bytes({255, 251, 1}));  // a second WILL ECHO is not answered
    EXPECT_EQ(bottom_->Sent(), "");
    Feed(Bytes({255, 254, 1}));  // DONT ECHO with local echo off
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 252, 1}));
    EXPECT_EQ(config_.GetInt(setting::local_echo), 1);
    bottom_->ClearRecords();
    Feed(Bytes({255, 253, 1}));  // DO ECHO
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 251, 1}));
    EXPECT_EQ(config_.GetInt(setting::local_echo), 0);
}

TEST_F(TelnetTest, WindowSizeWithoutATerminal) {
    Feed(Bytes({255, 253, 31}));
    EXPECT_EQ(bottom_->Sent(),
              Bytes({255, 251, 31}) + Bytes({255, 250, 31, 0, 80, 0, 24, 255, 240}));
    EXPECT_EQ(bottom_->send_calls, 2);
}

TEST_F(TelnetTest, WindowSizeCountsAreSixteenBitsWithIacDoubled) {
    top_->terminal_ = TerminalFacts{"vt220", 255, 300};
    Feed(Bytes({255, 253, 31}));
    EXPECT_EQ(bottom_->Sent(),
              Bytes({255, 251, 31}) + Bytes({255, 250, 31, 0, 255, 255, 1, 44, 255, 240}));
    bottom_->ClearRecords();
    Feed(Bytes({255, 250, 24, 1, 255, 240}));
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 250, 24, 0}) + "vt220" + Bytes({255, 240}));
}

TEST_F(TelnetTest, TerminalTypeWithoutATerminal) {
    Feed(Bytes({255, 250, 24, 1, 255, 240}) + "after");
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 250, 24, 0}) + "unknown" + Bytes({255, 240}));
    EXPECT_EQ(top_->Received(), "after");
}

TEST_F(TelnetTest, LongSubnegotiationStillEnds) {
    std::string sb = Bytes({255, 250, 99});
    sb += std::string(600, 'z');
    sb += Bytes({255, 240});
    Feed(sb.substr(0, 300));
    Feed(sb.substr(300) + "data");
    EXPECT_EQ(top_->Received(), "data");
    EXPECT_EQ(bottom_->Sent(), "");

    // An unknown subnegotiation is reported in debug mode only.
    config_.SetInt(setting::debug, 1);
    Feed(Bytes({255, 250, 42, 1, 2, 255, 240}));
    EXPECT_EQ(top_->Displayed(), "Unknown ParseSB feature received\r\n");
}

TEST_F(TelnetTest, SendDoublesIac) {
    std::string data = "a" + Bytes({255}) + "b";
    EXPECT_EQ(telnet_->Send(reinterpret_cast<const std::uint8_t*>(data.data()), 3), 0);
    EXPECT_EQ(bottom_->Sent(), "a" + Bytes({255, 255}) + "b");
    EXPECT_EQ(bottom_->send_calls, 1);
    bottom_->send_result = 12;
    EXPECT_EQ(telnet_->SendString("plain"), 12);
}

TEST_F(TelnetTest, BreakAndEightBitRequests) {
    EXPECT_EQ(telnet_->CanSendBreak(), 1);
    EXPECT_EQ(telnet_->SendBreak(), 0);
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 243}));
    bottom_->connected = 0;
    EXPECT_EQ(telnet_->CanSendBreak(), 0);
    EXPECT_EQ(telnet_->SendBreak(), status::kNotConnected);

    bottom_->ClearRecords();
    EXPECT_EQ(telnet_->Request8Bit(1), 1);
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 253, 0}));
    EXPECT_EQ(telnet_->Is8BitClean(), 0);  // only the peer's answer switches
    Feed(Bytes({255, 251, 0}));
    EXPECT_EQ(telnet_->Is8BitClean(), 1);
    bottom_->ClearRecords();
    EXPECT_EQ(telnet_->Request8Bit(1), 1);  // already 8-bit: nothing to ask
    EXPECT_EQ(bottom_->Sent(), "");
    EXPECT_EQ(telnet_->Request8Bit(0), 1);
    EXPECT_EQ(bottom_->Sent(), Bytes({255, 254, 0}));
}

TEST(TelnetAloneTest, NoLowerLayer) {
    IO_Telnet telnet;
    SessionConfig config;
    EXPECT_EQ(telnet.Open(&config), status::kNoLowerLayer);
    EXPECT_EQ(telnet.SendString("x"), status::kNotConnected);
    EXPECT_EQ(telnet.SendBreak(), status::kNotConnected);
    EXPECT_EQ(telnet.Request8Bit(1), 0);
    // Negotiation without anyone to answer or receive: nothing happens, nothing breaks.
    std::string bytes =
        "\xff\xfd\x1f"
        "text";
    EXPECT_EQ(telnet.Receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), 7), 0);
}

}  // namespace
}  // namespace tarnwick
