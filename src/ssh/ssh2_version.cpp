#include "ssh/ssh2_version.h"

#include <array>

namespace tarnwick {

namespace {

constexpr std::array<QuirkName, 6> kQuirkNames{{
    {m_serviceaccept_bug, "m_serviceaccept_bug"},
    {m_oldgex_bug, "m_oldgex_bug"},
    {m_rawsig_bug, "m_rawsig_bug"},
    {m_pkservice_bug, "m_pkservice_bug"},
    {m_pkauth_bug, "m_pkauth_bug"},
    {m_pkok_bug, "m_pkok_bug"},
}};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal digits at text[*at]; at most nine of them, so the value cannot overflow.
bool ReadNumber(std::string_view text, std::size_t* at, int* value) {
    std::size_t start = *at;
    int v = 0;
    while (*at < text.size() && IsDigit(text[*at])) {
        if (*at - start >= 9) return false;
        v = v * 10 + (text[*at] - '0');
        ++*at;
    }
    if (*at == start) return false;
    *value = v;
    return true;
}

}  // namespace

std::span<const QuirkName> QuirkNames() {
    return kQuirkNames;
}

unsigned QuirksFor(std::string_view software) {
    unsigned flags = 0;
    if (StartsWith(software, "2.0.")) {
        flags |= m_pkok_bug | m_pkservice_bug;
        std::string_view after = software.substr(4);
        // 2.0.0 to 2.0.9 and 2.0.10 to 2.0.12 also garble public-key requests.
        if (after.size() >= 2 &&
            ((IsDigit(after[0]) && after[1] == ' ') ||
             (after[0] == '1' && (after[1] == '0' || after[1] == '1' || after[1] == '2')))) {
            flags |= m_pkauth_bug;
        }
    }
    static constexpr std::array<std::string_view, 9> kRawSig{"2.0.13 ", "2.0.14 ", "2.0.15 ",
                                                             "2.0.16 ", "2.0.17 ", "2.0.18 ",
                                                             "2.0.19 ", "2.1.0",   "2.1 "};
    for (std::string_view prefix : kRawSig) {
        if (StartsWith(software, prefix)) {
            flags |= m_pkok_bug | m_rawsig_bug | m_serviceaccept_bug;
            break;
        }
    }
    static constexpr std::array<std::string_view, 8> kOldGex{
        "OpenSSH-2.0", "OpenSSH-2.1",   "OpenSSH_2.1",   "OpenSSH_2.2",
        "OpenSSH_2.3", "OpenSSH_2.5.0", "OpenSSH_2.5.1", "OpenSSH_2.5.2"};
    for (std::string_view prefix : kOldGex) {
        if (StartsWith(software, prefix)) {
            flags |= m_oldgex_bug;
            break;
        }
    }
    return flags;
}

bool ParseVersionLine(std::string_view line, ServerVersion* out) {
    if (!StartsWith(line, "SSH-")) return false;
    std::size_t at = 4;
    ServerVersion v;
    if (!ReadNumber(line, &at, &v.major)) return false;
    if (at >= line.size() || line[at] != '.') return false;
    ++at;
    if (!ReadNumber(line, &at, &v.minor)) return false;
    if (at >= line.size() || line[at] != '-') return false;
    ++at;
    if (at >= line.size()) return false;
    v.software = std::string(line.substr(at));
    *out = std::move(v);
    return true;
}

bool VersionUsable(const ServerVersion& version) {
    return version.major == 2 || (version.major == 1 && version.minor == 99);
}

VersionLineReader::Result VersionLineReader::Add(const std::uint8_t* data, std::size_t length,
                                                 std::size_t* used) {
    *used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        if (!pending_.empty() && pending_.back() == '\r') {
            // A line that ended in CR: an LF right after it belongs to the same line end.
            std::string finished = pending_.substr(0, pending_.size() - 1);
            bool lf = c == '\n';
            pending_.clear();
            if (StartsWith(finished, "SSH-")) {
                line_ = finished;
                *used = lf ? i + 1 : i;
                return Result::kFound;
            }
            skipped_ += finished.size() + 1;
            if (skipped_ > kMaxSkipped) return Result::kFailed;
            if (lf) continue;
        }
        if (c == '\n') {
            if (StartsWith(pending_, "SSH-")) {
                line_ = pending_;
                *used = i + 1;
                return Result::kFound;
            }
            skipped_ += pending_.size() + 1;
            if (skipped_ > kMaxSkipped) return Result::kFailed;
            pending_.clear();
            continue;
        }
        pending_.push_back(c);
        if (pending_.size() > kMaxLine) return Result::kFailed;
    }
    *used = length;
    return Result::kNeedMore;
}

}  // namespace tarnwick
