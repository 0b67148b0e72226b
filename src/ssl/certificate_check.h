// Whether the TLS client may trust a server's certificate: the name it was issued for, its
// validity period, and a signature by an authority whose certificate lies in the certificate
// folder; a certificate that no authority vouches for falls back to the known-hosts store, under
// the key kind "ssl-rsa", as an SSH host key would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarnwick {

class Certificate;

// The host name matches the certificate's common name: the same name ignoring ASCII case, or a
// wildcard. A "*" matches only as the whole left-most label, stands for exactly one label of the
// host (never a dot, never nothing), and only when at least two labels follow it: "*.example.com"
// matches "www.example.com" but not "a.b.example.com" or "example.com"; "*.com", "*" and
// "w*.example.com" match nothing, and neither does any wildcard for a numeric address.
bool CommonNameMatchesHost(std::string_view common_name, std::string_view host);

// Looks in folder for the certificate of the authority whose subject text equals issuer_text
// (exactly). Entries starting with "." and files that are not readable certificates are passed
// over; the entries are tried in name order. True when found.
bool FindIssuerCertificate(const std::string& folder, const std::string& issuer_text,
                           Certificate* authority);

struct ServerCheckContext {
    std::string host;       // the host name the user asked for
    std::string ca_folder;  // the certificate folder ("CAPath")
    std::int64_t now = 0;   // seconds since 1970-01-01 UTC
    bool debug = false;     // show the diagnostic lines
    // Writes a diagnostic line towards the terminal.
    std::function<void(std::string_view)> show;
};

// The server check: asks about a name mismatch and an expired certificate, verifies the
// signature with an authority from the folder, and otherwise runs the known-hosts dialogue with
// the certificate's DER bytes as the key. True to go on with the connection.
bool CheckServerCertificate(const Certificate& certificate, const ServerCheckContext& context);

}  // namespace tarnwick
