// IO_SSL against the in-memory server: the handshake of both suites however the server packs and
// splits it, the order the handshake must follow, the Finished check, record integrity after the
// ChangeCipherSpec, alerts, and the data held until the handshake is complete.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "crypto/wire.h"
#include "ssl_test_fixture.h"

namespace tarnwick::testing {
namespace {

constexpr const char* kBadMac = "Corrupted hash from server\r\n";

TEST_F(SslLayerTest, ClientHelloOffersTls10TheTwoDesSuitesAndNullCompression) {
    Build(ServerOptions());
    ASSERT_EQ(top_->Open(&config_), 0);
    const std::string hello = server_->client_hello();
    ASSERT_EQ(hello.size(), 4u + 43u);
    EXPECT_EQ(hello.substr(0, 6), std::string("\x01\x00\x00\x2b\x03\x01", 6));
    EXPECT_EQ(hello.substr(38), std::string("\x00\x00\x04\x00\x09\x00\x0a\x01\x00", 9));
    EXPECT_EQ(ssl_->IsConnected(), 0);
    EXPECT_EQ(ssl_->IsLinkUp(), 1);  // the transport is
}

// Every suite, however the server's first flight is packed and however its bytes arrive.
class SslHandshakeShapes
    : public SslLayerTest,
      public ::testing::WithParamInterface<
          std::tuple<std::uint16_t, TlsTestServer::Packing, std::size_t, std::size_t>> {};

TEST_P(SslHandshakeShapes, CompletesAndCarriesDataBothWays) {
    const auto [suite, packing, fragment, piece] = GetParam();
    TlsTestServer::Options options = ServerOptions();
    options.suite = suite;
    options.packing = packing;
    options.fragment_size = fragment;
    Build(options);
    ASSERT_EQ(Handshake(piece), 0) << Shown();
    ASSERT_EQ(ssl_->IsConnected(), 1) << Shown();
    EXPECT_TRUE(server_->client_finished_ok());
    EXPECT_EQ(ssl_->CipherSuite(), suite);
    EXPECT_TRUE(ui_.shown().empty());
    ASSERT_EQ(Type("ping"), 0);
    EXPECT_EQ(server_->received(), "ping");
    ASSERT_EQ(Exchange(piece), 0);
    EXPECT_EQ(top_->Received(), "ping");
}

INSTANTIATE_TEST_SUITE_P(
    Suites, SslHandshakeShapes,
    ::testing::Values(
        std::make_tuple(kSuiteDesCbcSha, TlsTestServer::Packing::kRecordPerMessage, 0, 0),
        std::make_tuple(kSuite3DesEdeCbcSha, TlsTestServer::Packing::kRecordPerMessage, 0, 0),
        std::make_tuple(kSuite3DesEdeCbcSha, TlsTestServer::Packing::kOneRecord, 0, 0),
        std::make_tuple(kSuiteDesCbcSha, TlsTestServer::Packing::kOneRecord, 0, 1),
        std::make_tuple(kSuite3DesEdeCbcSha, TlsTestServer::Packing::kFragments, 1, 0),
        std::make_tuple(kSuite3DesEdeCbcSha, TlsTestServer::Packing::kFragments, 7, 3),
        std::make_tuple(kSuiteDesCbcSha, TlsTestServer::Packing::kFragments, 100, 1)));

TEST_F(SslLayerTest, DataSentBeforeTheHandshakeEndsIsHeldAndSentFirst) {
    Build(ServerOptions());
    ASSERT_EQ(top_->Open(&config_), 0);
    ASSERT_EQ(Type("early "), 0);
    ASSERT_EQ(server_->Deliver(), 0);  // the server's flight: the client answers with its own
    ASSERT_EQ(Type("bytes "), 0);
    EXPECT_EQ(server_->received(), "");  // nothing before the handshake is done
    ASSERT_EQ(Exchange(), 0);
    ASSERT_EQ(ssl_->IsConnected(), 1);
    ASSERT_EQ(Type("later"), 0);
    EXPECT_EQ(server_->received(), "early bytes later");
}

TEST_F(SslLayerTest, HeldDataIsBounded) {
    Build(ServerOptions());
    ASSERT_EQ(top_->Open(&config_), 0);
    ASSERT_EQ(Type(std::string(IO_SSL::kMaxHeldBytes, 'a')), 0);
    EXPECT_EQ(Type("b"), status::kOutOfMemory);
}

// ---- Alerts -------------------------------------------------------------------------------

TEST_F(SslLayerTest, AnAlertIsShownWithItsTextAndEndsTheConnection) {
    const std::pair<int, const char*> alerts[] = {
        {0, "The server is closing the connection\r\n"},
        {40, "Handshake failure\r\n"},
        {7, "The server returned an unknown error code (7)\r\n"},
    };
    for (const auto& [description, text] : alerts) {
        Build(ServerOptions());
        ASSERT_EQ(Handshake(), 0);
        server_->SendAlert(1, static_cast<std::uint8_t>(description));
        EXPECT_EQ(server_->Deliver(), status::kNotConnected);
        EXPECT_EQ(Shown(), std::string("ALERT: ") + text + "Alert is fatal; terminating\r\n");
        EXPECT_EQ(ssl_->IsConnected(), 0);
        EXPECT_TRUE(server_->closed());
    }
}

TEST_F(SslLayerTest, AnAlertDuringTheHandshakeShowsItsLevelInDebugMode) {
    config_.SetInt(setting::debug, 1);
    Build(ServerOptions());
    ASSERT_EQ(top_->Open(&config_), 0);
    server_->SendRaw(std::string("\x15\x03\x01\x00\x02\x02\x28", 7));  // fatal handshake failure
    server_->Deliver();  // the flight first, then the alert
    EXPECT_TRUE(ShowsText("Level code 2.\r\nALERT: Handshake failure\r\nAlert is fatal"))
        << Shown();
}

// ---- Integrity ----------------------------------------------------------------------------

// A flipped bit in the first or last byte of a protected record's body ends the connection with
// the bad-MAC message, whatever ssl_checkmac says. (The record layer's own test flips every bit.)
TEST_F(SslLayerTest, AFlippedBitInAnyProtectedRecordEndsTheConnection) {
    for (int checkmac : {1, 0}) {
        for (std::uint8_t type : {kSSLApplicationData, kSSLAlert, kSSLHandshake}) {
            // The alert's record is 29 bytes long, the others 37.
            for (std::size_t offset : {5u, type == kSSLAlert ? 28u : 36u}) {
                config_.SetInt(setting::ssl_checkmac, checkmac);
                Build(ServerOptions());
                ASSERT_EQ(Handshake(), 0);
                server_->SendRecord(type, type == kSSLAlert ? std::string("\x01\x00", 2)
                                                            : std::string("some data"));
                ASSERT_EQ(server_->Waiting(), type == kSSLAlert ? 29u : 37u);
                server_->FlipWaitingByte(offset);
                EXPECT_EQ(server_->Deliver(), status::kNotConnected);
                EXPECT_EQ(Shown(), kBadMac) << int(type) << " at " << offset;
                EXPECT_EQ(top_->Received(), "");
                EXPECT_EQ(server_->client_alert(), 0x0200 | kAlertBadRecordMac);
            }
        }
    }
}

TEST_F(SslLayerTest, TheServersFinishedIsCheckedAsAProtectedRecord) {
    Build(ServerOptions());
    ASSERT_EQ(top_->Open(&config_), 0);
    ASSERT_EQ(server_->Deliver(), 0);
    // What waits now is the server's ChangeCipherSpec (6 bytes) and its encrypted Finished.
    server_->FlipWaitingByte(6 + 5 + 2);
    EXPECT_EQ(server_->Deliver(), status::kNotConnected);
    EXPECT_EQ(Shown(), kBadMac);
}

TEST_F(SslLayerTest, ABadPaddingLooksLikeABadMac) {
    for (std::uint16_t suite : {kSuiteDesCbcSha, kSuite3DesEdeCbcSha}) {
        TlsTestServer::Options options = ServerOptions();
        options.suite = suite;
        Build(options);
        ASSERT_EQ(Handshake(), 0);
        server_->SendBadPaddingRecord("padded wrongly");
        EXPECT_EQ(server_->Deliver(), status::kNotConnected);
        EXPECT_EQ(Shown(), kBadMac);
        EXPECT_EQ(top_->Received(), "");
    }
}

TEST_F(SslLayerTest, AReplayedRecordFailsItsSequenceNumber) {
    Build(ServerOptions());
    ASSERT_EQ(Handshake(), 0);
    server_->SendApplicationData("once");
    const std::string record = server_->WaitingBytes();
    ASSERT_EQ(server_->Deliver(), 0);
    // The same bytes again: the MAC covers the sequence number, which has moved on.
    server_->SendRaw(record);
    EXPECT_EQ(server_->Deliver(), status::kNotConnected);
    EXPECT_EQ(top_->Received(), "once");
    EXPECT_EQ(Shown(), kBadMac);
}

TEST_F(SslLayerTest, AWrongFinishedEndsTheConnection) {
    TlsTestServer::Options options = ServerOptions();
    options.corrupt_finished = true;
    Build(options);
    EXPECT_EQ(Handshake(), status::kNotConnected);
    EXPECT_EQ(Shown(),
              "The server's Finished message does not match the handshake; disconnecting\r\n");
    EXPECT_EQ(ssl_->IsConnected(), 0);
    EXPECT_EQ(server_->client_alert(), 0x0200 | kAlertDecryptError);
}

// ---- The order of the handshake -----------------------------------------------------------

// A server flight out of order, with a message this version cannot answer, or choosing what was
// not offered: the handshake ends with the reason and, where one fits, the alert.
TEST_F(SslLayerTest, AFlightThatBreaksTheHandshakeEndsTheConnection) {
    using Options = TlsTestServer::Options;
    const struct {
        std::function<void(Options&)> change;
        std::string shown;
        int alert;  // 0: not checked
    } cases[] = {
        {[](Options& o) { o.certificate_first = true; },
         "The server sent a Certificate message where a Server hello message was expected; "
         "disconnecting\r\n",
         kAlertUnexpectedMessage},
        {[](Options& o) { o.before_done = {HandshakeMessage(kServerKeyExchange, "parameters")}; },
         "The server sent a Server key exchange message where a Server hello done message was "
         "expected; disconnecting\r\n",
         0},
        {[](Options& o) {
             o.before_done = {
                 HandshakeMessage(kCertificateRequest, std::string("\x01\x01\x00\x00", 4))};
         },
         "The server asks for a client certificate, which this version cannot send; "
         "disconnecting\r\n",
         0},
        {[](Options& o) { o.before_done = {HandshakeMessage(99, "")}; },
         "The server sent a message of unknown type 99 where a Server hello done message was "
         "expected; disconnecting\r\n",
         0},
        {[](Options& o) { o.version_minor = 0; },
         "The server chose protocol version 3.0; this version speaks only TLS 1.0 (3.1); "
         "disconnecting\r\n",
         kAlertProtocolVersion},
        {[](Options& o) { o.suite = 0x0005; },
         "The server chose cipher suite 0x0005, which was not offered; disconnecting\r\n", 0},
    };
    for (const auto& c : cases) {
        Options options = ServerOptions();
        c.change(options);
        Build(options);
        EXPECT_EQ(Handshake(), status::kNotConnected);
        EXPECT_EQ(Shown(), c.shown);
        if (c.alert != 0) {
            EXPECT_EQ(server_->client_alert(), 0x0200 | c.alert);
        }
    }
}

TEST_F(SslLayerTest, AHelloRequestIsIgnored) {
    Build(ServerOptions());
    ASSERT_EQ(Handshake(), 0);
    server_->SendRecord(kSSLHandshake, HandshakeMessage(kHelloRequest, ""));
    server_->SendApplicationData("still here");
    EXPECT_EQ(server_->Deliver(), 0);
    EXPECT_EQ(top_->Received(), "still here");
}

// Records that cannot come where they do end the connection at once, with the reason.
TEST_F(SslLayerTest, ARecordOutOfTurnOrNotTlsEndsTheConnection) {
    const struct {
        std::string bytes;
        bool before_flight;  // ahead of the server's first flight, else after it
        const char* shown;
    } cases[] = {
        {std::string("\x17\x03\x01\x00\x03", 5) + "abc", false,
         "The server sent data before the handshake was complete; disconnecting\r\n"},
        {std::string("\x14\x03\x01\x00\x01\x01", 6), true,
         "The server sent a ChangeCipherSpec out of turn; disconnecting\r\n"},
        {"SSH-2.0-OpenSSH_9.2\r\n", false,
         "The server sent something that is not a TLS record; disconnecting\r\n"},
        {std::string("\x16\x03\x01\x40\x01", 5), false,  // 16 385 bytes of plaintext
         "The server sent a record longer than TLS allows; disconnecting\r\n"},
    };
    for (const auto& c : cases) {
        Build(ServerOptions());
        ASSERT_EQ(top_->Open(&config_), 0);
        const std::string flight = server_->TakeWaiting();
        server_->SendRaw(c.before_flight ? c.bytes + flight : flight + c.bytes);
        EXPECT_EQ(server_->Deliver(), status::kNotConnected);
        EXPECT_EQ(Shown(), c.shown);
    }
}

TEST_F(SslLayerTest, ASendAfterTheEndIsRefused) {
    Build(ServerOptions());
    ASSERT_EQ(Handshake(), 0);
    ssl_->Close();
    EXPECT_EQ(Type("late"), status::kNotConnected);
    EXPECT_EQ(ssl_->IsLinkUp(), 0);
}

}  // namespace
}  // namespace tarnwick::testing
