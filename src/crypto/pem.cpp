#include "crypto/pem.h"

#include "crypto/base64.h"

namespace tarnwick {

namespace {

constexpr std::string_view kDashes = "-----";
constexpr std::string_view kBegin = "-----BEGIN";
constexpr std::string_view kEnd = "-----END";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimRight(s);
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// The label of a trimmed marker line that starts with keyword ("-----BEGIN" or "-----END"):
// keyword, one blank, the label, five dashes. The label is printable ASCII and neither starts nor
// ends with a blank or a dash. False for a line that only starts like a marker.
bool MarkerLabel(std::string_view line, std::string_view keyword, std::string_view* label) {
    std::string_view rest = line.substr(keyword.size());
    if (rest.size() < 1 + kDashes.size() || rest.front() != ' ' || !rest.ends_with(kDashes))
        return false;
    rest = rest.substr(1, rest.size() - 1 - kDashes.size());
    for (char c : rest)
        if (c < 0x20 || c > 0x7e) return false;
    if (!rest.empty() &&
        (rest.front() == ' ' || rest.front() == '-' || rest.back() == ' ' || rest.back() == '-'))
        return false;
    *label = rest;
    return true;
}

// A header name is printable ASCII without blanks (RFC 822 field names).
bool IsHeaderName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (c <= 0x20 || c > 0x7e) return false;
    return true;
}

void Reset(PemBlock* block) {
    block->label.clear();
    block->headers.clear();
    SecureWipe(block->body.data(), block->body.size());
    block->body.clear();
    block->line = 0;
}

}  // namespace

const char* PemStatusText(PemStatus status) {
    switch (status) {
        case PemStatus::kOk:
            return "a block was read";
        case PemStatus::kEnd:
            return "no further PEM block";
        case PemStatus::kTooLarge:
            return "the file is too large";
        case PemStatus::kTooManyBlocks:
            return "the file holds too many PEM blocks";
        case PemStatus::kBadMarker:
            return "a malformed BEGIN or END line";
        case PemStatus::kUnterminated:
            return "a PEM block has no END line";
        case PemStatus::kLabelMismatch:
            return "the END line's label does not match the BEGIN line";
        case PemStatus::kBadHeader:
            return "a malformed PEM header line";
        case PemStatus::kBadBase64:
            return "the body of a PEM block is not valid base64";
    }
    return "unknown PEM error";
}

const std::string* PemBlock::Header(std::string_view name) const {
    for (const auto& header : headers)
        if (EqualIgnoringCase(header.name, name)) return &header.value;
    return nullptr;
}

bool PemReader::NextLine(std::string_view* line) {
    if (at_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', at_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(at_, end - at_);
    if (line->ends_with('\r')) line->remove_suffix(1);
    at_ = end + 1;
    ++line_;
    return true;
}

PemStatus PemReader::Fail(PemStatus status) {
    error_ = status;
    return status;
}

PemStatus PemReader::ReadHeaders(PemBlock* block) {
    // Headers are there when the first line after BEGIN has a colon (no base64 line has one).
    const std::size_t bodyAt = at_;
    const std::size_t bodyLine = line_;
    std::string_view line;
    if (!NextLine(&line)) return Fail(PemStatus::kUnterminated);
    at_ = bodyAt;
    line_ = bodyLine;
    if (line.find(':') == std::string_view::npos || Trim(line).starts_with(kDashes))
        return PemStatus::kOk;

    while (NextLine(&line)) {
        line = TrimRight(line);
        if (line.empty()) return PemStatus::kOk;
        if (line.front() == ' ' || line.front() == '\t') {
            // A continuation line: RFC 822 unfolding drops the line break, keeps the blanks
            // (but not before a value that only starts here).
            if (block->headers.empty()) return Fail(PemStatus::kBadHeader);
            std::string& value = block->headers.back().value;
            value.append(value.empty() ? Trim(line) : line);
            continue;
        }
        // A marker here means the empty line after the headers is missing.
        if (line.starts_with(kDashes)) return Fail(PemStatus::kBadHeader);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !IsHeaderName(line.substr(0, colon)) ||
            block->headers.size() == kPemMaxHeaders)
            return Fail(PemStatus::kBadHeader);
        block->headers.push_back(
            {std::string(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1)))});
    }
    return Fail(PemStatus::kUnterminated);
}

PemStatus PemReader::Next(PemBlock* block) {
    Reset(block);
    if (error_ != PemStatus::kOk) return error_;
    if (text_.size() > kPemMaxText) return Fail(PemStatus::kTooLarge);

    // Skip text up to the next BEGIN line.
    std::string_view line;
    std::string_view label;
    for (;;) {
        if (!NextLine(&line)) return PemStatus::kEnd;
        line = Trim(line);
        if (!line.starts_with(kBegin)) continue;
        if (!MarkerLabel(line, kBegin, &label)) return Fail(PemStatus::kBadMarker);
        break;
    }
    if (++blocks_ > kPemMaxBlocks) return Fail(PemStatus::kTooManyBlocks);
    block->label = label;
    block->line = line_;

    PemStatus status = ReadHeaders(block);
    if (status != PemStatus::kOk) return status;

    const std::size_t bodyStart = at_;
    for (;;) {
        const std::size_t lineStart = at_;
        if (!NextLine(&line)) return Fail(PemStatus::kUnterminated);
        line = Trim(line);
        if (line.starts_with(kBegin)) return Fail(PemStatus::kUnterminated);
        if (!line.starts_with(kEnd)) continue;
        std::string_view endLabel;
        if (!MarkerLabel(line, kEnd, &endLabel)) return Fail(PemStatus::kBadMarker);
        if (endLabel != label) return Fail(PemStatus::kLabelMismatch);
        if (!Base64Decode(text_.substr(bodyStart, lineStart - bodyStart), &block->body,
                          Base64Mode::kLenient)) {
            line_ = block->line;
            return Fail(PemStatus::kBadBase64);
        }
        return PemStatus::kOk;
    }
}

PemStatus PemReadAll(std::string_view text, std::vector<PemBlock>* blocks) {
    blocks->clear();
    PemReader reader(text);
    for (;;) {
        PemBlock block;
        const PemStatus status = reader.Next(&block);
        if (status == PemStatus::kEnd) return PemStatus::kOk;
        if (status != PemStatus::kOk) return status;
        blocks->push_back(std::move(block));
    }
}

std::string PemWrite(std::string_view label, const void* body, std::size_t length,
                     const std::vector<PemHeader>& headers) {
    std::string text;
    text.append(kBegin).append(" ").append(label).append(kDashes).append("\n");
    for (const auto& header : headers)
        text.append(header.name).append(": ").append(header.value).append("\n");
    if (!headers.empty()) text.append("\n");
    text.append(Base64Encode(body, length, 64));
    text.append(kEnd).append(" ").append(label).append(kDashes).append("\n");
    return text;
}

}  // namespace tarnwick
