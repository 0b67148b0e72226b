// Certificates made by openssl as the parser reads them, files in PEM and DER, the search for an
// authority in a folder, the host-name rule with its wildcards, and malformed certificates.
#include "ssl/certificate.h"

#include <gtest/gtest.h>

#include <fstream>

#include "interop/tls_peers.h"
#include "ssl/certificate_check.h"
#include "support/test_util.h"

namespace tarnwick::testing {
namespace {

TlsTestPki& Pki() {
    static TlsTestPki pki;
    return pki;
}

Certificate ParseNamed(const std::string& name, int* result) {
    Certificate certificate;
    const std::string der = Pki().Der(name);
    *result = certificate.Parse(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
    return certificate;
}

std::string OpenSslField(const std::string& name, const std::string& option) {
    std::string out = RunCommand("openssl x509 -noout " + option + " -in " + Pki().Pem(name));
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

TEST(CertificateTest, ReadsNamesValidityKeyAndSignatureAsOpenSslSeesThem) {
    ASSERT_TRUE(Pki().ok());
    for (const std::string name : {"server", "selfsigned", "wildcard"}) {
        int result = -1;
        const Certificate certificate = ParseNamed(name, &result);
        ASSERT_EQ(result, 0) << name << ": " << certificate.Problem();
        // "Modulus=ABCD..." in upper-case hex.
        std::string modulus = OpenSslField(name, "-modulus").substr(8);
        for (char& c : modulus)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(certificate.modulus.ToHex(), modulus) << name;
        EXPECT_EQ(certificate.exponent.ToDecimal(), "65537");
        EXPECT_EQ(certificate.signature_algorithm, "1.2.840.113549.1.1.5");
        EXPECT_EQ(certificate.not_after - certificate.not_before, 30 * 86400) << name;
        EXPECT_EQ(certificate.signature.ByteLength(), 128u);
    }
    int result = -1;
    const Certificate server = ParseNamed("server", &result);
    EXPECT_EQ(server.SubjectText(), "C=NL, ST=, L=, O=Tarnwick Test, OU=, CN=localhost");
    EXPECT_EQ(server.IssuerText(), "C=NL, ST=, L=, O=Tarnwick Test, OU=, CN=Tarnwick Test CA");
    // The signed part is the TBSCertificate as it stands in the file.
    const std::string der = Pki().Der("server");
    const BerBytes signed_part = server.SignedPart();
    EXPECT_EQ(der.substr(4, signed_part.size()),
              std::string(reinterpret_cast<const char*>(signed_part.data()), signed_part.size()));
}

TEST(CertificateTest, RefusalsNameWhatThisVersionCannotRead) {
    // An elliptic-curve key signed by the authority with SHA-1 (names and signatures this
    // version cannot read are refused in the server check's tests).
    TempDir dir;
    ASSERT_EQ(
        RunQuietly("openssl ecparam -name prime256v1 -genkey -noout -out " + dir.File("ec.key")),
        0);
    ASSERT_EQ(RunQuietly("openssl req -config " + Pki().dir() + "/req.cnf -new -key " +
                         dir.File("ec.key") + " -out " + dir.File("ec.csr") + " -subj '/CN=ec'"),
              0);
    ASSERT_EQ(RunQuietly("openssl x509 -req -in " + dir.File("ec.csr") + " -CA " +
                         Pki().ca_folder() + "/ca.pem -CAkey " + Pki().ca_key() +
                         " -set_serial 99 -sha1 -days 1 -outform DER -out " + dir.File("ec.der")),
              0);
    Certificate ec;
    EXPECT_EQ(ec.LoadFile(dir.File("ec.der")), Certificate::kLoadFailed);
    EXPECT_EQ(ec.Problem(), "has an elliptic-curve key, which this version cannot use");
}

TEST(CertificateTest, PemAndDerFilesOfTheSameAuthorityAreBothFound) {
    TempDir folder;
    const std::string issuer = "C=NL, ST=, L=, O=Tarnwick Test, OU=, CN=Tarnwick Test CA";
    WriteFile(folder.File(".hidden.pem"), SlurpFile(Pki().ca_folder() + "/ca.pem"));
    WriteFile(folder.File("a-junk.txt"), "not a certificate");
    std::filesystem::create_directories(folder.File("b-subfolder"));
    WriteFile(folder.File("c-other.pem"), SlurpFile(Pki().Pem("selfsigned")));
    Certificate found;
    EXPECT_FALSE(FindIssuerCertificate(folder.path(), issuer, &found));  // only a dot file has it
    WriteFile(folder.File("z-ca.der"), SlurpFile(Pki().Pem("server")));  // PEM under a DER name
    RunQuietly("openssl x509 -in " + Pki().ca_folder() + "/ca.pem -outform DER -out " +
               folder.File("d-ca.der"));
    ASSERT_TRUE(FindIssuerCertificate(folder.path(), issuer, &found));
    EXPECT_EQ(found.SubjectText(), issuer);
    std::filesystem::remove(folder.File("d-ca.der"));
    WriteFile(folder.File("e-ca.crt"),
              "Bag Attributes\n" + SlurpFile(Pki().ca_folder() + "/ca.pem"));
    ASSERT_TRUE(FindIssuerCertificate(folder.path(), issuer, &found));
    EXPECT_FALSE(FindIssuerCertificate(folder.path() + "/missing", issuer, &found));
    Certificate none;
    EXPECT_EQ(none.LoadFile(folder.File("nothing-here")), Certificate::kCannotOpen);
}

TEST(CertificateTest, WildcardsStandForOneWholeLeftMostLabel) {
    struct Case {
        const char* name;
        const char* host;
        bool match;
    } cases[] = {
        {"localhost", "localhost", true},
        {"LocalHost", "localHOST", true},
        {"www.example.com", "example.com", false},  // a suffix of the name is another host
        {"example.com", "www.example.com", false},
        {"*.example.com", "www.example.com", true},
        {"*.example.com", "WWW.Example.COM", true},
        {"*.example.com", "a.b.example.com", false},
        {"*.example.com", "example.com", false},
        {"*.example.com", ".example.com", false},
        {"*.example.com", "wwwexample.com", false},
        {"*.com", "example.com", false},
        {"*", "example.com", false},
        {"*", "localhost", false},
        {"w*.example.com", "www.example.com", false},
        {"www.*.com", "www.example.com", false},
        {"*.*.com", "a.b.com", false},
        {"*.example..com", "a.example..com", false},
        {"*.0.0.1", "127.0.0.1", false},
        {"*.example.com", "", false},
        {"", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CommonNameMatchesHost(c.name, c.host), c.match) << c.name << " / " << c.host;
}

// Truncations and elements that lie about their size or nest without end: the parser says no
// with a reason (the fuzz target tries everything else).
TEST(CertificateTest, MalformedCertificatesAreRefused) {
    const std::string der = Pki().Der("server");
    Certificate certificate;
    for (std::size_t n = 0; n < der.size(); ++n) {
        EXPECT_EQ(certificate.Parse(reinterpret_cast<const std::uint8_t*>(der.data()), n), 1)
            << "cut at " << n;
        EXPECT_FALSE(certificate.Problem().empty());
    }
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "\x30\x80";
    EXPECT_EQ(certificate.Parse(reinterpret_cast<const std::uint8_t*>(deep.data()), deep.size()),
              1);
    const std::string past_end("\x30\x84\x7f\xff\xff\xff\x30\x00", 8);
    EXPECT_EQ(
        certificate.Parse(reinterpret_cast<const std::uint8_t*>(past_end.data()), past_end.size()),
        1);
    EXPECT_EQ(certificate.Problem(), "is malformed (an element runs past the end of its data)");
    const std::string huge_tag("\x1f\xff\xff\xff\xff\x7f\x00", 7);
    EXPECT_EQ(
        certificate.Parse(reinterpret_cast<const std::uint8_t*>(huge_tag.data()), huge_tag.size()),
        1);
}

}  // namespace
}  // namespace tarnwick::testing
