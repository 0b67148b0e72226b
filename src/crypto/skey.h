// S/Key one-time passwords (RFC 1760, RFC 2289, MD5 variant): the answer to an "otp-md5"
// challenge, computed from its sequence number and seed and the user's pass phrase.
//
//   std::uint8_t otp[8];
//   if (SkeyCompute(99, "alpha1", passphrase, otp)) {
//       std::string words;
//       SkeyToWords(otp, &words);      // "BODE HOP JAKE STOW JUT RAP"
//   }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick {

// The one-time password for the challenge: MD5 of seed and pass phrase joined (seed first,
// exactly as given), folded to 8 bytes, then sequence times hashed and folded again. False for a
// negative sequence number.
bool SkeyCompute(int sequence, std::string_view seed, std::string_view passphrase,
                 std::uint8_t out[8]);

// Appends the six dictionary words of the value, separated by single blanks.
void SkeyToWords(const std::uint8_t value[8], std::string* out);

extern const char* const kSkeyWords[2048];

}  // namespace tarnwick
