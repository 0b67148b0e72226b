#include "crypto/skey.h"

#include "crypto/md5.h"
#include "crypto/secure.h"

namespace tarnwick {

bool SkeyCompute(int sequence, std::string_view seed, std::string_view passphrase,
                 std::uint8_t out[8]) {
    if (sequence < 0) return false;
    SecureBytes joined(seed.begin(), seed.end());
    joined.insert(joined.end(), passphrase.begin(), passphrase.end());
    CMD5 md5;
    md5.Update(joined.data(), joined.size());
    std::uint8_t digest[CMD5::kDigestSize];
    md5.Final(digest);
    md5.DigestToText(digest, reinterpret_cast<char*>(out), 2, sequence);
    SecureWipe(digest, sizeof(digest));
    return true;
}

void SkeyToWords(const std::uint8_t value[8], std::string* out) {
    std::uint64_t x = 0;
    for (int i = 0; i < 8; ++i)
        x = (x << 8) | value[i];
    // Two check bits: the sum of the 32 two-bit groups.
    unsigned checksum = 0;
    for (int i = 0; i < 64; i += 2)
        checksum += static_cast<unsigned>((x >> i) & 3);
    checksum &= 3;
    for (int i = 0; i < 6; ++i) {
        // Word i takes bits 65 - 11 i down to 55 - 11 i of the 66-bit value x:checksum.
        unsigned index;
        if (i < 5) {
            index = static_cast<unsigned>((x >> (53 - 11 * i)) & 0x7ff);
        } else {
            index = static_cast<unsigned>(((x & 0x1ff) << 2) | checksum);
        }
        if (i > 0) out->push_back(' ');
        out->append(kSkeyWords[index]);
    }
}

}  // namespace tarnwick
