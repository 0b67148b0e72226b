#include "session/connection_setup.h"

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "core/session_config.h"
#include "ssh/ssh2_algorithms.h"

namespace tarnwick {

const std::vector<ChooserKind>& ChooserKinds() {
    static const std::vector<ChooserKind> kinds = {
        {kKindSSH1, "New SSH1 Connection"},
        {kKindSSH2, "New SSH2 Connection"},
        {kKindSSL, "New SSL Connection"},
        {kKindSSLPortForward, "New PortForward SSL Connection"},
        {kKindSTARTTLSProxy, "New STARTTLS Proxy"},
        {kKindTelnet, "New Telnet Connection"},
        {kKindSerial, "New Serial Connection"},
    };
    return kinds;
}

std::vector<SavedSession> FindSavedSessions(const std::vector<std::string>& folders) {
    std::vector<SavedSession> found;
    for (const std::string& folder : folders) {
        std::error_code ec;
        auto options = std::filesystem::directory_options::skip_permission_denied;
        std::filesystem::recursive_directory_iterator it(folder, options, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (it.depth() > 16) {
                it.disable_recursion_pending();  // a link loop must not trap the walk
                continue;
            }
            const auto& path = it->path();
            std::string name = path.filename().string();
            if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".tks") != 0) continue;
            if (name.rfind("DEFAULT_", 0) == 0) continue;
            std::error_code file_ec;
            if (!it->is_regular_file(file_ec)) continue;
            found.push_back({name.substr(0, name.size() - 4), path.string()});
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const SavedSession& a, const SavedSession& b) {
        return strcasecmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return found;
}

int DefaultPort(int kind) {
    switch (kind) {
        case kKindSSH2:
        case kKindSSH1:
            return 22;
        case kKindTelnet:
            return 23;
        case kKindSSL:
        case kKindSSLPortForward:
            return 443;
        case kKindSTARTTLSProxy:
            return 25;
        default:
            return 0;
    }
}

int FallbackPort(int kind) {
    switch (kind) {
        case kKindSSH2:
        case kKindSSH1:
            return 22;
        case kKindTelnet:
            return 23;
        case kKindSSL:
        case kKindSSLPortForward:
        case kKindSTARTTLSProxy:
            return 443;
        default:
            return 0;
    }
}

int ParsePort(const std::string& text, int fallback) {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && text[i] == '+') ++i;
    unsigned long long value = 0;
    std::size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = std::min<unsigned long long>(value * 10 + static_cast<unsigned>(text[i] - '0'),
                                             1000000);
        ++digits;
        ++i;
    }
    if (digits == 0 || value < 1 || value > 65535) return fallback;
    return static_cast<int>(value);
}

void FillSsh2AlgorithmDefaults(SessionConfig& config) {
    struct Pair {
        setting::List enabled;
        setting::List disabled;
        std::vector<std::int32_t> (*defaults)();
        std::vector<std::int32_t> disabled_defaults;
    };
    const Pair pairs[] = {
        {setting::ssh2_EnabledCiphers, setting::ssh2_DisabledCiphers, DefaultCipherPreference, {}},
        {setting::ssh2_EnabledMACs, setting::ssh2_DisabledMACs, DefaultMacPreference, {2}},
        {setting::ssh2_hostkey_algorithms,
         setting::ssh2_disabled_hostkey_algorithms,
         DefaultHostKeyPreference,
         {}},
    };
    for (const Pair& pair : pairs) {
        if (!config.GetList(pair.enabled).empty()) continue;
        std::vector<std::int32_t> enabled = pair.defaults();
        config.SetList(pair.enabled, enabled.data(), static_cast<int>(enabled.size()));
        config.SetList(pair.disabled, pair.disabled_defaults.data(),
                       static_cast<int>(pair.disabled_defaults.size()));
    }
}

}  // namespace tarnwick
