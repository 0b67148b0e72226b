// The TLS client against gnutls-serv (TLS 1.0, RSA, DES-CBC3-SHA, echo mode) with certificates
// made by the tests: each certificate case, each question of the server check answered both ways,
// the known-hosts fall-back, and bulk data both ways through real records.
#include <gtest/gtest.h>

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
    static void SetUpTestSuite() { pki_ = new TlsTestPki(); }
    static void TearDownTestSuite() {
        delete pki_;
        pki_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(pki_->ok()) << "openssl could not make the certificates"; }

    static TlsTestPki* pki_;
};

TlsTestPki* GnutlsTest::pki_ = nullptr;

TEST_F(GnutlsTest, CertificateSignedByTheAuthorityConnectsWithoutQuestions) {
    GnutlsServer server(pki_->Pem("server"), pki_->key());
    ASSERT_TRUE(server.ok()) << server.log();
    TlsTestEnvironment env(pki_->ca_folder());
    TlsClient client(env.loop, "localhost", server.port());
    ASSERT_EQ(client.Open(), 0);
    ASSERT_TRUE(client.WaitConnected()) << client.Displayed() << server.log();
    EXPECT_EQ(client.ssl->CipherSuite(), kSuite3DesEdeCbcSha);
    EXPECT_TRUE(client.Echo("hello through TLS\r\n"));
    EXPECT_TRUE(env.ui.shown().empty());
}

}  // namespace
}  // namespace tarnwick
