// The server check during the handshake: each question answered both ways, the authority found in
// the certificate folder or not, the known-hosts fall-back and its memory, and certificates this
// version refuses with a reason.
#include <gtest/gtest.h>

#include "core/known_hosts.h"
#include "ssl/certificate.h"
#include "ssl_test_fixture.h"

namespace tarnwick::testing {
namespace {

class ServerCheckTest : public SslLayerTest {
  protected:
    // Connects to a server presenting the certificate; the result of the handshake.
    int ConnectWith(const std::string& certificate, const std::string& host = "localhost") {
        config_.SetNarrow(setting::hostname, host.c_str());
        Build(ServerOptions(certificate));
        return Handshake();
    }
    std::vector<ScriptedUi::Shown> Questions() { return ui_.shown(); }
};

// A certificate for another name or an expired one: the user is asked, and "no" ends the
// handshake without further explanation. (That "yes" connects is proven against gnutls-serv.)
TEST_F(ServerCheckTest, ANameMismatchOrAnExpiryIsAskedAbout) {
    const struct {
        const char* certificate;
        const char* caption;
        const char* question;
    } cases[] = {
        {"other", "SSL Certificate",
         "You asked to connect to 'localhost', but the certificate is for 'other.example'. Do "
         "you want to continue?"},
        {"expired", "SSL Certificate Expired",
         "The certificate for 'localhost' has expired. Do you want to continue?"},
    };
    for (const auto& c : cases) {
        ui_.Clear();
        ui_.QueueYesNo(false);
        EXPECT_EQ(ConnectWith(c.certificate), status::kNotConnected);
        ASSERT_EQ(Questions().size(), 1u);
        EXPECT_EQ(Questions()[0].caption, c.caption);
        EXPECT_EQ(Questions()[0].text, c.question);
        EXPECT_EQ(Shown(), "");
        EXPECT_EQ(server_->client_alert(), 0x0200 | kAlertCertificateUnknown);
    }
}

TEST_F(ServerCheckTest, ASelfSignedCertificateGoesToKnownHostsAndIsRememberedOnce) {
    ui_.QueueYesNo(false);
    EXPECT_EQ(ConnectWith("selfsigned"), status::kNotConnected);
    ASSERT_EQ(Questions().size(), 1u);
    EXPECT_EQ(Questions()[0].caption, "Warning");
    const std::string der = Pki().Der("selfsigned");
    const std::string fingerprint =
        Fingerprint(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
    EXPECT_NE(Questions()[0].text.find(fingerprint.substr(24)), std::string::npos);

    ui_.Clear();
    ui_.QueueYesNo(true);
    EXPECT_EQ(ConnectWith("selfsigned"), 0);
    EXPECT_EQ(Questions().size(), 1u);
    // The second connection to the host asks nothing.
    ui_.Clear();
    EXPECT_EQ(ConnectWith("selfsigned"), 0);
    EXPECT_EQ(ssl_->IsConnected(), 1);
    EXPECT_TRUE(Questions().empty());
    // Another unverified certificate for the same host is a changed key: rejected here.
    ui_.QueueHostKey(HostKeyChoice::kReject);
    SetCaFolder(isolated_.path());  // without its authority the signed certificate is unverified
    EXPECT_EQ(ConnectWith("server"), status::kNotConnected);
    ASSERT_EQ(ui_.CountOf(ScriptedUi::Kind::kHostKey), 1);
}

TEST_F(ServerCheckTest, WithoutItsAuthorityASignedCertificateFallsBackToKnownHosts) {
    SetCaFolder(isolated_.path());
    ui_.QueueYesNo(true);
    EXPECT_EQ(ConnectWith("server"), 0);
    ASSERT_EQ(Questions().size(), 1u);
    EXPECT_EQ(Questions()[0].caption, "Warning");
}

TEST_F(ServerCheckTest, AnImpostorAuthorityWithTheSameNameVerifiesNothing) {
    TempDir impostor;
    ASSERT_EQ(RunQuietly("openssl req -config " + Pki().dir() +
                         "/req.cnf -x509 -newkey rsa:1024 -nodes -sha1 -days 3 -keyout " +
                         impostor.File("k") + " -out " + impostor.File("ca.pem") +
                         " -subj '/C=NL/O=Tarnwick Test/CN=Tarnwick Test CA'"),
              0);
    SetCaFolder(impostor.path());
    config_.SetInt(setting::debug, 1);
    ui_.QueueYesNo(false);
    EXPECT_EQ(ConnectWith("server"), status::kNotConnected);
    EXPECT_TRUE(
        ShowsText("Found appropriate root CA; validating\r\n"
                  "Certificate RSA signature is invalid.\r\n"))
        << Shown();
    EXPECT_EQ(ui_.CountOf(ScriptedUi::Kind::kYesNo), 1);  // the known-hosts question
}

TEST_F(ServerCheckTest, AWildcardStandsForOneLabelOnly) {
    EXPECT_EQ(ConnectWith("wildcard", "www.tarnwick.test"), 0);
    EXPECT_TRUE(Questions().empty());
    ui_.QueueYesNo(false);
    EXPECT_EQ(ConnectWith("wildcard", "a.b.tarnwick.test"), status::kNotConnected);
    ASSERT_EQ(Questions().size(), 1u);
    EXPECT_EQ(Questions()[0].text,
              "You asked to connect to 'a.b.tarnwick.test', but the certificate is for "
              "'*.tarnwick.test'. Do you want to continue?");
}

TEST_F(ServerCheckTest, CertificatesThisVersionCannotReadAreRefusedWithTheReason) {
    EXPECT_EQ(ConnectWith("utf8"), status::kNotConnected);
    EXPECT_EQ(Shown(),
              "The server's certificate uses UTF8String names, which this version cannot read; "
              "disconnecting.\r\n");
    EXPECT_EQ(server_->client_alert(), 0x0200 | kAlertUnsupportedCertificate);
    EXPECT_EQ(ConnectWith("sha256"), status::kNotConnected);
    EXPECT_EQ(Shown(),
              "The server's certificate uses a SHA-256 signature, which this version cannot read; "
              "disconnecting.\r\n");
    EXPECT_TRUE(Questions().empty());
}

TEST_F(ServerCheckTest, AChainAfterTheServersCertificateIsPassedOver) {
    TlsTestServer::Options options = ServerOptions("server");
    options.chain = {Pki().Der("selfsigned"), std::string("not a certificate")};
    Build(options);
    EXPECT_EQ(Handshake(), 0);
    EXPECT_EQ(ssl_->IsConnected(), 1);
}

}  // namespace
}  // namespace tarnwick::testing
