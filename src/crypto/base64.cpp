#include "crypto/base64.h"

namespace tarnwick {

namespace {

// All ones when lo <= x <= hi, else zero: (lo - 1 - x) and (x - hi - 1) are both negative
// exactly inside the range, and the arithmetic shift spreads the sign.
inline int InRange(int x, int lo, int hi) {
    return ((lo - 1 - x) & (x - hi - 1)) >> 8;
}

// The value of an alphabet character, or -1.
inline int DecodeChar(std::uint8_t c) {
    const int x = c;
    int value = -1;
    value += InRange(x, 'A', 'Z') & (x - 'A' + 1);
    value += InRange(x, 'a', 'z') & (x - 'a' + 27);
    value += InRange(x, '0', '9') & (x - '0' + 53);
    value += InRange(x, '+', '+') & 63;
    value += InRange(x, '/', '/') & 64;
    return value;
}

// The alphabet character of a 6-bit value: 'A' plus an offset that steps at 26, 52, 62 and 63.
inline char EncodeChar(std::uint32_t v) {
    const int x = static_cast<int>(v & 63);
    int offset = 'A';
    offset += ((25 - x) >> 8) & ('a' - 26 - 'A');
    offset -= ((51 - x) >> 8) & ('a' - 26 - ('0' - 52));
    offset -= ((61 - x) >> 8) & (('0' - 52) - ('+' - 62));
    offset += ((62 - x) >> 8) & (('/' - 63) - ('+' - 62));
    return static_cast<char>(x + offset);
}

inline bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Decodes into out, which has room for Base64DecodedMax(text.size()) bytes. Returns the number of
// bytes written, or -1 for text that is not a valid encoding.
std::ptrdiff_t DecodeInto(std::string_view text, Base64Mode mode, std::uint8_t* out) {
    const bool lenient = mode == Base64Mode::kLenient;
    std::uint32_t group = 0;  // the 6-bit values of the current group
    int inGroup = 0;          // characters of the current group, "=" included
    int padding = 0;
    std::size_t written = 0;
    for (char c : text) {
        if (lenient && IsSpace(c)) continue;
        if (c == '=') {
            // "=" may stand only for the third and fourth characters of the last group.
            if (inGroup < 2) return -1;
            ++padding;
            if (++inGroup < 4) continue;
            if (padding == 1) {
                // Three characters give 18 bits: two bytes and two bits left over.
                if (!lenient && (group & 3) != 0) return -1;
                out[written++] = static_cast<std::uint8_t>(group >> 10);
                out[written++] = static_cast<std::uint8_t>(group >> 2);
            } else {
                // Two characters give 12 bits: one byte and four bits left over.
                if (!lenient && (group & 15) != 0) return -1;
                out[written++] = static_cast<std::uint8_t>(group >> 4);
            }
            inGroup = 0;
            continue;
        }
        // Nothing but padding may follow the first "=".
        if (padding > 0) return -1;
        const int value = DecodeChar(static_cast<std::uint8_t>(c));
        if (value < 0) return -1;
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (++inGroup == 4) {
            out[written++] = static_cast<std::uint8_t>(group >> 16);
            out[written++] = static_cast<std::uint8_t>(group >> 8);
            out[written++] = static_cast<std::uint8_t>(group);
            group = 0;
            inGroup = 0;
        }
    }
    if (inGroup != 0) return -1;
    return static_cast<std::ptrdiff_t>(written);
}

template <typename Bytes>
bool DecodeTo(std::string_view text, Base64Mode mode, Bytes* out) {
    out->clear();
    out->resize(Base64DecodedMax(text.size()));
    const std::ptrdiff_t n = DecodeInto(text, mode, reinterpret_cast<std::uint8_t*>(out->data()));
    if (n < 0) {
        SecureWipe(out->data(), out->size());
        out->clear();
        return false;
    }
    out->resize(static_cast<std::size_t>(n));
    return true;
}

}  // namespace

bool Base64Decode(std::string_view text, std::string* out, Base64Mode mode) {
    return DecodeTo(text, mode, out);
}

bool Base64Decode(std::string_view text, SecureBytes* out, Base64Mode mode) {
    return DecodeTo(text, mode, out);
}

std::string Base64Encode(const void* data, std::size_t length, std::size_t lineWidth) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    const std::size_t chars = (length + 2) / 3 * 4;
    std::string text;
    text.reserve(chars + (lineWidth > 0 ? chars / lineWidth + 1 : 0));
    std::size_t column = 0;
    auto emit = [&](char c) {
        text.push_back(c);
        if (lineWidth > 0 && ++column == lineWidth) {
            text.push_back('\n');
            column = 0;
        }
    };
    auto put = [&](std::uint32_t value) { emit(EncodeChar(value)); };
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t group =
            (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        put(group >> 18);
        put(group >> 12);
        put(group >> 6);
        put(group);
    }
    if (length - i == 1) {
        const std::uint32_t group = std::uint32_t{in[i]} << 16;
        put(group >> 18);
        put(group >> 12);
        emit('=');
        emit('=');
    } else if (length - i == 2) {
        const std::uint32_t group = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8);
        put(group >> 18);
        put(group >> 12);
        put(group >> 6);
        emit('=');
    }
    if (lineWidth > 0 && column > 0) text.push_back('\n');
    return text;
}

}  // namespace tarnwick
