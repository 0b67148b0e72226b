#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "crypto/ber.h"
#include "openssl_objects.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::BnHex;
using testing::FromHex;
using testing::OpenSslPtr;
using testing::ReadVectors;
using testing::TestRandom;
using testing::TestVector;
using testing::ToHex;

using Bytes = std::vector<std::uint8_t>;

// DER of an OpenSSL object through its i2d function.
template <typename T, typename F>
Bytes Der(T* object, F i2d) {
    unsigned char* out = nullptr;
    const int n = i2d(object, &out);
    Bytes bytes(out, out + (n > 0 ? n : 0));
    OPENSSL_free(out);
    return bytes;
}

// ---- Differential tests against OpenSSL's encoder on random values ----

TEST(BerTest, IntegersAgreeWithOpenSsl) {
    TestRandom random(690);
    for (int round = 0; round < 2000; ++round) {
        OpenSslPtr<BIGNUM> bn(BN_new());
        const int bits = static_cast<int>(random.Below(600));
        BN_rand(bn.get(), bits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
        BN_set_negative(bn.get(), static_cast<int>(random.Below(2)));
        ASN1_INTEGER* integer = BN_to_ASN1_INTEGER(bn.get(), nullptr);
        const Bytes der = Der(integer, i2d_ASN1_INTEGER);

        const BigNum value = BerReader(der.data(), der.size()).BigInteger();
        EXPECT_EQ(value.ToHex(), BnHex(bn.get())) << ToHex(der);
        std::int64_t expected = 0;
        BerReader small(der.data(), der.size());
        const std::int64_t got = small.SmallInteger();
        if (ASN1_INTEGER_get_int64(&expected, integer) == 1) {
            EXPECT_TRUE(small.done());
            EXPECT_EQ(got, expected);
        } else {
            EXPECT_EQ(small.error(), BerError::kIntegerTooLarge);
        }
        ASN1_INTEGER_free(integer);
    }
}

TEST(BerTest, ObjectIdentifiersAgreeWithOpenSsl) {
    TestRandom random(819);
    for (int round = 0; round < 2000; ++round) {
        const std::uint64_t first = random.Below(3);
        const std::uint64_t second = first < 2         ? random.Below(40)
                                     : random.Below(2) ? random.Below(100)
                                                       : random.Next();
        std::string text = std::to_string(first) + "." + std::to_string(second);
        const std::size_t arcs = random.Below(10);
        for (std::size_t i = 0; i < arcs; ++i) {
            std::uint64_t arc = random.Below(4) == 0
                                    ? (std::uint64_t{random.Next()} << 32) | random.Next()
                                    : random.Below(300);
            text += "." + std::to_string(arc);
        }
        ASN1_OBJECT* object = OBJ_txt2obj(text.c_str(), 1);
        ASSERT_NE(object, nullptr) << text;
        const Bytes der = Der(object, i2d_ASN1_OBJECT);
        BerReader reader(der.data(), der.size());
        EXPECT_EQ(reader.ObjectIdentifier(), text);
        EXPECT_TRUE(reader.done());
        Bytes encoded;
        ASSERT_TRUE(OidFromText(text, &encoded));
        EXPECT_EQ(ToHex(encoded), ToHex(Bytes(der.begin() + 2, der.end())));
        EXPECT_TRUE(OidEquals(BerBytes(der).subspan(2), text));
        ASN1_OBJECT_free(object);
    }
}

TEST(BerTest, TimesAgreeWithOpenSsl) {
    TestRandom random(5280);
    // 1900-01-01 to 9999-12-31; OpenSSL picks UTCTime for 1950 to 2049.
    const std::int64_t from = -2208988800, to = 253402300799;
    for (int round = 0; round < 3000; ++round) {
        const std::int64_t t = from + static_cast<std::int64_t>(
                                          ((std::uint64_t{random.Next()} << 32) | random.Next()) %
                                          static_cast<std::uint64_t>(to - from));
        ASN1_TIME* time = ASN1_TIME_adj(nullptr, 0, static_cast<int>(t / 86400), t % 86400);
        ASSERT_NE(time, nullptr);
        const Bytes der = Der(time, i2d_ASN1_TIME);
        BerReader reader(der.data(), der.size());
        EXPECT_EQ(reader.Time(), t) << std::string(der.begin() + 2, der.end());
        EXPECT_TRUE(reader.done());
        ASN1_TIME_free(time);
    }
}

// ---- Malformed and boundary inputs ----

BerRules Rules(const TestVector& v) {
    return v.Word("Rules") == "DER" ? BerRules::kDer : BerRules::kBer;
}

// The malformed and boundary encodings of ber.vec, each with one reader call and the reason.
TEST(BerTest, MalformedInputsFailWithTheirReason) {
    using Call = std::function<void(BerReader&)>;
    const std::map<std::string, Call> calls = {
        {"Skip", [](BerReader& r) { r.Skip(); }},
        {"IntegerBytes", [](BerReader& r) { r.IntegerBytes(); }},
        {"SmallInteger", [](BerReader& r) { r.SmallInteger(); }},
        {"Boolean", [](BerReader& r) { r.Boolean(); }},
        {"Null", [](BerReader& r) { r.Null(); }},
        {"ObjectIdentifierBytes", [](BerReader& r) { r.ObjectIdentifierBytes(); }},
        {"ObjectIdentifier", [](BerReader& r) { r.ObjectIdentifier(); }},
        {"BitString", [](BerReader& r) { r.BitString(); }},
        {"String", [](BerReader& r) { r.String(); }},
        {"Sequence", [](BerReader& r) { r.Sequence(); }},
        {"OctetString", [](BerReader& r) { r.OctetString(); }},
        {"BitStringReader", [](BerReader& r) { r.BitStringReader(); }},
    };
    int count = 0;
    for (const TestVector& v : ReadVectors("ber.vec")) {
        if (v.group != "Read") continue;
        SCOPED_TRACE(v.where);
        ++count;
        const Bytes bytes = v.Bytes("In");
        BerReader reader(bytes.data(), bytes.size(), Rules(v));
        calls.at(v.Word("Read"))(reader);
        const BerError error = reader.error();
        EXPECT_EQ(BerErrorText(error), v.Text("Error"));
        if (error == BerError::kNone || error == BerError::kTrailingData) continue;
        // A failed reader is at its end, gives empty values, and keeps its first error.
        EXPECT_TRUE(reader.AtEnd());
        EXPECT_TRUE(reader.Sequence().failed());
        EXPECT_EQ(reader.SmallInteger(), 0);
        EXPECT_EQ(reader.error(), error);
    }
    EXPECT_EQ(count, 52);
}

TEST(BerTest, TimesAreValidated) {
    int count = 0;
    for (const TestVector& v : ReadVectors("ber.vec")) {
        if (v.group != "Time") continue;
        SCOPED_TRACE(v.where);
        ++count;
        const std::string text = v.Text("In");
        Bytes bytes = {v.Bytes("Tag")[0], static_cast<std::uint8_t>(text.size())};
        bytes.insert(bytes.end(), text.begin(), text.end());
        BerReader reader(bytes.data(), bytes.size(), Rules(v));
        const std::int64_t seconds = reader.Time();
        if (!v.Has("Seconds")) {
            EXPECT_EQ(reader.error(), BerError::kBadTime);
        } else {
            EXPECT_TRUE(reader.done());
            EXPECT_EQ(seconds, v.Int("Seconds"));
        }
    }
    EXPECT_EQ(count, 25);
}

TEST(BerTest, NestingIsCapped) {
    // 10 000 SEQUENCEs, each holding the next, written from the inside out.
    Bytes reversed;
    for (int level = 0; level < 10000; ++level) {
        const std::size_t length = reversed.size();
        if (length < 0x80) {
            reversed.push_back(static_cast<std::uint8_t>(length));
        } else {
            int count = 0;
            for (std::size_t l = length; l != 0; l >>= 8, ++count)
                reversed.push_back(static_cast<std::uint8_t>(l));
            reversed.push_back(static_cast<std::uint8_t>(0x80 | count));
        }
        reversed.push_back(0x30);
    }
    const Bytes bytes(reversed.rbegin(), reversed.rend());
    BerReader top(bytes.data(), bytes.size());
    BerReader at = top;
    int depth = 0;
    for (;;) {
        BerReader inner = at.Sequence();
        if (inner.failed()) break;
        at = inner;
        ++depth;
    }
    EXPECT_EQ(depth, BerReader::kMaxDepth);
    EXPECT_EQ(at.error(), BerError::kTooDeep);
    top.Skip();  // skipping needs no descent
    EXPECT_TRUE(top.done());
}

TEST(BerTest, StringConversions) {
    struct Case {
        std::uint32_t type;
        const char* hex;
        const char* utf8;  // nullptr: refused
    } cases[] = {
        {kBerPrintableString, "414243", "ABC"},
        {kBerIa5String, "41004243", nullptr},  // a NUL would cut the name short in C
        {kBerIa5String, "41e9", nullptr},
        {kBerT61String, "4de9", "M\xc3\xa9"},
        {kBerUtf8String, "e282ac", "\xe2\x82\xac"},
        {kBerUtf8String, "c0af", nullptr},      // overlong "/"
        {kBerUtf8String, "eda080", nullptr},    // a surrogate
        {kBerUtf8String, "f4908080", nullptr},  // above U+10FFFF
        {kBerUtf8String, "e282", nullptr},
        {kBerBmpString, "004100e9", "A\xc3\xa9"},
        {kBerBmpString, "d83d", nullptr},
        {kBerUniversalString, "0001f511", "\xf0\x9f\x94\x91"},
        {kBerUniversalString, "00110000", nullptr},
        {kBerOctetString, "41", nullptr},
    };
    for (const auto& c : cases) {
        const Bytes bytes = FromHex(c.hex);
        std::string out;
        EXPECT_EQ(BerStringToUtf8({c.type, bytes}, &out), c.utf8 != nullptr) << c.hex;
        EXPECT_EQ(out, c.utf8 ? c.utf8 : "") << c.hex;
    }
}

TEST(BerTest, ObjectIdentifierText) {
    Bytes encoded;
    for (const char* bad : {"", "1", "3.1", "1.40", "1..2", "1.02", "1.2.", "1.2.x",
                            "1.2.18446744073709551616", "2.18446744073709551600"})
        EXPECT_FALSE(OidFromText(bad, &encoded)) << bad;
    ASSERT_TRUE(OidFromText("2.999.3", &encoded));
    EXPECT_EQ(ToHex(encoded), "883703");  // X.690's own example
    std::string text;
    EXPECT_TRUE(OidToText(encoded, &text));
    EXPECT_EQ(text, "2.999.3");
    EXPECT_FALSE(OidEquals(encoded, "2.999"));
}

}  // namespace
}  // namespace tarnwick
