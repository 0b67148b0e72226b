// Certificates from a hostile server: any bytes as a certificate. A certificate either parses,
// with its signed part inside its bytes and its texts built, or fails with a reason; the name
// rule copes with any common name and host.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ssl/certificate.h"
#include "ssl/certificate_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnwick::Certificate certificate;
    if (certificate.Parse(data, size) == 0) {
        const tarnwick::BerBytes signed_part = certificate.SignedPart();
        const auto& der = certificate.Der();
        if (signed_part.data() < der.data() ||
            signed_part.data() + signed_part.size() > der.data() + der.size()) {
            std::abort();
        }
        (void)certificate.IssuerText();
        (void)certificate.SubjectText();
        (void)tarnwick::CommonNameMatchesHost(certificate.subject.common_name, "www.example.com");
    } else if (certificate.Problem().empty()) {
        std::abort();
    }
    // The input as a common name and a host, split at its first byte's value.
    if (size > 0) {
        const std::size_t cut = data[0] % size;
        const std::string name(reinterpret_cast<const char*>(data), cut);
        const std::string host(reinterpret_cast<const char*>(data) + cut, size - cut);
        (void)tarnwick::CommonNameMatchesHost(name, host);
    }
    return 0;
}
