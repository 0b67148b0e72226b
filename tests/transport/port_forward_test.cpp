// The port-forward listener and worker with a stand-in for the session layer that records what
// they ask of it: the template, loopback-only listening, a port that is taken, the worker holding
// the local program until its chain is connected, the end of the local program, and a local
// program that stops reading.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "core/session_config.h"
#include "support/loopback_peer.h"
#include "support/recording_layer.h"
#include "transport/forwarded_sessions.h"
#include "transport/socket.h"
#include "transport/socket_listener.h"
#include "transport/socket_worker.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::RecordingLayer;

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return predicate();
}

// Records the requests and keeps the accepted sockets open until it goes.
class RecordingSessions : public ForwardedSessions {
  public:
    RecordingSessions() { previous_ = SetForwardedSessions(this); }
    ~RecordingSessions() override {
        SetForwardedSessions(previous_);
        for (const AcceptedConnection& c : accepted_)
            CloseSocket(c.socket);
    }
    bool OpenAccepted(IO_SocketListener*, AcceptedConnection connection) override {
        std::lock_guard<std::mutex> guard(mutex_);
        accepted_.push_back(std::move(connection));
        return keep_accepting;
    }
    void DisconnectOwner(IO* layer) override {
        std::lock_guard<std::mutex> guard(mutex_);
        disconnected_.push_back(layer);
    }
    void Show(IO*, const std::string& text) override {
        std::lock_guard<std::mutex> guard(mutex_);
        shown_ += text;
    }
    std::vector<AcceptedConnection> accepted() {
        std::lock_guard<std::mutex> guard(mutex_);
        return accepted_;
    }
    std::vector<IO*> disconnected() {
        std::lock_guard<std::mutex> guard(mutex_);
        return disconnected_;
    }
    std::string shown() {
        std::lock_guard<std::mutex> guard(mutex_);
        return shown_;
    }

    bool keep_accepting = true;

  private:
    std::mutex mutex_;
    std::vector<AcceptedConnection> accepted_;
    std::vector<IO*> disconnected_;
    std::string shown_;
    ForwardedSessions* previous_ = nullptr;
};

// A listener below a stand-in terminal, with the pattern chain SSL, TCP/IP below it.
class ListenerTest : public ::testing::Test {
  protected:
    void Build(int port) {
        config_.SetInt(setting::portnum_listener, port);
        terminal_ = new RecordingLayer(kLayerVT, "VT");
        listener_ = new IO_SocketListener();
        chain_.reset(terminal_);
        auto* ssl = new RecordingLayer(kLayerSSL, "SSL");
        auto* tcp = new RecordingLayer(kLayerTCPIP, "TCP/IP");
        ssl->CountDestructionIn(&destroyed_);
        tcp->CountDestructionIn(&destroyed_);
        ASSERT_EQ(ssl->InsertBelow(tcp), 0);
        ASSERT_EQ(listener_->InsertBelow(ssl), 0);
        ASSERT_EQ(terminal_->InsertBelow(listener_), 0);
    }

    RecordingSessions sessions_;
    SessionConfig config_;
    std::unique_ptr<IO> chain_;
    RecordingLayer* terminal_ = nullptr;
    IO_SocketListener* listener_ = nullptr;
    int destroyed_ = 0;
};

TEST_F(ListenerTest, RecordsTheTemplateAndAcceptsOnBothLoopbackAddresses) {
    Build(0);
    ASSERT_EQ(listener_->Open(&config_), 0);
    EXPECT_EQ(listener_->Template(), (std::vector<int>{7, 12, 6, 1}));
    EXPECT_EQ(destroyed_, 2);  // the pattern layers are gone
    EXPECT_EQ(listener_->GetLower(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return listener_->ListeningPort() != 0; }));
    EXPECT_EQ(listener_->IsLinkUp(), 1);
    EXPECT_EQ(listener_->IsConnected(), 0);
    const int port = listener_->ListeningPort();

    const int a = testing::ConnectLoopback(port);
    ASSERT_GE(a, 0);
    ASSERT_TRUE(WaitFor([&] { return sessions_.accepted().size() == 1; }));
    const int b = testing::ConnectLoopback(port, AF_INET6);
    if (b >= 0) {
        ASSERT_TRUE(WaitFor([&] { return sessions_.accepted().size() == 2; }));
    }
    const auto accepted = sessions_.accepted();
    EXPECT_EQ(accepted[0].layer_template, (std::vector<int>{7, 12, 6, 1}));
    EXPECT_EQ(accepted[0].title.rfind("SSL: ", 0), 0u) << accepted[0].title;
    close(a);
    if (b >= 0) close(b);
    listener_->Close();
    EXPECT_EQ(listener_->IsLinkUp(), 0);
    EXPECT_LT(testing::ConnectLoopback(port), 0);
    EXPECT_TRUE(sessions_.disconnected().empty());  // a stop asked for is no failure
}

TEST_F(ListenerTest, NothingListensOnTheMachinesOtherAddresses) {
    Build(0);
    ASSERT_EQ(listener_->Open(&config_), 0);
    ASSERT_TRUE(WaitFor([&] { return listener_->ListeningPort() != 0; }));
    ifaddrs* interfaces = nullptr;
    ASSERT_EQ(getifaddrs(&interfaces), 0);
    int tried = 0;
    for (ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in address = *reinterpret_cast<sockaddr_in*>(i->ifa_addr);
        if ((ntohl(address.sin_addr.s_addr) >> 24) == 127) continue;
        address.sin_port = htons(static_cast<std::uint16_t>(listener_->ListeningPort()));
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
        ++tried;
    }
    freeifaddrs(interfaces);
    if (tried == 0) GTEST_LOG_(INFO) << "this machine has no address besides loopback";
    EXPECT_TRUE(sessions_.accepted().empty());
}

TEST_F(ListenerTest, APortInUseEndsTheListenerAndItsSession) {
    testing::LoopbackListener taken;
    Build(taken.port());
    ASSERT_EQ(listener_->Open(&config_), 0);
    ASSERT_TRUE(WaitFor([&] { return !sessions_.disconnected().empty(); }));
    EXPECT_EQ(sessions_.disconnected()[0], listener_);
    EXPECT_EQ(sessions_.shown(), "Unable to listen on port " + std::to_string(taken.port()) +
                                     ": Address already in use\r\n");
    EXPECT_TRUE(WaitFor([&] { return listener_->IsLinkUp() == 0; }));
}

TEST_F(ListenerTest, AChainThatCannotBeBuiltStopsTheListener) {
    sessions_.keep_accepting = false;
    Build(0);
    ASSERT_EQ(listener_->Open(&config_), 0);
    ASSERT_TRUE(WaitFor([&] { return listener_->ListeningPort() != 0; }));
    const int a = testing::ConnectLoopback(listener_->ListeningPort());
    ASSERT_TRUE(WaitFor([&] { return sessions_.disconnected().size() == 1; }));
    close(a);
}

// A worker on one end of a connected pair; the test plays the local program on the other end.
class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        program_ = pair[0];
        worker_ = new IO_SocketWorker(pair[1]);
        terminal_ = new RecordingLayer(kLayerVT, "VT");
        chain_below_ = new RecordingLayer(kLayerSSL, "SSL");
        chain_below_->connected = 0;
        chain_.reset(terminal_);
        ASSERT_EQ(worker_->InsertBelow(chain_below_), 0);
        ASSERT_EQ(terminal_->InsertBelow(worker_), 0);
    }
    void TearDown() override {
        chain_.reset();
        if (program_ >= 0) close(program_);
    }

    RecordingSessions sessions_;
    SessionConfig config_;
    std::unique_ptr<IO> chain_;
    RecordingLayer* terminal_ = nullptr;
    IO_SocketWorker* worker_ = nullptr;
    RecordingLayer* chain_below_ = nullptr;
    int program_ = -1;
};

TEST_F(WorkerTest, TheProgramsBytesWaitUntilTheChainIsConnected) {
    ASSERT_EQ(worker_->Open(&config_), 0);
    EXPECT_EQ(terminal_->Displayed(), "Connecting new session\r\n");
    EXPECT_EQ(chain_below_->opens, 1);
    ASSERT_TRUE(testing::WriteAll(program_, "early"));
    // Not carried while the chain below is still shaking hands.
    EXPECT_FALSE(WaitFor([&] { return !chain_below_->Sent().empty(); }, 200ms));
    EXPECT_EQ(worker_->IsConnected(), 0);
    chain_below_->connected = 1;
    ASSERT_TRUE(WaitFor([&] { return chain_below_->Sent() == "early"; }));
    EXPECT_EQ(worker_->IsConnected(), 1);
    // The other way: what comes up the chain goes to the program.
    ASSERT_EQ(worker_->Receive(reinterpret_cast<const std::uint8_t*>("reply"), 5), 0);
    EXPECT_EQ(testing::ReadSome(program_, 5), "reply");
}

TEST_F(WorkerTest, TheProgramClosingEndsTheSessionOnce) {
    chain_below_->connected = 1;
    ASSERT_EQ(worker_->Open(&config_), 0);
    close(program_);
    program_ = -1;
    ASSERT_TRUE(WaitFor([&] { return sessions_.disconnected().size() == 1; }));
    EXPECT_EQ(sessions_.disconnected()[0], worker_);
    worker_->Close();
    EXPECT_EQ(sessions_.disconnected().size(), 1u);
    EXPECT_EQ(worker_->IsConnected(), 0);
    EXPECT_EQ(worker_->Receive(reinterpret_cast<const std::uint8_t*>("x"), 1),
              status::kNotConnected);
}

TEST_F(WorkerTest, AFailedSendDownTheChainEndsTheSession) {
    chain_below_->connected = 1;
    chain_below_->send_result = status::kSendFailed;
    ASSERT_EQ(worker_->Open(&config_), 0);
    ASSERT_TRUE(testing::WriteAll(program_, "data"));
    ASSERT_TRUE(WaitFor([&] { return sessions_.disconnected().size() == 1; }));
}

TEST_F(WorkerTest, CloseEndsTheConnectionWithoutAskingForADisconnect) {
    ASSERT_EQ(worker_->Open(&config_), 0);
    worker_->Close();
    EXPECT_EQ(chain_below_->closes, 1);
    EXPECT_TRUE(testing::SeesEndOfStream(program_));
    EXPECT_TRUE(sessions_.disconnected().empty());
}

TEST_F(WorkerTest, AProgramThatStopsReadingEndsItsSessionInsteadOfTheUserInterface) {
    ASSERT_EQ(worker_->Open(&config_), 0);
    worker_->SetStallLimit(300ms);
    const std::string block(64 * 1024, 'z');
    int result = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000 && result == 0; ++i)
        result = worker_->Receive(reinterpret_cast<const std::uint8_t*>(block.data()),
                                  static_cast<int>(block.size()));
    EXPECT_EQ(result, status::kSendFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(terminal_->Displayed(),
              "Connecting new session\r\nThe local program has stopped reading; disconnecting\r\n");
}

TEST_F(WorkerTest, AChainThatFailsToOpenStartsNoReader) {
    chain_below_->open_lower = false;
    chain_below_->open_result = status::kConnectFailed;
    EXPECT_EQ(worker_->Open(&config_), status::kConnectFailed);
    ASSERT_TRUE(testing::WriteAll(program_, "data"));
    worker_->Close();
    EXPECT_TRUE(chain_below_->Sent().empty());
}

}  // namespace
}  // namespace tarnwick
