#include "ssl/certificate_check.h"

#include <dirent.h>
#include <netinet/in.h>

#include <algorithm>
#include <vector>

#include "core/known_hosts.h"
#include "crypto/rsa.h"
#include "platform/user_interface.h"
#include "ssl/certificate.h"
#include "transport/socket.h"

namespace tarnwick {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

// A name made of labels that are not empty: "example.com", not "example..com" or ".com".
bool WellFormedLabels(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') return false;
    return name.find("..") == std::string_view::npos;
}

bool IsNumericAddress(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return true;  // IPv6, bracketed or bare
    in_addr address{};
    return ParseDottedQuad(std::string(host).c_str(), &address);
}

}  // namespace

bool CommonNameMatchesHost(std::string_view common_name, std::string_view host) {
    if (common_name.find('*') == std::string_view::npos) {
        return !host.empty() && EqualIgnoringCase(common_name, host);
    }
    if (common_name.size() < 2 || common_name[0] != '*' || common_name[1] != '.') return false;
    const std::string_view suffix = common_name.substr(2);
    // At least two labels after the wildcard, and no second wildcard.
    if (!WellFormedLabels(suffix) || suffix.find('.') == std::string_view::npos ||
        suffix.find('*') != std::string_view::npos) {
        return false;
    }
    if (IsNumericAddress(host)) return false;
    const std::size_t dot = host.find('.');
    if (dot == 0 || dot == std::string_view::npos) return false;
    return EqualIgnoringCase(host.substr(dot + 1), suffix);
}

bool FindIssuerCertificate(const std::string& folder, const std::string& issuer_text,
                           Certificate* authority) {
    DIR* directory = opendir(folder.c_str());
    if (directory == nullptr) return false;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        names.emplace_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (authority->LoadFile(folder + "/" + name) != Certificate::kLoaded) continue;
        if (authority->SubjectText() == issuer_text) return true;
    }
    authority->Reset();
    return false;
}

bool CheckServerCertificate(const Certificate& certificate, const ServerCheckContext& context) {
    auto debug = [&context](std::string_view text) {
        if (context.debug && context.show) context.show(text);
    };
    const std::string issuer = certificate.IssuerText();
    const std::string subject = certificate.SubjectText();
    debug("Issuer:\r\n");
    debug(issuer);
    debug("\r\nSubject:\r\n");
    debug(subject);
    debug("\r\n");

    const std::string& name = certificate.subject.common_name;
    if (!CommonNameMatchesHost(name, context.host)) {
        if (!Ui().AskYesNo("SSL Certificate", "You asked to connect to '" + context.host +
                                                  "', but the certificate is for '" + name +
                                                  "'. Do you want to continue?")) {
            return false;
        }
    }
    if (context.now < certificate.not_before || context.now > certificate.not_after) {
        if (!Ui().AskYesNo(
                "SSL Certificate Expired",
                "The certificate for '" + name + "' has expired. Do you want to continue?")) {
            return false;
        }
    }

    bool verified = false;
    if (issuer == subject) {
        debug("Server certificate is self-signed and cannot be verified.\r\n");
    } else {
        debug("Attempting to find CA certificate for issuer");
        Certificate authority;
        if (!FindIssuerCertificate(context.ca_folder, issuer, &authority)) {
            debug("Unable to find an appropriate root CA file for validation.\r\n");
        } else {
            debug("Found appropriate root CA; validating\r\n");
            const BerBytes signed_part = certificate.SignedPart();
            verified = RsaVerify(signed_part.data(), signed_part.size(), authority.exponent,
                                 authority.modulus, certificate.signature);
            if (!verified) debug("Certificate RSA signature is invalid.\r\n");
        }
    }
    if (!verified) {
        const std::vector<std::uint8_t>& der = certificate.Der();
        if (!HostKeyCheck(kSpaceSSL, "ssl-rsa", context.host, der.data(), der.size(), false)) {
            return false;
        }
    }
    debug("Server's certificate is valid.\r\n");
    return true;
}

}  // namespace tarnwick
