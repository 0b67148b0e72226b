#include "ssl/certificate.h"

#include <fstream>
#include <iterator>
#include <new>
#include <span>
#include <string_view>

#include "crypto/pem.h"

namespace tarnwick {

namespace {

constexpr const char* kMd5WithRsa = "1.2.840.113549.1.1.4";
constexpr const char* kSha1WithRsa = "1.2.840.113549.1.1.5";
constexpr const char* kRsaEncryption = "1.2.840.113549.1.1.1";

struct NamedOid {
    const char* oid;
    const char* phrase;
};

// Signature algorithms a server may use that this version cannot check, by the words the user
// reads: "uses a SHA-256 signature".
constexpr NamedOid kSignatures[] = {
    {"1.2.840.113549.1.1.2", "an MD2"},
    {"1.2.840.113549.1.1.3", "an MD4"},
    {"1.2.840.113549.1.1.10", "an RSA-PSS"},
    {"1.2.840.113549.1.1.11", "a SHA-256"},
    {"1.2.840.113549.1.1.12", "a SHA-384"},
    {"1.2.840.113549.1.1.13", "a SHA-512"},
    {"1.2.840.113549.1.1.14", "a SHA-224"},
    {"1.2.840.10045.4.1", "an ECDSA"},
    {"1.2.840.10045.4.3.2", "an ECDSA SHA-256"},
    {"1.2.840.10045.4.3.3", "an ECDSA SHA-384"},
    {"1.2.840.10045.4.3.4", "an ECDSA SHA-512"},
    {"1.2.840.10040.4.3", "a DSA"},
    {"2.16.840.1.101.3.4.3.2", "a DSA SHA-256"},
    {"1.3.101.112", "an Ed25519"},
    {"1.3.101.113", "an Ed448"},
};

constexpr NamedOid kKeys[] = {
    {"1.2.840.10045.2.1", "an elliptic-curve key"},
    {"1.2.840.10040.4.1", "a DSA key"},
    {"1.2.840.113549.1.1.10", "an RSA-PSS key"},
    {"1.3.101.112", "an Ed25519 key"},
    {"1.3.101.113", "an Ed448 key"},
};

const char* Phrase(std::span<const NamedOid> table, const std::string& oid) {
    for (const NamedOid& row : table) {
        if (oid == row.oid) return row.phrase;
    }
    return nullptr;
}

const char* StringTypeName(std::uint32_t type) {
    switch (type) {
        case kBerUtf8String:
            return "UTF8String";
        case kBerBmpString:
            return "BMPString";
        case kBerUniversalString:
            return "UniversalString";
        case kBerVisibleString:
            return "VisibleString";
        case kBerNumericString:
            return "NumericString";
        default:
            return "unknown";
    }
}

}  // namespace

std::string CertificateName::Text() const {
    std::string text = "C=" + country + ", ST=" + state + ", L=" + locality +
                       ", O=" + organization + ", OU=" + unit + ", CN=" + common_name;
    if (!email.empty()) text += "/" + email;
    return text;
}

void Certificate::Reset() {
    issuer = {};
    subject = {};
    signature_algorithm.clear();
    not_before = not_after = 0;
    modulus.SetZero();
    exponent.SetZero();
    signature.SetZero();
    der_.clear();
    signed_offset_ = signed_length_ = 0;
    problem_.clear();
}

bool Certificate::Fail(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
    return false;
}

BerBytes Certificate::SignedPart() const {
    return BerBytes(der_.data() + signed_offset_, signed_length_);
}

bool Certificate::ReadName(BerReader& reader, CertificateName* name) {
    BerReader names = reader.Sequence();
    while (!names.AtEnd()) {
        BerReader rdn = names.Set();
        while (!rdn.AtEnd()) {
            BerReader attribute = rdn.Sequence();
            const std::string oid = attribute.ObjectIdentifier();
            if (attribute.failed()) break;
            BerReader probe = attribute;
            const BerString value = probe.String();
            if (probe.failed()) {
                attribute.Skip();  // not a string: nothing this version looks at
                if (!attribute.done()) break;
                continue;
            }
            attribute = probe;
            if (value.type != kBerPrintableString && value.type != kBerIa5String &&
                value.type != kBerT61String) {
                return Fail(std::string("uses ") + StringTypeName(value.type) +
                            " names, which this version cannot read");
            }
            std::string text;
            if (!BerStringToUtf8(value, &text)) {
                return Fail("has a name with a character this version cannot read");
            }
            if (oid == "2.5.4.6") {
                name->country = text;
            } else if (oid == "2.5.4.8") {
                name->state = text;
            } else if (oid == "2.5.4.7") {
                name->locality = text;
            } else if (oid == "2.5.4.10") {
                name->organization = text;
            } else if (oid == "2.5.4.11") {
                name->unit = text;
            } else if (oid == "2.5.4.3") {
                name->common_name = text;
            } else if (oid == "1.2.840.113549.1.9.1") {
                name->email = text;
            }
            if (!attribute.done()) break;
        }
        if (!rdn.done())
            return Fail(std::string("is malformed (") + BerErrorText(rdn.error()) + ")");
    }
    if (!names.done())
        return Fail(std::string("is malformed (") + BerErrorText(names.error()) + ")");
    return true;
}

int Certificate::Parse(const std::uint8_t* der, std::size_t length) {
    Reset();
    der_.assign(der, der + length);
    auto malformed = [this](const BerReader& reader) {
        return Fail(std::string("is malformed (") + BerErrorText(reader.error()) + ")");
    };
    // Careless encoders write longer lengths than needed; the signed bytes are checked as they
    // stand, so reading them leniently costs nothing.
    BerReader file(der_.data(), der_.size(), BerRules::kBer);
    BerReader certificate = file.Sequence();
    BerBytes signed_part;
    BerReader tbs = certificate.Sequence(&signed_part);
    if (tbs.failed()) return malformed(certificate), 1;
    signed_offset_ = static_cast<std::size_t>(signed_part.data() - der_.data());
    signed_length_ = signed_part.size();

    if (tbs.NextIs(BerTag::Context(0, true))) {
        BerReader version = tbs.Explicit(0);
        version.SmallInteger();
        if (!version.done()) return malformed(version), 1;
    }
    tbs.IntegerBytes();  // serial number
    BerReader algorithm = tbs.Sequence();
    signature_algorithm = algorithm.ObjectIdentifier();
    if (tbs.failed() || algorithm.failed()) return malformed(tbs.failed() ? tbs : algorithm), 1;
    if (signature_algorithm != kMd5WithRsa && signature_algorithm != kSha1WithRsa) {
        const char* phrase = Phrase(kSignatures, signature_algorithm);
        return Fail(phrase != nullptr ? std::string("uses ") + phrase +
                                            " signature, which this version cannot read"
                                      : "uses the signature algorithm " + signature_algorithm +
                                            ", which this version cannot read"),
               1;
    }
    if (!ReadName(tbs, &issuer)) return 1;
    BerReader validity = tbs.Sequence();
    not_before = validity.Time();
    not_after = validity.Time();
    if (validity.failed() && validity.error() == BerError::kBadTime) {
        return Fail("has a validity date this version cannot read"), 1;
    }
    if (!validity.done()) return malformed(validity), 1;
    if (!ReadName(tbs, &subject)) return 1;

    BerReader key_info = tbs.Sequence();
    BerReader key_algorithm = key_info.Sequence();
    const std::string key_oid = key_algorithm.ObjectIdentifier();
    if (key_info.failed() || key_algorithm.failed()) return malformed(key_info), 1;
    if (key_oid != kRsaEncryption) {
        const char* phrase = Phrase(kKeys, key_oid);
        return Fail(std::string("has ") +
                    (phrase != nullptr ? phrase : "a key of type " + key_oid) +
                    ", which this version cannot use"),
               1;
    }
    BerReader key_bits = key_info.BitStringReader();
    BerReader rsa_key = key_bits.Sequence();
    modulus = rsa_key.BigInteger();
    exponent = rsa_key.BigInteger();
    if (!rsa_key.done() || !key_bits.done())
        return malformed(rsa_key.failed() ? rsa_key : key_bits), 1;
    if (!key_info.done()) return malformed(key_info), 1;
    if (modulus.IsNegative() || !modulus.IsOdd() || modulus.BitLength() < 512 ||
        modulus.BitLength() > kMaxModulusBits || exponent.IsNegative() || exponent.IsZero() ||
        exponent.BitLength() > kMaxExponentBits || exponent.CompareMagnitude(modulus) >= 0) {
        return Fail("has an RSA key (" + std::to_string(modulus.BitLength()) +
                    " bits) that this version cannot use"),
               1;
    }
    // Unique identifiers and extensions: nothing here looks at them.
    while (!tbs.AtEnd())
        tbs.Skip();
    if (!tbs.done()) return malformed(tbs), 1;

    BerReader outer_algorithm = certificate.Sequence();
    const std::string outer = outer_algorithm.ObjectIdentifier();
    const BerBitString value = certificate.BitString();
    if (!certificate.done() || outer_algorithm.failed()) return malformed(certificate), 1;
    if (!file.done()) return malformed(file), 1;
    if (outer != signature_algorithm) {
        return Fail("names two different signature algorithms"), 1;
    }
    if (value.unusedBits != 0 || !signature.SetBytes(value.bytes.data(), value.bytes.size())) {
        return Fail("has a malformed signature"), 1;
    }
    return 0;
}

int Certificate::LoadFile(const std::string& path) {
    Reset();
    std::ifstream file(path, std::ios::binary);
    if (!file) return kCannotOpen;
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<std::size_t>(size) > kMaxFileSize) return kLoadFailed;
    file.seekg(0, std::ios::beg);
    std::string text;
    try {
        text.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    }
    if (size > 0 && !file.read(text.data(), size)) return kLoadFailed;

    if (text.find("-----BEGIN") == std::string::npos) {
        return Parse(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) == 0
                   ? kLoaded
                   : kLoadFailed;
    }
    PemReader reader(text);
    PemBlock block;
    while (reader.Next(&block) == PemStatus::kOk) {
        if (block.label != "CERTIFICATE" && block.label != "X509 CERTIFICATE") continue;
        return Parse(block.body.data(), block.body.size()) == 0 ? kLoaded : kLoadFailed;
    }
    return kLoadFailed;
}

}  // namespace tarnwick
