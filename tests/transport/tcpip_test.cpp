#include "transport/tcpip.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/preferences.h"
#include "core/session_config.h"
#include "platform/event_loop.h"
#include "platform/scripted_ui.h"
#include "platform/ui_dispatcher.h"
#include "support/loopback_peer.h"
#include "support/recording_layer.h"
#include "support/test_util.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackListener;
using testing::RecordingLayer;
using testing::Watchdog;

std::string Pattern(std::size_t size) {
    std::string data(size, '\0');
    std::uint32_t x = 12345;
    for (char& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return data;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

// A top layer that runs a hook from Receive (to act on the transport from inside a pump).
class HookLayer : public RecordingLayer {
  public:
    std::function<void()> on_receive;
    int largest = 0;  // the largest chunk handed up
    int Receive(const std::uint8_t* data, int length) override {
        int result = RecordingLayer::Receive(data, length);
        largest = std::max(largest, length);
        if (on_receive) on_receive();
        return result;
    }
};

// The test thread is the user-interface thread: it runs an event loop, and the notification runs
// a pump there the way the terminal view does (a failed pump closes the connection).
class TcpipTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Preferences::Instance().SetInt(pref::EnableICM, 0);
        config_.SetNarrow(setting::hostname, "127.0.0.1");
        config_.SetInt(setting::portnum, listener_.port());
        config_.SetSessionCallback(&TcpipTest::OnDataArrived, this);
        top_ = std::make_unique<HookLayer>();
        tcp_ = new IO_TCPIP();
        ASSERT_EQ(top_->InsertBelow(tcp_), 0);
    }
    void TearDown() override {
        Watchdog watchdog("destroying the chain", 5s);
        top_.reset();
        for (int peer : peers_)
            close(peer);
    }

    static void OnDataArrived(void* context, IO* transport) {
        auto* self = static_cast<TcpipTest*>(context);
        ++self->notifications_;
        UiDispatcher::Instance().RunAndWait([self, transport] {
            int result = transport->Pump();
            self->pumps_.push_back(result);
            if (result != 0 && self->close_on_failure_) transport->Close();
        });
    }

    static void CountOnly(void* context, IO*) {
        ++static_cast<TcpipTest*>(context)->notifications_;
    }

    // Opens the transport; the peer's end of the connection, closed at the end of the test.
    int OpenAndAccept() {
        EXPECT_EQ(tcp_->Open(&config_), 0);
        const int peer = listener_.Accept();
        EXPECT_GE(peer, 0) << "the connection did not arrive";
        if (peer >= 0) peers_.push_back(peer);
        return peer;
    }
    // The peer goes away before the test ends.
    void Hangup(int peer) {
        peers_.erase(std::find(peers_.begin(), peers_.end(), peer));
        close(peer);
    }

    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        return loop_.RunUntil(done, limit);
    }

    testing::IsolatedConfig isolated_;
    ScriptedUi ui_;
    EventLoop loop_;
    LoopbackListener listener_;
    SessionConfig config_;
    std::atomic<int> notifications_{0};
    std::vector<int> pumps_;  // user-interface thread only
    bool close_on_failure_ = true;
    std::vector<int> peers_;
    std::unique_ptr<HookLayer> top_;
    IO_TCPIP* tcp_ = nullptr;  // owned by top_
};

TEST_F(TcpipTest, CarriesBytesBothWaysThroughTheChain) {
    const int peer = OpenAndAccept();
    EXPECT_EQ(tcp_->IsConnected(), 1);
    EXPECT_EQ(tcp_->IsLinkUp(), 1);

    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("hello"), 5), 0);
    EXPECT_EQ(testing::ReadSome(peer, 5), "hello");

    const std::string data = Pattern(300000);
    std::thread writer([&] { testing::WriteAll(peer, data); });
    EXPECT_TRUE(RunUntil([&] { return top_->Received().size() >= data.size(); }));
    writer.join();
    EXPECT_TRUE(top_->Received() == data) << "bytes lost, reordered or duplicated";
    EXPECT_LE(top_->largest, static_cast<int>(IO_TCPIP::kMaxReadSize));
    for (int result : pumps_)
        EXPECT_EQ(result, 0);

    // A second Open changes nothing: the same connection keeps working.
    EXPECT_EQ(tcp_->Open(&config_), status::kAlreadyOpen);
    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("more"), 4), 0);
    EXPECT_EQ(testing::ReadSome(peer, 4), "more");
    EXPECT_EQ(listener_.Accept(100), -1);
}

TEST_F(TcpipTest, PeerCloseEndsWithOneLastNotification) {
    for (int debug : {1, 0}) {
        SCOPED_TRACE(debug);
        if (debug == 0) {
            top_ = std::make_unique<HookLayer>();
            tcp_ = new IO_TCPIP();
            ASSERT_EQ(top_->InsertBelow(tcp_), 0);
            pumps_.clear();
            notifications_ = 0;
        }
        config_.SetInt(setting::debug, debug);
        const int peer = OpenAndAccept();
        ASSERT_TRUE(testing::WriteAll(peer, "last words"));
        ASSERT_TRUE(RunUntil([&] { return top_->Received() == "last words"; }));
        Hangup(peer);
        ASSERT_TRUE(RunUntil([&] { return tcp_->IsConnected() == 0; }));
        loop_.RunFor(50ms);

        ASSERT_FALSE(pumps_.empty());
        EXPECT_EQ(pumps_.back(), status::kReaderStopped);
        EXPECT_EQ(std::count(pumps_.begin(), pumps_.end(), status::kReaderStopped), 1);
        EXPECT_EQ(notifications_.load(), static_cast<int>(pumps_.size()));
        EXPECT_EQ(top_->Displayed(), debug ? "Connection reset by peer\r\n" : "");
        EXPECT_EQ(tcp_->Pump(), status::kReaderStopped);
        EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kNotConnected);
    }
}

TEST_F(TcpipTest, DataReadJustBeforeThePeerClosedIsNotLost) {
    // Without a working notification the reader queues everything it reads and stops at the end
    // of the stream; the next pump must still deliver all of it before reporting the end.
    config_.SetSessionCallback(&TcpipTest::CountOnly, this);
    const int peer = OpenAndAccept();
    const std::string data = Pattern(1000);
    ASSERT_TRUE(testing::WriteAll(peer, data));
    Hangup(peer);
    int last = -1;
    for (int i = 0; i < 200; ++i) {  // until the count stays put: the reader has ended
        std::this_thread::sleep_for(10ms);
        int now = notifications_.load();
        if (now == last) break;
        last = now;
    }
    EXPECT_EQ(tcp_->Pump(), status::kReaderStopped);
    EXPECT_TRUE(top_->Received() == data);
}

TEST_F(TcpipTest, FailuresShowTheirReasonsAndLeakNothing) {
    testing::RefusingPort refusing;  // before the count: its own descriptor is no leak
    int descriptors = OpenDescriptors();
    config_.SetNarrow(setting::hostname, "no-such-host.invalid");
    EXPECT_EQ(tcp_->Open(&config_), status::kConnectFailed);
    config_.SetNarrow(setting::hostname, "127.0.0.1");
    config_.SetInt(setting::portnum, refusing.port());
    EXPECT_EQ(tcp_->Open(&config_), status::kConnectFailed);

    EXPECT_EQ(top_->Displayed(), "Connection failed\r\nConnection failed\r\n");
    std::vector<ScriptedUi::Shown> shown = ui_.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "Notice");
    EXPECT_EQ(shown[0].text, "Unable to resolve hostname 'no-such-host.invalid'");
    EXPECT_EQ(shown[1].caption, "Unable to open connection");
    EXPECT_EQ(shown[1].text, "Connection refused");
    EXPECT_EQ(tcp_->IsConnected(), 0);
    EXPECT_EQ(OpenDescriptors(), descriptors);

    // The failed attempts do not stand in the way of a good one.
    config_.SetInt(setting::portnum, listener_.port());
    EXPECT_EQ(tcp_->Open(&config_), 0);
}

TEST_F(TcpipTest, TransportRulesBeforeOpen) {
    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kNotConnected);
    EXPECT_EQ(tcp_->IsLinkUp(), 0);
    RecordingLayer other;
    EXPECT_EQ(tcp_->InsertBelow(&other), status::kTransportHasNoLower);
    EXPECT_EQ(tcp_->GetLower(), nullptr);
    EXPECT_EQ(other.GetUpper(), nullptr);
    tcp_->Close();  // closing what never opened is harmless
}

TEST_F(TcpipTest, CloseEndsABlockedReader) {
    const int peer = OpenAndAccept();
    loop_.RunFor(20ms);  // the reader is now waiting for data
    {
        Watchdog watchdog("Close with a blocked reader", 5s);
        tcp_->Close();
        tcp_->Close();
    }
    EXPECT_EQ(tcp_->IsConnected(), 0);
    EXPECT_TRUE(testing::SeesEndOfStream(peer));
    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kNotConnected);
    // The reader ended through Close: no last notification, and the pump reports the end.
    loop_.RunFor(50ms);
    EXPECT_EQ(notifications_.load(), 0);
    EXPECT_EQ(tcp_->Pump(), status::kReaderStopped);
}

TEST_F(TcpipTest, CloseWhileANotificationWaitsForTheUserInterface) {
    const int peer = OpenAndAccept();
    ASSERT_TRUE(testing::WriteAll(peer, "pending"));
    // The user-interface thread is busy (not running its loop): the reader sits in its
    // notification, waiting for it.
    for (int i = 0; i < 500 && notifications_.load() == 0; ++i)
        std::this_thread::sleep_for(2ms);
    ASSERT_EQ(notifications_.load(), 1);
    {
        Watchdog watchdog("Close with a notification in flight", 5s);
        tcp_->Close();
    }
    loop_.RunFor(50ms);
    EXPECT_TRUE(pumps_.empty()) << "a notification ran after Close";
    EXPECT_EQ(top_->Received(), "");
    EXPECT_TRUE(testing::SeesEndOfStream(peer));
}

TEST_F(TcpipTest, CloseFromInsideThePump) {
    // A protocol layer that gives up while handling received data closes the chain from inside
    // the pump, while the reader still waits for that very pump to finish.
    top_->on_receive = [this] { tcp_->Close(); };
    const int peer = OpenAndAccept();
    ASSERT_TRUE(testing::WriteAll(peer, "boom"));
    {
        Watchdog watchdog("Close inside the pump", 5s);
        EXPECT_TRUE(RunUntil([&] { return tcp_->IsConnected() == 0; }));
    }
    EXPECT_EQ(top_->Received().substr(0, 1), "b");
    EXPECT_TRUE(testing::SeesEndOfStream(peer));
}

TEST_F(TcpipTest, CloseFromAPumpWhileTheReaderWaitsForThePumpLock) {
    // Without a waiting notification the reader runs ahead and queues the next buffer; a pump
    // that closes the transport while the reader waits for the pump lock must still end it.
    config_.SetSessionCallback(&TcpipTest::CountOnly, this);
    const int peer = OpenAndAccept();
    ASSERT_TRUE(testing::WriteAll(peer, "first"));
    ASSERT_TRUE(RunUntil([&] { return notifications_.load() >= 1; }));
    top_->on_receive = [this, peer] {
        top_->on_receive = nullptr;
        // More data arrives while this pump holds the pump lock.
        testing::WriteAll(peer, "second");
        std::this_thread::sleep_for(200ms);
        tcp_->Close();
    };
    {
        Watchdog watchdog("Close while the reader waits for the pump lock", 5s);
        (void)tcp_->Pump();
    }
    EXPECT_EQ(tcp_->IsConnected(), 0);
    EXPECT_EQ(top_->Received(), "first");
}

// The peer's receive buffer kept small, so that the sender's side fills quickly.
void SmallReceiveBuffer(LoopbackListener& listener) {
    int size = 65536;
    setsockopt(listener.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int SendIn(IO_TCPIP* tcp, const std::string& data, std::size_t block = 65536) {
    for (std::size_t at = 0; at < data.size(); at += block) {
        const int n = static_cast<int>(std::min(block, data.size() - at));
        const int result = tcp->Send(reinterpret_cast<const std::uint8_t*>(data.data()) + at, n);
        if (result != 0) return result;
    }
    return 0;
}

TEST_F(TcpipTest, SendsNeverWaitForAPeerThatDoesNotRead) {
    SmallReceiveBuffer(listener_);
    const int peer = OpenAndAccept();
    // Far more than the socket buffers hold, sent from the user-interface thread.
    const std::string data = Pattern(12 << 20);
    {
        Watchdog watchdog("sending to a peer that reads nothing", 5s);
        ASSERT_EQ(SendIn(tcp_, data), 0);
    }
    EXPECT_GT(tcp_->SendBacklog(), 0u);
    EXPECT_EQ(top_->SendBacklog(), tcp_->SendBacklog());  // asked down the chain
    // Once the peer reads, everything arrives, in order.
    const std::string got = testing::ReadSome(peer, data.size(), 20000);
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
    // The writer thread counts a block as gone only after the system took it, which may be a
    // moment after the peer has read it.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (tcp_->SendBacklog() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(tcp_->SendBacklog(), 0u);
    EXPECT_EQ(tcp_->IsConnected(), 1);
}

TEST_F(TcpipTest, APeerThatLetsTooMuchPileUpIsDisconnectedWithTheReason) {
    SmallReceiveBuffer(listener_);
    ASSERT_GE(OpenAndAccept(), 0);  // and never reads
    tcp_->SetSendLimits(1 << 20, 60s);
    int result = SendIn(tcp_, Pattern(16 << 20));
    EXPECT_EQ(result, status::kSendFailed);
    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kSendFailed);
    // The session learns of the end, and why, whatever the debug setting.
    ASSERT_TRUE(
        RunUntil([&] { return !pumps_.empty() && pumps_.back() == status::kReaderStopped; }));
    EXPECT_NE(top_->Displayed().find("The remote host is not reading what is sent to it (more "
                                     "than 16 MiB are waiting); disconnecting\r\n"),
              std::string::npos);
    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kNotConnected);
}

TEST_F(TcpipTest, APeerThatReadsNothingForTooLongIsDisconnectedWithTheReason) {
    SmallReceiveBuffer(listener_);
    ASSERT_GE(OpenAndAccept(), 0);  // and never reads
    tcp_->SetSendLimits(IO_TCPIP::kMaxQueued, 300ms);
    ASSERT_EQ(SendIn(tcp_, Pattern(8 << 20)), 0);
    ASSERT_TRUE(
        RunUntil([&] { return !pumps_.empty() && pumps_.back() == status::kReaderStopped; }));
    EXPECT_NE(top_->Displayed().find("The remote host has not read anything sent to it for 60 "
                                     "seconds; disconnecting\r\n"),
              std::string::npos);
}

TEST_F(TcpipTest, FailedSendOnATransferThreadClosesTheTransport) {
    close_on_failure_ = false;  // let the transfer thread be the one that closes
    const int peer = OpenAndAccept();
    linger hard{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    Hangup(peer);  // a reset

    std::atomic<int> result{-1};
    std::thread transfer([&] {
        const std::string block(4096, 'q');
        int status = 0;
        for (int i = 0; i < 1000 && status == 0; ++i) {
            status = tcp_->Send(reinterpret_cast<const std::uint8_t*>(block.data()),
                                static_cast<int>(block.size()));
            std::this_thread::sleep_for(1ms);
        }
        result = status;
    });
    Watchdog watchdog("failed send", 10s);
    // Meanwhile the user-interface thread keeps pumping the reader's notifications.
    EXPECT_TRUE(RunUntil([&] { return result.load() != -1; }));
    transfer.join();
    EXPECT_EQ(result.load(), status::kSendFailed);
    EXPECT_EQ(tcp_->IsConnected(), 0);
    EXPECT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>("x"), 1), status::kNotConnected);
}

TEST_F(TcpipTest, ConcurrentSendsStayWhole) {
    const int peer = OpenAndAccept();
    constexpr int kMessages = 150;
    constexpr std::size_t kSize = 8192;
    std::string got;
    std::thread reader([&] { got = testing::ReadSome(peer, 2 * kMessages * kSize, 10000); });
    auto sender = [&](char letter) {
        const std::string message(kSize, letter);
        for (int i = 0; i < kMessages; ++i) {
            ASSERT_EQ(tcp_->Send(reinterpret_cast<const std::uint8_t*>(message.data()),
                                 static_cast<int>(message.size())),
                      0);
        }
    };
    std::thread a(sender, 'a');
    std::thread b(sender, 'b');
    a.join();
    b.join();
    reader.join();
    ASSERT_EQ(got.size(), 2 * kMessages * kSize);
    EXPECT_EQ(std::count(got.begin(), got.end(), 'a'), kMessages * static_cast<long>(kSize));
    for (std::size_t at = 0; at < got.size(); at += kSize) {
        std::string_view block(got.data() + at, kSize);
        ASSERT_EQ(block.find_first_not_of(block[0]), std::string_view::npos)
            << "two sends interleaved in the block at " << at;
    }
}

TEST_F(TcpipTest, NetworkRequestOnlyWhenEnabled) {
    EXPECT_EQ(tcp_->Open(&config_), 0);
    EXPECT_TRUE(tcp_->GetNetworkRequest().Destination().empty()) << "request made while off";
    tcp_->Close();

    Preferences::Instance().SetInt(pref::EnableICM, 1);
    Preferences::Instance().SetInt(pref::UseICMProxy, 1);
    auto second = std::make_unique<IO_TCPIP>();
    EXPECT_EQ(second->Open(&config_), 0);
    EXPECT_EQ(second->GetNetworkRequest().Destination(), u"tarnwick://127.0.0.1");
    EXPECT_EQ(second->GetNetworkRequest().UseProxy(), 1);
    EXPECT_EQ(second->GetNetworkRequest().IsConnected(), 1);
    EXPECT_EQ(second->GetNetworkRequest().IsPending(), 0);

    // The destination takes at most 1012 characters of the host name.
    auto third = std::make_unique<IO_TCPIP>();
    config_.SetNarrow(setting::hostname, std::string(2000, 'h').c_str());
    EXPECT_EQ(third->Open(&config_), status::kConnectFailed);
    EXPECT_EQ(third->GetNetworkRequest().Destination().size(), 11u + 1012u);
    Preferences::Instance().SetInt(pref::EnableICM, 0);
    Preferences::Instance().SetInt(pref::UseICMProxy, 0);
}

}  // namespace
}  // namespace tarnwick
