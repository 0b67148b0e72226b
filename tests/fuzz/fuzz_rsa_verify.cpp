// RSA signature verification of untrusted signatures and keys (server certificates, host keys).
// Mode 0 checks signatures from the input against a fixed 1024-bit key, so the fuzzer works on
// the recovered block itself; mode 1 takes the key from the input too; mode 2 does the same for
// DSA. Verification must answer, never crash or hang, and the SHA-1-only check can never accept
// what the general one refuses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/bignum.h"
#include "crypto/dsa.h"
#include "crypto/rsa.h"
#include "fuzz/fuzz_util.h"

namespace {

using tarnwick::BigNum;

constexpr char kModulus[] =
    "bae2d541414d03e17d7f6d2b02d8e0a32b3b69e0be16062fbfffc556a38b507a27fc101ab8cfb3f8e8c8759774bcc3"
    "ac66aba6211fdb87db9f182156932f4fd668b24d2cde57a0844411f7932f5092d810afafa02a0ee9efad8c1cb7d762"
    "58ad3247ad5d92d490452eaa7b0cc27223e7cf80de370dfbcf4dbf34c4e898af2f81";

using tarnwick::fuzzing::NextMpint;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t* p = data + 1;
    std::size_t left = size - 1;
    switch (data[0] % 3) {
        case 0: {
            static const BigNum n = [] {
                BigNum v;
                v.SetHex(kModulus);
                return v;
            }();
            const BigNum e(65537u);
            if (left < 2) return 0;
            std::size_t sigLength = (static_cast<std::size_t>(p[0]) << 8) | p[1];
            p += 2;
            left -= 2;
            if (sigLength > left) sigLength = left;
            BigNum s;
            s.SetBytes(p, sigLength);
            const bool general = tarnwick::RsaVerify(p + sigLength, left - sigLength, e, n, s);
            const bool sha1 = tarnwick::RsaVerifySha1(p + sigLength, left - sigLength, e, n, s);
            if (sha1 && !general) std::abort();
            break;
        }
        case 1: {
            BigNum e, n, s;
            if (!NextMpint(p, left, 4096, &e) || !NextMpint(p, left, 4096, &n) ||
                !NextMpint(p, left, 4096, &s)) {
                return 0;
            }
            const bool general = tarnwick::RsaVerify(p, left, e, n, s);
            const bool sha1 = tarnwick::RsaVerifySha1(p, left, e, n, s);
            if (sha1 && !general) std::abort();
            break;
        }
        case 2: {
            tarnwick::DsaKey key;
            BigNum r, s;
            if (!NextMpint(p, left, 2048, &key.p) || !NextMpint(p, left, 512, &key.q) ||
                !NextMpint(p, left, 2048, &key.g) || !NextMpint(p, left, 2048, &key.y) ||
                !NextMpint(p, left, 512, &r) || !NextMpint(p, left, 512, &s)) {
                return 0;
            }
            const bool valid = tarnwick::DsaVerify(p, left, r, s, key);
            if (valid && (r.IsZero() || s.IsZero() || r >= key.q || s >= key.q)) std::abort();
            break;
        }
    }
    return 0;
}
