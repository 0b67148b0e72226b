// The TLS client against gnutls-serv (TLS 1.0, RSA, DES-CBC3-SHA, echo mode) with certificates
// made by the tests: each certificate case, each question of the server check answered both ways,
// the known-hosts fall-back, and bulk data both ways through real records.
#include <gtest/gtest.h>

#include <tuple>

#include "core/known_hosts.h"
#include "tls_client.h"
#include "tls_peers.h"

namespace tarnwick {
namespace {

using testing::GnutlsServer;
using testing::TlsClient;
using testing::TlsTestEnvironment;
using testing::TlsTestPki;

class GnutlsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pki_.ok()) << "openssl could not make the certificates"; }

    TlsTestPki& pki_ = testing::SharedTestPki();
};

// The narrowest server the client can agree with, its certificate signed by the authority: no
// question, and a megabyte of every byte value but NUL both ways through real records.
TEST_F(GnutlsTest, TheNarrowestServerAndAMegabyteOfBinaryDataBothWays) {
    GnutlsServer server(pki_.Pem("server"), pki_.key(), testing::kGnutlsNarrowPriority);
    ASSERT_TRUE(server.ok()) << server.log();
    TlsTestEnvironment env(pki_.ca_folder());
    TlsClient client(env.loop, "localhost", server.port());
    ASSERT_EQ(client.Open(), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Displayed() << server.log();
    EXPECT_EQ(client.ssl->CipherSuite(), kSuite3DesEdeCbcSha);
    EXPECT_TRUE(client.Echo(testing::EchoableData(1 << 20, 5)));
    EXPECT_TRUE(env.ui.shown().empty());
}

struct Question {
    const char* certificate;
    const char* caption;  // of the one question asked
};

class GnutlsQuestionTest : public GnutlsTest,
                           public ::testing::WithParamInterface<std::tuple<Question, bool>> {};

// Every certificate case of the server check against the real server, answered both ways.
TEST_P(GnutlsQuestionTest, AnswerDecides) {
    const auto [question, yes] = GetParam();
    GnutlsServer server(pki_.Pem(question.certificate), pki_.key());
    ASSERT_TRUE(server.ok()) << server.log();
    TlsTestEnvironment env(pki_.ca_folder());
    env.ui.QueueYesNo(yes);
    TlsClient client(env.loop, "localhost", server.port());
    ASSERT_EQ(client.Open(), 0);
    if (yes) {
        ASSERT_TRUE(client.WaitConnected()) << client.Displayed();
        EXPECT_TRUE(client.Echo("after a yes\r\n"));
    } else {
        EXPECT_TRUE(client.RunUntil([&] { return client.ended.load(); }));
        EXPECT_EQ(client.ssl->IsConnected(), 0);
    }
    ASSERT_EQ(env.ui.shown().size(), 1u);
    EXPECT_EQ(env.ui.shown()[0].caption, question.caption);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, GnutlsQuestionTest,
    ::testing::Combine(::testing::Values(Question{"selfsigned", "Warning"},
                                         Question{"expired", "SSL Certificate Expired"},
                                         Question{"other", "SSL Certificate"},
                                         Question{"wildcard", "SSL Certificate"}),
                       ::testing::Bool()));

TEST_F(GnutlsTest, ASelfSignedCertificateAcceptedOnceIsNotAskedAboutAgain) {
    GnutlsServer server(pki_.Pem("selfsigned"), pki_.key());
    ASSERT_TRUE(server.ok()) << server.log();
    TlsTestEnvironment env(pki_.ca_folder());
    env.ui.QueueYesNo(true);
    {
        TlsClient first(env.loop, "localhost", server.port());
        ASSERT_EQ(first.Open(), 0);
        ASSERT_TRUE(first.WaitConnected());
    }
    env.ui.Clear();
    TlsClient second(env.loop, "localhost", server.port());
    ASSERT_EQ(second.Open(), 0);
    ASSERT_TRUE(second.WaitConnected());
    EXPECT_TRUE(env.ui.shown().empty());
}

}  // namespace
}  // namespace tarnwick
