// BER and DER from untrusted peers and files: the first byte picks the rules, the rest is walked
// element by element, every typed reader tried on every element and every constructed or
// encapsulating element entered. What a reader accepts must obey the encoding's rules; anything
// else aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/ber.h"
#include "fuzz/fuzz_util.h"

namespace {

using namespace tarnwick;
using fuzzing::Check;

bool Within(BerBytes inner, BerBytes outer) {
    return inner.data() >= outer.data() &&
           inner.data() + inner.size() <= outer.data() + outer.size();
}

void Walk(BerReader reader);

// A typed read on a copy of the reader: it succeeds only on its own tag and then moves past
// exactly the element.
template <typename Read>
bool Try(const BerReader& reader, const BerElement& element, Read read) {
    BerReader copy = reader;
    read(copy);
    Check(copy.failed() || copy.left() == reader.left() - element.encoding.size());
    return !copy.failed();
}

void TypedReads(const BerReader& reader, const BerElement& e) {
    const bool der = reader.rules() == BerRules::kDer;
    const auto universal = [&](std::uint32_t number) { return e.tag == BerTag::Universal(number); };

    BerReader r = reader;
    const BerBytes integer = r.IntegerBytes(e.tag);
    if (!r.failed()) {
        Check(!integer.empty() && integer.data() == e.content.data());
        BerReader big = reader;
        const BigNum value = big.BigInteger(e.tag);
        if (!big.failed() && der) {
            // DER integers are the shortest two's complement: writing the value back at the
            // same length must give the same octets.
            std::vector<std::uint8_t> back(integer.size());
            Check(value.ToBytes(back.data(), back.size()));
            Check(std::equal(back.begin(), back.end(), integer.begin(), integer.end()));
        }
        BerReader small = reader;
        const std::int64_t number = small.SmallInteger(e.tag);
        if (!small.failed()) {
            BigNum fromSmall;
            Check(fromSmall.SetDecimal(std::to_string(number)) && fromSmall == value);
        }
        BerReader magnitude = reader;
        const BerBytes bytes = magnitude.UnsignedInteger(e.tag);
        Check(magnitude.failed() == ((integer[0] & 0x80) != 0));
        if (!magnitude.failed()) {
            Check(bytes.empty() || bytes[0] != 0);
            BigNum unsignedValue;
            Check(big.failed() ||
                  (unsignedValue.SetBytes(bytes.data(), bytes.size()) && unsignedValue == value));
        }
    }
    if (Try(reader, e, [&](BerReader& c) { c.Boolean(e.tag); }))
        Check(e.content.size() == 1 && (!der || e.content[0] == 0 || e.content[0] == 0xff));
    if (Try(reader, e, [](BerReader& c) { c.Null(); }))
        Check(universal(kBerNull) && e.content.empty());

    BerReader oid = reader;
    const std::string text = oid.ObjectIdentifier();
    if (!oid.failed()) {
        std::vector<std::uint8_t> encoded;
        Check(OidFromText(text, &encoded));
        Check(std::equal(encoded.begin(), encoded.end(), e.content.begin(), e.content.end()));
        Check(OidEquals(e.content, text));
    }

    BerReader bits = reader;
    const BerBitString bitString = bits.BitString(e.tag);
    if (!bits.failed()) {
        Check(bitString.unusedBits >= 0 && bitString.unusedBits <= 7);
        Check(bitString.bytes.size() + 1 == e.content.size());
        Check(!bitString.bytes.empty() || bitString.unusedBits == 0);
    }

    BerReader strings = reader;
    const BerString string = strings.String();
    if (!strings.failed()) {
        Check(e.tag.tagClass == BerClass::kUniversal && !e.tag.constructed &&
              e.tag.number == string.type);
        std::string utf8;
        if (BerStringToUtf8(string, &utf8)) Check(utf8.find('\0') == std::string::npos);
    }

    BerReader times = reader;
    const std::int64_t seconds = times.Time();
    if (!times.failed()) {
        // Year 0000 with the largest offset back to 9999 with the largest offset forward.
        Check(seconds >= -62167219200 - 86400 && seconds <= 253402300799 + 86400);
        Check(universal(kBerUtcTime) || universal(kBerGeneralizedTime));
    }

    // Encapsulated encodings are walked like any other.
    BerReader octets = reader;
    BerReader inside = octets.OctetStringReader();
    if (!octets.failed()) Walk(inside);
    BerReader bitsInside = reader;
    BerReader insideBits = bitsInside.BitStringReader();
    if (!bitsInside.failed()) Walk(insideBits);
}

void Walk(BerReader reader) {
    Check(reader.depth() <= BerReader::kMaxDepth);
    while (!reader.AtEnd()) {
        const std::size_t before = reader.left();
        BerReader probe = reader;
        const BerElement e = probe.Any();
        if (probe.failed()) {
            // A malformed header fails every reader the same way.
            BerReader again = reader;
            again.PeekTag();
            Check(again.failed() && again.error() == probe.error());
            return;
        }
        Check(e.encoding.size() <= before && probe.left() == before - e.encoding.size());
        Check(Within(e.content, e.encoding) &&
              e.content.data() + e.content.size() == e.encoding.data() + e.encoding.size());
        Check(e.tag.number <= BerReader::kMaxTagNumber);

        TypedReads(reader, e);
        if (e.tag.constructed) {
            BerReader parent = reader;
            BerReader child = parent.Enter(e);
            if (parent.failed())
                Check(parent.error() == BerError::kTooDeep &&
                      reader.depth() == BerReader::kMaxDepth);
            else
                Walk(child);
        }
        reader.Skip();
        Check(!reader.failed());
    }
    Check(reader.done());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const BerRules rules = (data[0] & 1) != 0 ? BerRules::kBer : BerRules::kDer;
    Walk(BerReader(data + 1, size - 1, rules));
    return 0;
}
