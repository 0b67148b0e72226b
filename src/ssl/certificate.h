// X.509 certificates as the TLS client reads them: the names of issuer and subject, the validity
// period, the subject's RSA key and the signature, read with the bounded BER reader.
//
// What this version reads is deliberately narrow: names in PrintableString, IA5String or
// T61String, RSA keys, and RSA signatures over MD5 or SHA-1. Anything else is refused with a
// reason the user can act on ("uses UTF8String names, which this version cannot read"), never a
// bare "cannot parse".
//
//   Certificate certificate;
//   if (certificate.Parse(der, length) != 0) Show("The server's certificate " +
//   certificate.Problem()); if (certificate.subject.common_name == ...) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/ber.h"
#include "crypto/bignum.h"

namespace tarnwick {

// The attributes of a distinguished name that the checks use; others are ignored. When an
// attribute occurs more than once, the last occurrence counts.
struct CertificateName {
    std::string country;       // C   2.5.4.6
    std::string state;         // ST  2.5.4.8
    std::string locality;      // L   2.5.4.7
    std::string organization;  // O   2.5.4.10
    std::string unit;          // OU  2.5.4.11
    std::string common_name;   // CN  2.5.4.3
    std::string email;         // 1.2.840.113549.1.9.1

    // "C=..., ST=..., L=..., O=..., OU=..., CN=...", then "/" and the e-mail when there is one.
    std::string Text() const;
};

class Certificate {
  public:
    // LoadFile results.
    enum : int { kLoaded = 0, kLoadFailed = 1, kCannotOpen = 2, kOutOfMemory = 3 };
    // Files larger than this are not certificates.
    static constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;
    // RSA moduli and exponents beyond these sizes are refused: they only make a handshake slow
    // (real exponents are a few bits long, 65537 above all).
    static constexpr int kMaxModulusBits = 16384;
    static constexpr int kMaxExponentBits = 4096;

    // 0 when the DER certificate was read, 1 when not (Problem() says why). Copies the bytes.
    [[nodiscard]] int Parse(const std::uint8_t* der, std::size_t length);
    // Reads a certificate file: the first CERTIFICATE block of a PEM file, or a DER file.
    // 0 loaded, 1 not a readable certificate, 2 the file cannot be opened, 3 out of memory.
    [[nodiscard]] int LoadFile(const std::string& path);
    void Reset();

    std::string IssuerText() const { return issuer.Text(); }
    std::string SubjectText() const { return subject.Text(); }
    // The encoded TBSCertificate (header and content), over which the signature is made.
    BerBytes SignedPart() const;
    // The certificate's complete DER bytes.
    const std::vector<std::uint8_t>& Der() const { return der_; }
    // Why the last Parse failed, as the end of a sentence that starts "The certificate ":
    // "uses UTF8String names, which this version cannot read".
    const std::string& Problem() const { return problem_; }

    CertificateName issuer;
    CertificateName subject;
    std::string signature_algorithm;  // dotted object identifier
    std::int64_t not_before = 0;      // seconds since 1970-01-01 UTC
    std::int64_t not_after = 0;
    BigNum modulus;
    BigNum exponent;
    BigNum signature;

  private:
    bool Fail(std::string problem);
    bool ReadName(BerReader& reader, CertificateName* name);

    std::vector<std::uint8_t> der_;
    std::size_t signed_offset_ = 0;
    std::size_t signed_length_ = 0;
    std::string problem_;
};

}  // namespace tarnwick
