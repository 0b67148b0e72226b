#include <gtest/gtest.h>

#include "core/io.h"
#include "core/session_config.h"
#include "support/recording_layer.h"

namespace tarnwick {
namespace {

using testing::RecordingLayer;

// The smallest real layer: everything from the base class.
class PlainLayer : public IO {
  public:
    PlainLayer() : IO(kLayerTelnet, "Plain") {}
    void Close() override {}
    int Send(const std::uint8_t* data, int length) override {
        return lower_ ? lower_->Send(data, length) : status::kNotConnected;
    }
    int Receive(const std::uint8_t* data, int length) override {
        return upper_ ? upper_->Receive(data, length) : status::kOk;
    }
    int Display(const std::uint8_t* data, int length) override { return DisplayUp(data, length); }
};

TEST(LayerChainTest, SendFormsAndBufferOwnership) {
    PlainLayer top;
    auto* bottom = new RecordingLayer(kLayerTCPIP, "TCP/IP");
    ASSERT_EQ(top.InsertBelow(bottom), status::kOk);
    EXPECT_EQ(top.SendString(nullptr), status::kNothingToDo);
    EXPECT_EQ(top.SendString("hi"), status::kOk);
    EXPECT_EQ(top.SendByte('!'), status::kOk);
    std::unique_ptr<IO_Buffer> empty = std::make_unique<IO_Buffer>(8);
    EXPECT_EQ(top.SendBuffer(std::move(empty)), status::kNothingToDo);
    EXPECT_NE(empty, nullptr);  // an empty buffer stays with the caller
    std::unique_ptr<IO_Buffer> none;
    EXPECT_EQ(top.SendBuffer(std::move(none)), status::kNothingToDo);
    auto full = std::make_unique<IO_Buffer>(8);
    full->append("buf", 3);
    bottom->send_result = 12;
    EXPECT_EQ(top.SendBuffer(std::move(full)), 12);  // consumed whatever the outcome
    EXPECT_EQ(full, nullptr);
    EXPECT_EQ(bottom->Sent(), "hi!buf");
    EXPECT_EQ(bottom->send_calls, 3);
}

TEST(LayerChainTest, InsertBelowSplicesAndKeepsChains) {
    auto* terminal = new RecordingLayer(kLayerVT, "VT");
    auto* protocol = new PlainLayer();
    auto* transport = new RecordingLayer(kLayerTCPIP, "TCP/IP");
    // Built bottom-up: the protocol brings its transport, then goes below the terminal.
    ASSERT_EQ(protocol->InsertBelow(transport), status::kOk);
    ASSERT_EQ(terminal->InsertBelow(protocol), status::kOk);
    EXPECT_EQ(terminal->GetLower(), protocol);
    EXPECT_EQ(protocol->GetLower(), transport);
    EXPECT_EQ(transport->GetUpper(), protocol);

    // A filter spliced in between.
    auto* filter = new RecordingLayer(kLayerCapture, "Capture");
    filter->link_up = 0;
    ASSERT_EQ(terminal->InsertBelow(filter), status::kOk);
    EXPECT_EQ(terminal->GetLower(), filter);
    EXPECT_EQ(filter->GetUpper(), terminal);
    EXPECT_EQ(filter->GetLower(), protocol);
    EXPECT_EQ(protocol->GetUpper(), filter);

    EXPECT_EQ(terminal->Contains(transport), 1);
    EXPECT_EQ(filter->Contains(filter), 1);
    EXPECT_EQ(protocol->Contains(filter), 0);  // layers above are not contained
    EXPECT_EQ(transport->FindTerminal(), terminal);

    Session* session = reinterpret_cast<Session*>(0x1234);
    terminal->SetSession(session);
    EXPECT_EQ(transport->GetSession(), session);

    // Removing the filter links terminal and protocol directly and leaves it alone and closed.
    IO* removed = terminal->RemoveBelow();
    EXPECT_EQ(removed, filter);
    EXPECT_EQ(terminal->GetLower(), protocol);
    EXPECT_EQ(protocol->GetUpper(), terminal);
    EXPECT_EQ(filter->GetUpper(), nullptr);
    EXPECT_EQ(filter->GetLower(), nullptr);
    EXPECT_EQ(filter->closes, 1);
    delete removed;

    delete terminal;  // destroys protocol and transport
}

TEST(LayerChainTest, DestroyingTheTopDestroysEachLayerOnce) {
    int destroyed_middle = 0;
    int destroyed_bottom = 0;
    auto* top = new PlainLayer();
    auto* middle = new RecordingLayer();
    auto* bottom = new RecordingLayer(kLayerTCPIP, "TCP/IP");
    middle->CountDestructionIn(&destroyed_middle);
    bottom->CountDestructionIn(&destroyed_bottom);
    ASSERT_EQ(top->InsertBelow(middle), status::kOk);
    ASSERT_EQ(middle->InsertBelow(bottom), status::kOk);
    delete top;
    EXPECT_EQ(destroyed_middle, 1);
    EXPECT_EQ(destroyed_bottom, 1);
}

// What the front ends ask of a chain goes down to the transport; with nothing below the answer
// is: no link, no break.
TEST(LayerChainTest, ControlRequestsForwardDown) {
    PlainLayer top;
    EXPECT_EQ(top.IsLinkUp(), 0);
    EXPECT_EQ(top.IsConnected(), 0);
    EXPECT_EQ(top.CanSendBreak(), 0);
    EXPECT_EQ(top.SendBreak(), status::kBreakNotSupported);
    EXPECT_EQ(top.Pause(), status::kNoPauseHandler);
    auto* bottom = new RecordingLayer(kLayerSerial, "Serial");
    ASSERT_EQ(top.InsertBelow(bottom), status::kOk);
    bottom->can_break = 1;
    EXPECT_EQ(top.CanSendBreak(), 1);
    EXPECT_EQ(top.SendBreak(), 0);
    EXPECT_EQ(bottom->breaks, 1);
    EXPECT_EQ(top.IsLinkUp(), 1);
    bottom->connected = 7;  // any nonzero answer counts as 1
    EXPECT_EQ(top.IsConnected(), 1);
}

TEST(LayerChainTest, DisplayTravelsUpUnchanged) {
    auto* terminal = new RecordingLayer(kLayerVT, "VT");
    auto* protocol = new PlainLayer();
    ASSERT_EQ(terminal->InsertBelow(protocol), status::kOk);
    EXPECT_EQ(protocol->DisplayString("Connected\r\n"), 0);
    EXPECT_EQ(protocol->DisplayString(nullptr), status::kNothingToDo);
    EXPECT_EQ(terminal->Displayed(), "Connected\r\n");
    PlainLayer lonely;
    EXPECT_EQ(lonely.DisplayString("dropped"), 0);
    delete terminal;
}

TEST(LayerChainTest, LayersHoldTheirSettings) {
    auto config = std::make_unique<SessionConfig>();
    {
        PlainLayer a;
        PlainLayer b;
        EXPECT_EQ(a.Open(config.get()), status::kNotSupported);
        EXPECT_EQ(a.Open(config.get()), status::kNotSupported);  // the same record counts once
        EXPECT_EQ(b.Open(config.get()), status::kNotSupported);
        EXPECT_EQ(config->Holders(), 2);
        SessionConfig other;
        EXPECT_EQ(b.Open(&other), status::kNotSupported);  // moves its reference
        EXPECT_EQ(config->Holders(), 1);
        EXPECT_EQ(other.Holders(), 1);
        EXPECT_EQ(b.Open(nullptr), status::kNotSupported);
        EXPECT_EQ(other.Holders(), 0);
    }
    EXPECT_EQ(config->Holders(), 0);
}

}  // namespace
}  // namespace tarnwick
