#include "ssh/scp_header.h"

#include <cstring>

namespace tarnwick {

ScpLineReader::Result ScpLineReader::Add(const std::uint8_t* data, std::size_t length,
                                         std::size_t* used) {
    *used = 0;
    if (complete_) return Result::kLine;
    const void* end = length > 0 ? std::memchr(data, '\n', length) : nullptr;
    const std::size_t take =
        end != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - data)
                       : length;
    if (line_.size() + take > kMaxLine) return Result::kTooLong;
    line_.append(reinterpret_cast<const char*>(data), take);
    if (end == nullptr) {
        *used = take;
        return Result::kNeedMore;
    }
    *used = take + 1;  // the line feed
    complete_ = true;
    return Result::kLine;
}

void ScpLineReader::Reset() {
    line_.clear();
    complete_ = false;
}

ScpLineKind KindOfScpLine(std::string_view line) {
    if (line.empty()) return ScpLineKind::kUnknown;
    switch (line[0]) {
        case 'C':
            return ScpLineKind::kFile;
        case 'D':
            return ScpLineKind::kDirectory;
        case 'E':
            return ScpLineKind::kEndDirectory;
        case 'T':
            return ScpLineKind::kTimes;
        case '\x01':
            return ScpLineKind::kWarning;
        case '\x02':
            return ScpLineKind::kError;
        default:
            return ScpLineKind::kUnknown;
    }
}

const char* ParseScpFileHeader(std::string_view text, ScpFileHeader* header) {
    *header = ScpFileHeader{};
    if (text.size() < 5) return "the header is incomplete";
    std::uint32_t mode = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (text[i] < '0' || text[i] > '7') return "its mode is not four octal digits";
        mode = (mode << 3) | static_cast<std::uint32_t>(text[i] - '0');
    }
    if (text[4] != ' ') return "its mode is not four octal digits";
    std::size_t at = 5;
    // A plain decimal number: digits only (no sign, no blanks), at most 2^63 - 1.
    constexpr std::uint64_t kMaxSize = 0x7fffffffffffffffull;
    std::uint64_t size = 0;
    const std::size_t digits_start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
        if (size > (kMaxSize - digit) / 10) {
            return "its size is not a plain decimal number up to 2^63 - 1";
        }
        size = size * 10 + digit;
        ++at;
    }
    if (at == digits_start || at >= text.size() || text[at] != ' ') {
        return "its size is not a plain decimal number up to 2^63 - 1";
    }
    ++at;
    header->mode = mode;
    header->size = size;
    header->name.assign(text.substr(at));
    return nullptr;
}

const char* ScpNameProblem(std::string_view name) {
    if (name.empty()) return "it is empty";
    if (name == "." || name == "..") return "\".\" and \"..\" are not file names";
    if (name.size() > kMaxNameLength) return "it is too long";
    for (char c : name) {
        if (c == '/') return "it is not a plain name";
    }
    for (char c : name) {
        const auto octet = static_cast<unsigned char>(c);
        if (octet < 0x20 || octet == 0x7f) return "it contains control characters";
    }
    return nullptr;
}

namespace {

std::string SingleQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

// A user name as it may follow "~" without quotes.
bool PlainUserName(std::string_view name) {
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

}  // namespace

std::string QuoteForRemoteShell(std::string_view path) {
    if (!path.empty() && path[0] == '~') {
        const std::size_t slash = path.find('/');
        const std::string_view user =
            path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1);
        if (PlainUserName(user)) {
            if (slash == std::string_view::npos) return std::string(path);
            const std::string_view rest = path.substr(slash + 1);
            std::string quoted(path.substr(0, slash + 1));
            if (!rest.empty()) quoted += SingleQuoted(rest);
            return quoted;
        }
    }
    if (!path.empty() && path[0] == '-') return SingleQuoted(std::string("./") + std::string(path));
    return SingleQuoted(path);
}

std::string RemoteBaseName(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    const bool has_slash = slash != std::string_view::npos;
    std::string_view name = has_slash ? path.substr(slash + 1) : path;
    // "~" and "~user" alone are home folders.
    if (!has_slash && !name.empty() && name[0] == '~' && PlainUserName(name.substr(1))) return {};
    if (ScpNameProblem(name) != nullptr) return {};
    return std::string(name);
}

std::string LocalBaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace tarnwick
