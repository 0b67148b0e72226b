// A bounded reader of BER and DER encodings: X.509 certificates, PKCS #1 and PKCS #8 private keys,
// DSA and EC keys, digest infos. Like WireReader it reads one element after another; a read that
// does not fit or finds the wrong type returns an empty value and fails the reader, keeping the
// first error. Check once after the last field: done() also insists that nothing is left over.
// Constructed elements give readers of their own over their content.
//
//   BerReader file(der.data(), der.size());
//   BerReader cert = file.Sequence();
//   BerBytes signedPart;
//   BerReader tbs = cert.Sequence(&signedPart);          // signedPart: the bytes as they stand
//   std::int64_t version = 0;
//   if (tbs.NextIs(BerTag::Context(0, true))) {
//       BerReader v = tbs.Explicit(0);
//       version = v.SmallInteger();
//       if (!v.done()) ...
//   }
//   BerBytes serial = tbs.IntegerBytes();
//   BerReader algorithm = tbs.Sequence();
//   if (OidEquals(algorithm.ObjectIdentifierBytes(), "1.2.840.113549.1.1.5")) ...
//   ...
//   BerReader names = tbs.Sequence();
//   while (!names.AtEnd()) {                             // also ends on failure
//       BerReader rdn = names.Set();
//       ...
//   }
//   if (!tbs.done()) Report(BerErrorText(tbs.error()));
//
// Lengths, tag numbers and nesting are capped; indefinite lengths are refused (DER has none, and
// nothing read here is produced with them). Readers borrow the bytes and never allocate, except
// for the text of object identifiers and big numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/bignum.h"

namespace tarnwick {

using BerBytes = std::span<const std::uint8_t>;

enum class BerClass : std::uint8_t { kUniversal = 0, kApplication = 1, kContext = 2, kPrivate = 3 };

// Universal tag numbers of the types the readers know.
enum BerType : std::uint32_t {
    kBerBoolean = 1,
    kBerInteger = 2,
    kBerBitString = 3,
    kBerOctetString = 4,
    kBerNull = 5,
    kBerObjectIdentifier = 6,
    kBerUtf8String = 12,
    kBerSequence = 16,
    kBerSet = 17,
    kBerNumericString = 18,
    kBerPrintableString = 19,
    kBerT61String = 20,
    kBerIa5String = 22,
    kBerUtcTime = 23,
    kBerGeneralizedTime = 24,
    kBerVisibleString = 26,
    kBerUniversalString = 28,
    kBerBmpString = 30,
};

struct BerTag {
    BerClass tagClass = BerClass::kUniversal;
    bool constructed = false;
    std::uint32_t number = 0;

    static constexpr BerTag Universal(std::uint32_t number, bool constructed = false) {
        return {BerClass::kUniversal, constructed, number};
    }
    // [number] as written in ASN.1: EXPLICIT tags are constructed, IMPLICIT ones take the form of
    // the type they replace.
    static constexpr BerTag Context(std::uint32_t number, bool constructed = false) {
        return {BerClass::kContext, constructed, number};
    }
    friend constexpr bool operator==(const BerTag&, const BerTag&) = default;
};

struct BerElement {
    BerTag tag;
    BerBytes content;   // the content octets
    BerBytes encoding;  // tag, length and content: the element as it stands
};

struct BerBitString {
    BerBytes bytes;      // the bits, the first in the top bit of the first byte
    int unusedBits = 0;  // low bits of the last byte that are not part of the string (0 to 7)
};

struct BerString {
    std::uint32_t type = 0;  // the universal tag: kBerUtf8String, kBerPrintableString, ...
    BerBytes bytes;          // the encoded characters, unconverted
};

enum class BerRules {
    // Distinguished rules: shortest lengths and integers, BOOLEAN true as FF, zero padding bits
    // in BIT STRINGs, times in the forms "YYMMDDHHMMSSZ" and "YYYYMMDDHHMMSSZ".
    kDer,
    // Basic rules for encoders that are careless but unambiguous: longer length fields and
    // integers, any non-zero BOOLEAN, any padding bits; times may omit the seconds (UTCTime),
    // carry fractions of a second (GeneralizedTime) or give an offset "+hhmm" / "-hhmm" for "Z".
    kBer,
};

enum class BerError : std::uint8_t {
    kNone,
    kTruncated,            // an element runs past the end of its data
    kIndefiniteLength,     // length octet 0x80
    kBadLength,            // more than 8 length octets, or the reserved 0xFF
    kNonMinimalLength,     // DER: a length not in its shortest form
    kBadTag,               // a tag number written in more octets than it needs
    kTagTooLarge,          // a tag number above kMaxTagNumber
    kUnexpectedTag,        // an element of another type than the one asked for
    kWrongForm,            // the asked type, but constructed where it should be primitive or back
    kTooDeep,              // constructed elements nested beyond kMaxDepth
    kTrailingData,         // bytes left after the last element (from error() only)
    kBadBoolean,           // not one octet, or (DER) neither 00 nor FF
    kBadInteger,           // no content octets, or (DER) a redundant leading octet
    kIntegerTooLarge,      // beyond the range of the asked form
    kNegativeInteger,      // negative where only non-negative values make sense
    kBadNull,              // NULL with content
    kBadObjectIdentifier,  // empty, a redundant 0x80 octet, or a last subidentifier cut short
    kArcTooLarge,          // an object identifier arc beyond 64 bits
    kBadBitString,         // no unused-bit count, a count above 7, or (DER) non-zero padding
    kBadString,            // a BMPString of odd length, a UniversalString not in 4-octet units
    kBadTime,              // not one of the accepted forms, or an impossible date or time
};

// A phrase for the user, such as "an element runs past the end of its data".
const char* BerErrorText(BerError error);

class BerReader {
  public:
    // Constructed elements deeper than this are refused: far more than any certificate or key
    // uses, and it bounds the recursion of callers that walk trees.
    static constexpr int kMaxDepth = 32;
    // Tag numbers that fit four base-128 octets; real ones stay below 31.
    static constexpr std::uint32_t kMaxTagNumber = (1u << 28) - 1;

    BerReader(const void* data, std::size_t length, BerRules rules = BerRules::kDer)
        : data_(static_cast<const std::uint8_t*>(data)), length_(length), rules_(rules) {}
    explicit BerReader(BerBytes bytes, BerRules rules = BerRules::kDer)
        : BerReader(bytes.data(), bytes.size(), rules) {}

    // ---- Any element ----
    // Nothing is left to read (true after a failure, so that loops over children end).
    bool AtEnd() const { return at_ == length_; }
    // The tag of the next element, without reading it; a default tag at the end. A malformed
    // element header fails the reader here.
    BerTag PeekTag();
    bool NextIs(BerTag tag) { return !AtEnd() && PeekTag() == tag && !failed_; }
    // The next element whatever its type; Skip() drops it.
    BerElement Any();
    void Skip() { Any(); }

    // ---- Constructed elements: a reader over the content, one level deeper ----
    // encoding (if given) receives the whole element as it stands.
    BerReader Constructed(BerTag tag, BerBytes* encoding = nullptr);
    BerReader Sequence(BerBytes* encoding = nullptr) {
        return Constructed(BerTag::Universal(kBerSequence, true), encoding);
    }
    BerReader Set(BerBytes* encoding = nullptr) {
        return Constructed(BerTag::Universal(kBerSet, true), encoding);
    }
    // [number] EXPLICIT: a reader over the tagged value.
    BerReader Explicit(std::uint32_t number) { return Constructed(BerTag::Context(number, true)); }
    // The content of a constructed element that Any() gave.
    BerReader Enter(const BerElement& element);

    // ---- Primitive elements; a tag argument reads an IMPLICIT tagged value of that type ----
    bool Boolean(BerTag tag = BerTag::Universal(kBerBoolean));
    // The two's-complement content octets of an INTEGER, as they stand.
    BerBytes IntegerBytes(BerTag tag = BerTag::Universal(kBerInteger));
    // The magnitude of a non-negative INTEGER without leading zero octets (empty for zero);
    // a negative value fails with kNegativeInteger.
    BerBytes UnsignedInteger(BerTag tag = BerTag::Universal(kBerInteger));
    // The value as a BigNum, negative values included; beyond BigNum::kMaxBits it fails.
    BigNum BigInteger(BerTag tag = BerTag::Universal(kBerInteger));
    // A value that fits 64 bits (versions, small counts).
    std::int64_t SmallInteger(BerTag tag = BerTag::Universal(kBerInteger));
    void Null();
    // The content octets of an OBJECT IDENTIFIER, checked (compare them with OidEquals).
    BerBytes ObjectIdentifierBytes();
    // Dotted text such as "2.5.4.3"; arcs beyond 64 bits fail with kArcTooLarge.
    std::string ObjectIdentifier();
    BerBitString BitString(BerTag tag = BerTag::Universal(kBerBitString));
    BerBytes OctetString(BerTag tag = BerTag::Universal(kBerOctetString));
    // Encodings inside a BIT STRING without unused bits (subject public keys) or an OCTET STRING
    // (extension values, PKCS #8 keys): a reader over them, one level deeper.
    BerReader BitStringReader();
    BerReader OctetStringReader();
    // Any of the character string types; the caller decides which it can read (BerStringToUtf8).
    BerString String();
    // UTCTime or GeneralizedTime as seconds since 1970-01-01 00:00 UTC. UTCTime years 50 to 99
    // are 1950 to 1999, 00 to 49 are 2000 to 2049 (RFC 5280).
    std::int64_t Time();
    // The content of a primitive element with this tag (IMPLICIT strings and the like).
    BerBytes Content(BerTag tag);

    // ---- State ----
    bool failed() const { return failed_; }
    // Every element fitted and every byte was read.
    bool done() const { return !failed_ && at_ == length_; }
    // Why done() is false: the first failure, else kTrailingData while bytes are left.
    BerError error() const {
        return failed_ ? error_ : at_ != length_ ? BerError::kTrailingData : BerError::kNone;
    }
    std::size_t left() const { return length_ - at_; }
    int depth() const { return depth_; }
    BerRules rules() const { return rules_; }

  private:
    // Reads the next element's header into element without moving; kNone or the reason.
    BerError Header(BerElement* element) const;
    // Reads the next element, which must have the tag; false (failed) otherwise.
    bool Take(BerTag tag, BerElement* element);
    BerReader Child(BerBytes content);
    void Fail(BerError error);
    BerReader Failed() const;

    const std::uint8_t* data_;
    std::size_t length_;
    std::size_t at_ = 0;
    BerRules rules_;
    int depth_ = 0;
    bool failed_ = false;
    BerError error_ = BerError::kNone;
};

// ---- Object identifiers ----
// The dotted text of encoded content; false for a malformed encoding or an arc beyond 64 bits.
bool OidToText(BerBytes encoded, std::string* text);
// The content octets for dotted text ("1.2.840.113549"); false for text that is not an object
// identifier (fewer than two arcs, a first arc above 2, a second above 39 under 0 and 1, empty
// arcs or leading zeros, arcs beyond 64 bits).
bool OidFromText(std::string_view dotted, std::vector<std::uint8_t>* encoded);
// The encoded content denotes the identifier in dotted text.
bool OidEquals(BerBytes encoded, std::string_view dotted);

// ---- Character strings ----
// The string as UTF-8: UTF8String checked, PrintableString, IA5String, VisibleString and
// NumericString as ASCII, T61String read as ISO 8859-1 (what its writers meant in practice),
// BMPString as UCS-2 and UniversalString as UCS-4, both big-endian. False for other types,
// invalid characters, and any NUL character (a NUL in a name hides what follows from C strings).
bool BerStringToUtf8(const BerString& string, std::string* utf8);

}  // namespace tarnwick
