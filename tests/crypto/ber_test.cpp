#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "crypto/ber.h"
#include "crypto/pem.h"
#include "openssl_objects.h"
#include "test_helpers.h"
#include "vectors.h"

namespace tarnwick {
namespace {

using testing::BioText;
using testing::BnHex;
using testing::FromHex;
using testing::KeyNumber;
using testing::MakeKey;
using testing::OpenSslPtr;
using testing::ReadVectors;
using testing::TestRandom;
using testing::TestVector;
using testing::ToHex;

using Bytes = std::vector<std::uint8_t>;

std::string Hex(BerBytes bytes) {
    return ToHex(bytes.data(), bytes.size());
}

// DER of an OpenSSL object through its i2d function.
template <typename T, typename F>
Bytes Der(T* object, F i2d) {
    unsigned char* out = nullptr;
    const int n = i2d(object, &out);
    Bytes bytes(out, out + (n > 0 ? n : 0));
    OPENSSL_free(out);
    return bytes;
}

std::string OidText(const ASN1_OBJECT* object) {
    char text[256];
    OBJ_obj2txt(text, sizeof text, object, 1);
    return text;
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

// ---- Certificates and keys made by OpenSSL ----

struct NameEntry {
    std::string oid;
    std::uint32_t type;
    std::string utf8;
    bool operator==(const NameEntry&) const = default;
};

std::vector<NameEntry> ReadName(BerReader name) {
    std::vector<NameEntry> entries;
    while (!name.AtEnd()) {
        BerReader rdn = name.Set();
        while (!rdn.AtEnd()) {
            BerReader attribute = rdn.Sequence();
            NameEntry entry;
            entry.oid = attribute.ObjectIdentifier();
            const BerString value = attribute.String();
            entry.type = value.type;
            EXPECT_TRUE(BerStringToUtf8(value, &entry.utf8)) << entry.oid;
            EXPECT_TRUE(attribute.done());
            entries.push_back(entry);
        }
        EXPECT_TRUE(rdn.done());
    }
    EXPECT_TRUE(name.done()) << BerErrorText(name.error());
    return entries;
}

std::vector<NameEntry> OpenSslName(const X509_NAME* name) {
    std::vector<NameEntry> entries;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, data);
        entries.push_back({OidText(X509_NAME_ENTRY_get_object(entry)),
                           static_cast<std::uint32_t>(ASN1_STRING_type(data)),
                           std::string(reinterpret_cast<char*>(utf8), n > 0 ? n : 0)});
        OPENSSL_free(utf8);
    }
    return entries;
}

std::int64_t OpenSslSeconds(const ASN1_TIME* time) {
    std::tm tm{};
    ASN1_TIME_to_tm(time, &tm);
    return timegm(&tm);
}

// A self-signed certificate with every name string type, both time forms and extensions.
X509* MakeCertificate(EVP_PKEY* key) {
    X509* x = X509_new();
    X509_set_version(x, X509_VERSION_3);
    BIGNUM* serial = nullptr;
    BN_hex2bn(&serial, "C0FFEE0123456789ABCDEF0123456789ABCDEF01");
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x));
    BN_free(serial);
    X509_NAME* name = X509_get_subject_name(x);
    auto add = [&](const char* field, int type, const std::string& value) {
        X509_NAME_add_entry_by_txt(name, field, type,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0);
    };
    add("C", V_ASN1_PRINTABLESTRING, "DE");
    add("L", V_ASN1_T61STRING, "M\xfcnchen");
    add("O", V_ASN1_UTF8STRING, "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac \xf0\x9f\x94\x91");
    add("OU", V_ASN1_BMPSTRING, std::string("\0U\0n\0i\0t\0\xe9", 10));
    add("CN", V_ASN1_UTF8STRING, "*.example.test");
    add("emailAddress", V_ASN1_IA5STRING, "ca@example.test");
    X509_set_issuer_name(x, name);
    ASN1_TIME_set_string(X509_getm_notBefore(x), "991231235959Z");
    ASN1_TIME_set_string(X509_getm_notAfter(x), "20600229120000Z");
    X509_set_pubkey(x, key);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                              std::pair{NID_subject_alt_name, "DNS:a.example.test,IP:127.0.0.1"},
                              std::pair{NID_subject_key_identifier, "hash"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
    }
    X509_sign(x, key, EVP_sha256());
    return x;
}

TEST(BerTest, CertificateFieldsMatchOpenSsl) {
    auto key = MakeKey("RSA");
    std::unique_ptr<X509, decltype(&X509_free)> x(MakeCertificate(key.get()), X509_free);
    ASSERT_EQ(ASN1_STRING_type(X509_get0_notBefore(x.get())), V_ASN1_UTCTIME);
    ASSERT_EQ(ASN1_STRING_type(X509_get0_notAfter(x.get())), V_ASN1_GENERALIZEDTIME);
    const Bytes der = Der(x.get(), i2d_X509);

    BerReader file(der.data(), der.size());
    BerReader cert = file.Sequence();
    BerBytes signedPart;
    BerReader tbs = cert.Sequence(&signedPart);
    const Bytes expectedTbs = Der(x.get(), i2d_re_X509_tbs);
    EXPECT_EQ(Hex(signedPart), ToHex(expectedTbs));

    ASSERT_TRUE(tbs.NextIs(BerTag::Context(0, true)));
    BerReader version = tbs.Explicit(0);
    EXPECT_EQ(version.SmallInteger(), 2);
    EXPECT_TRUE(version.done());
    EXPECT_EQ(Hex(tbs.UnsignedInteger()), "c0ffee0123456789abcdef0123456789abcdef01");
    BerReader algorithm = tbs.Sequence();
    EXPECT_EQ(algorithm.ObjectIdentifier(), "1.2.840.113549.1.1.11");
    algorithm.Null();
    EXPECT_TRUE(algorithm.done());

    const auto issuer = ReadName(tbs.Sequence());
    EXPECT_EQ(issuer, OpenSslName(X509_get_issuer_name(x.get())));
    ASSERT_EQ(issuer.size(), 6u);
    EXPECT_EQ(issuer[1].type, kBerT61String);
    EXPECT_EQ(issuer[3].type, kBerBmpString);
    EXPECT_EQ(issuer[3].utf8, "Unit\xc3\xa9");

    BerReader validity = tbs.Sequence();
    const std::int64_t notBefore = validity.Time();
    const std::int64_t notAfter = validity.Time();
    EXPECT_TRUE(validity.done());
    EXPECT_EQ(notBefore, OpenSslSeconds(X509_get0_notBefore(x.get())));
    EXPECT_EQ(notBefore, 946684799);  // 1999-12-31 23:59:59
    EXPECT_EQ(notAfter, OpenSslSeconds(X509_get0_notAfter(x.get())));

    EXPECT_EQ(ReadName(tbs.Sequence()), OpenSslName(X509_get_subject_name(x.get())));

    BerReader publicKeyInfo = tbs.Sequence();
    BerReader keyAlgorithm = publicKeyInfo.Sequence();
    EXPECT_TRUE(OidEquals(keyAlgorithm.ObjectIdentifierBytes(), "1.2.840.113549.1.1.1"));
    keyAlgorithm.Null();
    BerReader rsaKey = publicKeyInfo.BitStringReader().Sequence();
    EXPECT_EQ(rsaKey.BigInteger().ToHex(), KeyNumber(key.get(), "n"));
    EXPECT_EQ(rsaKey.BigInteger().ToHex(), KeyNumber(key.get(), "e"));
    EXPECT_TRUE(rsaKey.done() && keyAlgorithm.done() && publicKeyInfo.done());

    BerReader extensions = tbs.Explicit(3).Sequence();
    int count = 0;
    while (!extensions.AtEnd()) {
        X509_EXTENSION* expected = X509_get_ext(x.get(), count++);
        BerReader extension = extensions.Sequence();
        const std::string oid = extension.ObjectIdentifier();
        EXPECT_EQ(oid, OidText(X509_EXTENSION_get_object(expected)));
        bool critical = false;
        if (extension.NextIs(BerTag::Universal(kBerBoolean))) critical = extension.Boolean();
        EXPECT_EQ(critical, X509_EXTENSION_get_critical(expected) == 1);
        if (oid == "2.5.29.17") {
            // GeneralNames: [2] IMPLICIT IA5String, [7] IMPLICIT OCTET STRING.
            BerReader copy = extension;
            BerReader names = copy.OctetStringReader().Sequence();
            const BerBytes dns = names.Content(BerTag::Context(2));
            EXPECT_EQ(std::string(dns.begin(), dns.end()), "a.example.test");
            EXPECT_EQ(Hex(names.OctetString(BerTag::Context(7))), "7f000001");
            EXPECT_TRUE(names.done());
        }
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(expected);
        EXPECT_EQ(Hex(extension.OctetString()),
                  ToHex(data->data, static_cast<std::size_t>(data->length)));
        EXPECT_TRUE(extension.done());
    }
    EXPECT_EQ(count, X509_get_ext_count(x.get()));
    EXPECT_TRUE(extensions.done());
    EXPECT_TRUE(tbs.done()) << BerErrorText(tbs.error());

    BerReader outerAlgorithm = cert.Sequence();
    EXPECT_EQ(outerAlgorithm.ObjectIdentifier(), "1.2.840.113549.1.1.11");
    const BerBitString signature = cert.BitString();
    const ASN1_BIT_STRING* expectedSignature = nullptr;
    X509_get0_signature(&expectedSignature, nullptr, x.get());
    EXPECT_EQ(signature.unusedBits, 0);
    EXPECT_EQ(Hex(signature.bytes),
              ToHex(expectedSignature->data, static_cast<std::size_t>(expectedSignature->length)));
    EXPECT_TRUE(cert.done());
    EXPECT_TRUE(file.done());
}

SecureBytes PemBody(const std::string& text, const std::string& label) {
    PemReader reader(text);
    PemBlock block;
    EXPECT_EQ(reader.Next(&block), PemStatus::kOk);
    EXPECT_EQ(block.label, label);
    return block.body;
}

// The traditional (PKCS #1, DSA, SEC 1) private-key structures, field by field against OpenSSL.
void ExpectTraditionalKey(const std::string& type, EVP_PKEY* key, BerReader body) {
    BerReader fields = body.Sequence();
    if (type == "EC") {
        EXPECT_EQ(fields.SmallInteger(), 1);
        const BerBytes secret = fields.OctetString();
        BigNum priv;
        ASSERT_TRUE(priv.SetBytes(secret.data(), secret.size()));
        EXPECT_EQ(priv.ToHex(), KeyNumber(key, "priv"));
        BerReader curve = fields.Explicit(0);
        EXPECT_EQ(curve.ObjectIdentifier(), "1.2.840.10045.3.1.7");
        BerReader publicKey = fields.Explicit(1);
        const BerBitString point = publicKey.BitString();
        std::uint8_t expected[100];
        std::size_t length = 0;
        ASSERT_EQ(EVP_PKEY_get_octet_string_param(key, "pub", expected, sizeof expected, &length),
                  1);
        EXPECT_EQ(Hex(point.bytes), ToHex(expected, length));
        EXPECT_TRUE(curve.done() && publicKey.done());
    } else {
        const std::vector<const char*> names =
            type == "RSA" ? std::vector<const char*>{"n",
                                                     "e",
                                                     "d",
                                                     "rsa-factor1",
                                                     "rsa-factor2",
                                                     "rsa-exponent1",
                                                     "rsa-exponent2",
                                                     "rsa-coefficient1"}
                          : std::vector<const char*>{"p", "q", "g", "pub", "priv"};
        EXPECT_EQ(fields.SmallInteger(), 0);
        for (const char* name : names)
            EXPECT_EQ(fields.BigInteger().ToHex(), KeyNumber(key, name)) << type << " " << name;
    }
    EXPECT_TRUE(fields.done()) << type << ": " << BerErrorText(fields.error());
    EXPECT_TRUE(body.done());
}

TEST(BerTest, TraditionalPemKeysMatchOpenSsl) {
    for (const std::string type : {"RSA", "DSA", "EC"}) {
        auto key = MakeKey(type);
        ASSERT_NE(key, nullptr) << type;
        OpenSslPtr<BIO> bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_PrivateKey_traditional(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                             nullptr);
        const SecureBytes der = PemBody(BioText(bio.get()), type + " PRIVATE KEY");
        ExpectTraditionalKey(type, key.get(), BerReader(der.data(), der.size()));
    }
}

TEST(BerTest, Pkcs8KeysMatchOpenSsl) {
    auto key = MakeKey("RSA");
    OpenSslPtr<BIO> plain(BIO_new(BIO_s_mem()));
    PEM_write_bio_PKCS8PrivateKey(plain.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    const SecureBytes der = PemBody(BioText(plain.get()), "PRIVATE KEY");
    BerReader info = BerReader(der.data(), der.size()).Sequence();
    EXPECT_EQ(info.SmallInteger(), 0);
    BerReader algorithm = info.Sequence();
    EXPECT_EQ(algorithm.ObjectIdentifier(), "1.2.840.113549.1.1.1");
    algorithm.Null();
    EXPECT_TRUE(algorithm.done());
    ExpectTraditionalKey("RSA", key.get(), info.OctetStringReader());
    EXPECT_TRUE(info.done());

    // The encrypted form: PBES2 with PBKDF2 and AES-256-CBC around the encrypted octets.
    OpenSslPtr<BIO> encrypted(BIO_new(BIO_s_mem()));
    i2d_PKCS8PrivateKey_bio(encrypted.get(), key.get(), EVP_aes_256_cbc(), nullptr, 0, nullptr,
                            const_cast<char*>("pass"));
    const std::string encryptedDer = BioText(encrypted.get());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(encryptedDer.data());
    X509_SIG* sig = d2i_X509_SIG(nullptr, &p, static_cast<long>(encryptedDer.size()));
    ASSERT_NE(sig, nullptr);
    const X509_ALGOR* expectedAlgorithm = nullptr;
    const ASN1_OCTET_STRING* expectedData = nullptr;
    X509_SIG_get0(sig, &expectedAlgorithm, &expectedData);

    BerReader outer = BerReader(encryptedDer.data(), encryptedDer.size()).Sequence();
    BerReader scheme = outer.Sequence();
    const ASN1_OBJECT* expectedOid = nullptr;
    X509_ALGOR_get0(&expectedOid, nullptr, nullptr, expectedAlgorithm);
    EXPECT_EQ(scheme.ObjectIdentifier(), OidText(expectedOid));
    scheme.Skip();  // the PBES2 parameters
    EXPECT_EQ(Hex(outer.OctetString()),
              ToHex(expectedData->data, static_cast<std::size_t>(expectedData->length)));
    EXPECT_TRUE(scheme.done() && outer.done());
    X509_SIG_free(sig);
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
