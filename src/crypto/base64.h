// Base64 with the standard alphabet and "=" padding (RFC 4648 section 4), as found in key blobs of
// public-key files and known_hosts lines, hashed host names and the bodies of PEM files.
//
//   std::string blob;
//   if (!Base64Decode(field, &blob)) ...                        // one wire field: strict
//   SecureBytes der;
//   if (!Base64Decode(body, &der, Base64Mode::kLenient)) ...    // armoured text across lines
//   std::string text = Base64Encode(der.data(), der.size(), 64);
//
// Decoding refuses every character outside the alphabet, a length that is not a whole number of
// four-character groups, "=" anywhere but at the end of the last group, and anything after the
// padding. The character mapping uses arithmetic, not a table or branches, so that decoding or
// encoding a private key does not leak its bytes through the cache or the branch predictor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/secure.h"

namespace tarnwick {

enum class Base64Mode {
    // Exactly the encoding: no white space, and the bits that padding leaves over must be zero
    // (so that every byte string has one encoding, as comparisons of encoded fields expect).
    kStrict,
    // White space (blank, tab, CR, LF, VT, FF) anywhere is skipped, as in armoured text broken
    // into lines; left-over bits after the padding are ignored.
    kLenient,
};

// An upper bound on the bytes that text of this length decodes to.
constexpr std::size_t Base64DecodedMax(std::size_t textLength) {
    return textLength / 4 * 3 + 3;
}

// Decodes text into out, replacing its contents. On failure out is wiped and left empty.
[[nodiscard]] bool Base64Decode(std::string_view text, std::string* out,
                                Base64Mode mode = Base64Mode::kStrict);
[[nodiscard]] bool Base64Decode(std::string_view text, SecureBytes* out,
                                Base64Mode mode = Base64Mode::kStrict);

// The padded encoding of length bytes. With lineWidth > 0 the text is broken into lines of at
// most lineWidth characters, each ending in "\n" (PEM bodies use 64); with 0 it is one line
// without a line end.
std::string Base64Encode(const void* data, std::size_t length, std::size_t lineWidth = 0);

}  // namespace tarnwick
