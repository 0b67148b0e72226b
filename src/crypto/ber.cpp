#include "crypto/ber.h"

#include <algorithm>
#include <limits>

#include "crypto/secure.h"

namespace tarnwick {

namespace {

constexpr std::size_t kMaxLengthOctets = 8;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar, counting in eras of
// 400 years (146097 days) that start on 1 March, so that the leap day ends a year.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int DaysInMonth(std::int64_t year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// A cursor over the characters of a time.
class TimeText {
  public:
    explicit TimeText(BerBytes bytes) : bytes_(bytes) {}
    // count decimal digits; -1 when they are not there.
    int Digits(int count) {
        int value = 0;
        for (int i = 0; i < count; ++i) {
            if (at_ >= bytes_.size() || bytes_[at_] < '0' || bytes_[at_] > '9') return -1;
            value = value * 10 + (bytes_[at_++] - '0');
        }
        return value;
    }
    bool Take(char c) {
        if (at_ < bytes_.size() && bytes_[at_] == c) return ++at_, true;
        return false;
    }
    bool AtDigit() const { return at_ < bytes_.size() && bytes_[at_] >= '0' && bytes_[at_] <= '9'; }
    bool AtEnd() const { return at_ == bytes_.size(); }

  private:
    BerBytes bytes_;
    std::size_t at_ = 0;
};

// Seconds since 1970 for UTCTime (utc true) or GeneralizedTime; false when the text is not one of
// the accepted forms or names an impossible moment.
bool ParseTime(BerBytes bytes, bool utc, BerRules rules, std::int64_t* seconds) {
    const bool der = rules == BerRules::kDer;
    TimeText t(bytes);
    int year;
    if (utc) {
        year = t.Digits(2);
        if (year < 0) return false;
        year += year >= 50 ? 1900 : 2000;
    } else {
        year = t.Digits(4);
        if (year < 0) return false;
    }
    const int month = t.Digits(2);
    const int day = t.Digits(2);
    const int hour = t.Digits(2);
    const int minute = t.Digits(2);
    int second = 0;
    if (der || !utc || t.AtDigit()) second = t.Digits(2);
    if (!der && !utc && t.Take('.')) {
        // Fractions of a second count for nothing here, but need at least one digit.
        if (!t.AtDigit()) return false;
        while (t.AtDigit())
            (void)t.Digits(1);
    }
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
        hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    std::int64_t offset = 0;
    if (!t.Take('Z')) {
        if (der) return false;
        int sign;
        if (t.Take('+'))
            sign = 1;
        else if (t.Take('-'))
            sign = -1;
        else
            return false;  // local time without a zone names no single moment
        const int offsetHours = t.Digits(2);
        const int offsetMinutes = t.Digits(2);
        if (offsetHours < 0 || offsetHours > 23 || offsetMinutes < 0 || offsetMinutes > 59)
            return false;
        offset = sign * (offsetHours * 3600 + offsetMinutes * 60);
    }
    if (!t.AtEnd()) return false;
    // Local time minus its offset from UTC is UTC.
    *seconds =
        DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    return true;
}

// Checks a subidentifier sequence: at least one, each in its fewest octets (no leading 0x80),
// the last one complete.
bool OidWellFormed(BerBytes bytes) {
    if (bytes.empty() || (bytes.back() & 0x80) != 0) return false;
    bool atStart = true;
    for (std::uint8_t b : bytes) {
        if (atStart && b == 0x80) return false;
        atStart = (b & 0x80) == 0;
    }
    return true;
}

void AppendUtf8(std::uint32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xc0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xe0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
    } else {
        out->push_back(static_cast<char>(0xf0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
    }
}

bool IsScalarValue(std::uint32_t code) {
    return code != 0 && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
}

// Well-formed UTF-8 (RFC 3629): shortest forms, no surrogates, nothing above U+10FFFF, no NUL.
bool ValidUtf8(BerBytes bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        int extra;
        std::uint32_t code;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            extra = 1;
            code = lead & 0x1f;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            extra = 2;
            code = lead & 0x0f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (bytes.size() - i - 1 < static_cast<std::size_t>(extra)) return false;
        for (int k = 1; k <= extra; ++k) {
            const std::uint8_t next = bytes[i + static_cast<std::size_t>(k)];
            if ((next & 0xc0) != 0x80) return false;
            code = (code << 6) | (next & 0x3f);
        }
        static const std::uint32_t kShortest[4] = {0, 0x80, 0x800, 0x10000};
        if (code < kShortest[extra] || !IsScalarValue(code)) return false;
        i += 1 + static_cast<std::size_t>(extra);
    }
    return true;
}

// Big-endian code units of width octets each, converted to UTF-8.
bool WideToUtf8(BerBytes bytes, std::size_t width, std::string* out) {
    if (bytes.size() % width != 0) return false;
    for (std::size_t i = 0; i < bytes.size(); i += width) {
        std::uint32_t code = 0;
        for (std::size_t k = 0; k < width; ++k)
            code = (code << 8) | bytes[i + k];
        if (!IsScalarValue(code)) return false;
        AppendUtf8(code, out);
    }
    return true;
}

}  // namespace

const char* BerErrorText(BerError error) {
    switch (error) {
        case BerError::kNone:
            return "no error";
        case BerError::kTruncated:
            return "an element runs past the end of its data";
        case BerError::kIndefiniteLength:
            return "an element of indefinite length";
        case BerError::kBadLength:
            return "a malformed length field";
        case BerError::kNonMinimalLength:
            return "a length not in its shortest form";
        case BerError::kBadTag:
            return "a malformed tag";
        case BerError::kTagTooLarge:
            return "a tag number too large";
        case BerError::kUnexpectedTag:
            return "an element of an unexpected type";
        case BerError::kWrongForm:
            return "an element in constructed form where primitive is required, or the reverse";
        case BerError::kTooDeep:
            return "elements nested too deeply";
        case BerError::kTrailingData:
            return "data after the last element";
        case BerError::kBadBoolean:
            return "a malformed BOOLEAN";
        case BerError::kBadInteger:
            return "a malformed INTEGER";
        case BerError::kIntegerTooLarge:
            return "an INTEGER too large";
        case BerError::kNegativeInteger:
            return "a negative INTEGER where a positive one is required";
        case BerError::kBadNull:
            return "a malformed NULL";
        case BerError::kBadObjectIdentifier:
            return "a malformed OBJECT IDENTIFIER";
        case BerError::kArcTooLarge:
            return "an OBJECT IDENTIFIER with an arc too large";
        case BerError::kBadBitString:
            return "a malformed BIT STRING";
        case BerError::kBadString:
            return "a malformed character string";
        case BerError::kBadTime:
            return "a malformed or impossible time";
    }
    return "unknown error";
}

// ---- BerReader ----

void BerReader::Fail(BerError error) {
    if (!failed_) error_ = error;
    failed_ = true;
    at_ = length_;
}

BerReader BerReader::Failed() const {
    BerReader reader(nullptr, 0, rules_);
    reader.depth_ = depth_ + 1;
    reader.failed_ = true;
    reader.error_ = error_;
    return reader;
}

BerReader BerReader::Child(BerBytes content) {
    if (failed_) return Failed();
    if (depth_ >= kMaxDepth) {
        Fail(BerError::kTooDeep);
        return Failed();
    }
    BerReader child(content, rules_);
    child.depth_ = depth_ + 1;
    return child;
}

BerError BerReader::Header(BerElement* element) const {
    const std::uint8_t* p = data_ + at_;
    const std::size_t available = length_ - at_;
    if (available < 1) return BerError::kTruncated;
    std::size_t i = 0;
    const std::uint8_t first = p[i++];
    BerTag tag;
    tag.tagClass = static_cast<BerClass>(first >> 6);
    tag.constructed = (first & 0x20) != 0;
    tag.number = first & 0x1f;
    if (tag.number == 0x1f) {
        // High-tag form: base-128 digits, the top bit set on all but the last. X.690 8.1.2.4.2:
        // "bits 7 to 1 of the first subsequent octet shall not all be zero".
        tag.number = 0;
        for (;;) {
            if (i >= available) return BerError::kTruncated;
            const std::uint8_t digit = p[i++];
            if (tag.number == 0 && digit == 0x80) return BerError::kBadTag;
            if (tag.number > (kMaxTagNumber >> 7)) return BerError::kTagTooLarge;
            tag.number = (tag.number << 7) | (digit & 0x7f);
            if ((digit & 0x80) == 0) break;
        }
        // Numbers below 31 have the one-octet form and must use it.
        if (tag.number < 0x1f) return BerError::kBadTag;
    }
    if (i >= available) return BerError::kTruncated;
    const std::uint8_t lengthOctet = p[i++];
    std::uint64_t length = lengthOctet;
    if (lengthOctet == 0x80) return BerError::kIndefiniteLength;
    if (lengthOctet == 0xff) return BerError::kBadLength;  // reserved (X.690 8.1.3.5 c)
    if (lengthOctet > 0x80) {
        const std::size_t count = lengthOctet & 0x7f;
        if (count > kMaxLengthOctets) return BerError::kBadLength;
        if (available - i < count) return BerError::kTruncated;
        if (rules_ == BerRules::kDer && p[i] == 0) return BerError::kNonMinimalLength;
        length = 0;
        for (std::size_t k = 0; k < count; ++k)
            length = (length << 8) | p[i++];
        if (rules_ == BerRules::kDer && length < 0x80) return BerError::kNonMinimalLength;
    }
    // Compared before any addition, so no length near 2^64 can wrap.
    if (length > available - i) return BerError::kTruncated;
    element->tag = tag;
    element->content = BerBytes(p + i, static_cast<std::size_t>(length));
    element->encoding = BerBytes(p, i + static_cast<std::size_t>(length));
    return BerError::kNone;
}

BerTag BerReader::PeekTag() {
    if (failed_ || AtEnd()) return {};
    BerElement element;
    const BerError error = Header(&element);
    if (error != BerError::kNone) {
        Fail(error);
        return {};
    }
    return element.tag;
}

BerElement BerReader::Any() {
    BerElement element;
    if (failed_) return {};
    const BerError error = Header(&element);
    if (error != BerError::kNone) {
        Fail(error);
        return {};
    }
    at_ += element.encoding.size();
    return element;
}

bool BerReader::Take(BerTag tag, BerElement* element) {
    if (failed_) return false;
    const BerError error = Header(element);
    if (error != BerError::kNone) {
        Fail(error);
        return false;
    }
    if (!(element->tag == tag)) {
        const bool sameType =
            element->tag.tagClass == tag.tagClass && element->tag.number == tag.number;
        Fail(sameType ? BerError::kWrongForm : BerError::kUnexpectedTag);
        return false;
    }
    at_ += element->encoding.size();
    return true;
}

BerReader BerReader::Constructed(BerTag tag, BerBytes* encoding) {
    BerElement element;
    tag.constructed = true;
    if (!Take(tag, &element)) return Failed();
    if (encoding != nullptr) *encoding = element.encoding;
    return Child(element.content);
}

BerReader BerReader::Enter(const BerElement& element) {
    if (!element.tag.constructed) {
        Fail(BerError::kWrongForm);
        return Failed();
    }
    return Child(element.content);
}

BerBytes BerReader::Content(BerTag tag) {
    BerElement element;
    tag.constructed = false;
    if (!Take(tag, &element)) return {};
    return element.content;
}

bool BerReader::Boolean(BerTag tag) {
    const BerBytes content = Content(tag);
    if (failed_) return false;
    if (content.size() != 1 || (rules_ == BerRules::kDer && content[0] != 0 && content[0] != 0xff))
        return Fail(BerError::kBadBoolean), false;
    return content[0] != 0;
}

BerBytes BerReader::IntegerBytes(BerTag tag) {
    const BerBytes content = Content(tag);
    if (failed_) return {};
    if (content.empty()) return Fail(BerError::kBadInteger), BerBytes();
    // X.690 8.3.2: the first nine bits shall not all be ones or all be zeros.
    if (rules_ == BerRules::kDer && content.size() > 1 &&
        ((content[0] == 0 && (content[1] & 0x80) == 0) ||
         (content[0] == 0xff && (content[1] & 0x80) != 0)))
        return Fail(BerError::kBadInteger), BerBytes();
    return content;
}

BerBytes BerReader::UnsignedInteger(BerTag tag) {
    BerBytes bytes = IntegerBytes(tag);
    if (failed_) return {};
    if ((bytes[0] & 0x80) != 0) return Fail(BerError::kNegativeInteger), BerBytes();
    while (!bytes.empty() && bytes[0] == 0)
        bytes = bytes.subspan(1);
    return bytes;
}

BigNum BerReader::BigInteger(BerTag tag) {
    BigNum number;
    const BerBytes bytes = IntegerBytes(tag);
    if (failed_) return number;
    if (bytes.size() > BigNum::kMaxBits / 8 + 1) return Fail(BerError::kIntegerTooLarge), number;
    bool ok;
    if ((bytes[0] & 0x80) == 0) {
        ok = number.SetBytes(bytes.data(), bytes.size());
    } else {
        // The magnitude of a negative two's-complement value: invert and add one.
        SecureBytes magnitude(bytes.begin(), bytes.end());
        unsigned carry = 1;
        for (std::size_t i = magnitude.size(); i-- > 0;) {
            const unsigned sum = static_cast<std::uint8_t>(~magnitude[i]) + carry;
            magnitude[i] = static_cast<std::uint8_t>(sum);
            carry = sum >> 8;
        }
        ok = number.SetBytes(magnitude.data(), magnitude.size(), true);
    }
    if (!ok) {
        Fail(BerError::kIntegerTooLarge);
        number.SetZero();
    }
    return number;
}

std::int64_t BerReader::SmallInteger(BerTag tag) {
    const BerBytes bytes = IntegerBytes(tag);
    if (failed_) return 0;
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = (bytes[0] & 0x80) != 0 ? -1 : 0;
    for (std::uint8_t b : bytes) {
        if (value < kMin / 256 || value > (kMax - 255) / 256)
            return Fail(BerError::kIntegerTooLarge), 0;
        value = value * 256 + b;
    }
    return value;
}

void BerReader::Null() {
    const BerBytes content = Content(BerTag::Universal(kBerNull));
    if (!failed_ && !content.empty()) Fail(BerError::kBadNull);
}

BerBytes BerReader::ObjectIdentifierBytes() {
    const BerBytes content = Content(BerTag::Universal(kBerObjectIdentifier));
    if (failed_) return {};
    if (!OidWellFormed(content)) return Fail(BerError::kBadObjectIdentifier), BerBytes();
    return content;
}

std::string BerReader::ObjectIdentifier() {
    const BerBytes content = ObjectIdentifierBytes();
    std::string text;
    if (failed_) return text;
    // The encoding is well formed, so only an arc too large can fail here.
    if (!OidToText(content, &text)) Fail(BerError::kArcTooLarge);
    return text;
}

BerBitString BerReader::BitString(BerTag tag) {
    const BerBytes content = Content(tag);
    if (failed_) return {};
    // X.690 8.6.2: the initial octet counts the unused bits, 0 to 7, and 0 for an empty string.
    if (content.empty() || content[0] > 7 || (content.size() == 1 && content[0] != 0))
        return Fail(BerError::kBadBitString), BerBitString();
    BerBitString bits{content.subspan(1), content[0]};
    // X.690 11.2.1: DER sets every unused bit to zero.
    if (rules_ == BerRules::kDer && bits.unusedBits > 0 &&
        (bits.bytes.back() & ((1u << bits.unusedBits) - 1)) != 0)
        return Fail(BerError::kBadBitString), BerBitString();
    return bits;
}

BerBytes BerReader::OctetString(BerTag tag) {
    return Content(tag);
}

BerReader BerReader::BitStringReader() {
    const BerBitString bits = BitString();
    if (failed_) return Failed();
    if (bits.unusedBits != 0) {
        Fail(BerError::kBadBitString);
        return Failed();
    }
    return Child(bits.bytes);
}

BerReader BerReader::OctetStringReader() {
    const BerBytes bytes = OctetString();
    if (failed_) return Failed();
    return Child(bytes);
}

BerString BerReader::String() {
    BerElement element;
    if (failed_) return {};
    const BerError error = Header(&element);
    if (error != BerError::kNone) return Fail(error), BerString();
    if (element.tag.tagClass != BerClass::kUniversal)
        return Fail(BerError::kUnexpectedTag), BerString();
    switch (element.tag.number) {
        case kBerUtf8String:
        case kBerNumericString:
        case kBerPrintableString:
        case kBerT61String:
        case kBerIa5String:
        case kBerVisibleString:
        case kBerUniversalString:
        case kBerBmpString:
            break;
        default:
            return Fail(BerError::kUnexpectedTag), BerString();
    }
    if (element.tag.constructed) return Fail(BerError::kWrongForm), BerString();
    const std::size_t size = element.content.size();
    if ((element.tag.number == kBerBmpString && size % 2 != 0) ||
        (element.tag.number == kBerUniversalString && size % 4 != 0))
        return Fail(BerError::kBadString), BerString();
    at_ += element.encoding.size();
    return {element.tag.number, element.content};
}

std::int64_t BerReader::Time() {
    if (failed_) return 0;
    const BerTag next = PeekTag();
    const bool utc = next.tagClass == BerClass::kUniversal && next.number == kBerUtcTime;
    const BerBytes content = Content(BerTag::Universal(utc ? kBerUtcTime : kBerGeneralizedTime));
    if (failed_) return 0;
    std::int64_t seconds = 0;
    if (!ParseTime(content, utc, rules_, &seconds)) return Fail(BerError::kBadTime), 0;
    return seconds;
}

// ---- Object identifiers ----

bool OidToText(BerBytes encoded, std::string* text) {
    text->clear();
    if (!OidWellFormed(encoded)) return false;
    std::uint64_t value = 0;
    bool first = true;
    for (std::uint8_t b : encoded) {
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 7)) {
            text->clear();
            return false;
        }
        value = (value << 7) | (b & 0x7f);
        if ((b & 0x80) != 0) continue;
        if (first) {
            // The first subidentifier packs two arcs: 40 * first + second, the first being 0, 1
            // or 2 (X.690 8.19.4); only under 2 is the second arc below 40.
            const std::uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            text->append(std::to_string(top)).append(".").append(std::to_string(value - 40 * top));
            first = false;
        } else {
            text->append(".").append(std::to_string(value));
        }
        value = 0;
    }
    return true;
}

bool OidFromText(std::string_view dotted, std::vector<std::uint8_t>* encoded) {
    encoded->clear();
    std::vector<std::uint64_t> arcs;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = dotted.find('.', at);
        if (end == std::string_view::npos) end = dotted.size();
        const std::string_view digits = dotted.substr(at, end - at);
        if (digits.empty() || (digits.size() > 1 && digits[0] == '0')) return false;
        std::uint64_t arc = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            const auto digit = static_cast<std::uint64_t>(c - '0');
            if (arc > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
            arc = arc * 10 + digit;
        }
        arcs.push_back(arc);
        if (end == dotted.size()) break;
        at = end + 1;
    }
    if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] > 39) ||
        arcs[1] > std::numeric_limits<std::uint64_t>::max() - 80)
        return false;
    arcs[1] += arcs[0] * 40;
    for (std::size_t i = 1; i < arcs.size(); ++i) {
        std::uint8_t digits[10];
        int count = 0;
        std::uint64_t arc = arcs[i];
        do {
            digits[count++] = static_cast<std::uint8_t>(arc & 0x7f);
            arc >>= 7;
        } while (arc != 0);
        while (count-- > 0)
            encoded->push_back(static_cast<std::uint8_t>(digits[count] | (count > 0 ? 0x80 : 0)));
    }
    return true;
}

bool OidEquals(BerBytes encoded, std::string_view dotted) {
    std::vector<std::uint8_t> expected;
    return OidFromText(dotted, &expected) &&
           std::equal(encoded.begin(), encoded.end(), expected.begin(), expected.end());
}

// ---- Character strings ----

bool BerStringToUtf8(const BerString& string, std::string* utf8) {
    utf8->clear();
    bool ok = true;
    switch (string.type) {
        case kBerUtf8String:
            ok = ValidUtf8(string.bytes);
            if (ok) utf8->assign(string.bytes.begin(), string.bytes.end());
            break;
        case kBerNumericString:
        case kBerPrintableString:
        case kBerIa5String:
        case kBerVisibleString:
            for (std::uint8_t b : string.bytes)
                ok = ok && b != 0 && b < 0x80;
            if (ok) utf8->assign(string.bytes.begin(), string.bytes.end());
            break;
        case kBerT61String:
            for (std::uint8_t b : string.bytes) {
                ok = ok && b != 0;
                AppendUtf8(b, utf8);
            }
            break;
        case kBerBmpString:
            ok = WideToUtf8(string.bytes, 2, utf8);
            break;
        case kBerUniversalString:
            ok = WideToUtf8(string.bytes, 4, utf8);
            break;
        default:
            ok = false;
    }
    if (!ok) utf8->clear();
    return ok;
}

}  // namespace tarnwick
