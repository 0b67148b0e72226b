// Big numbers from untrusted input: bytes, SSH wire integers, decimal and hexadecimal text, and
// the arithmetic on what they give. Every accepted value must survive its round trips and obey
// the arithmetic identities; anything else aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crypto/bignum.h"
#include "fuzz/fuzz_util.h"

namespace {

using tarnwick::BigNum;
using tarnwick::fuzzing::Check;

void RoundTrips(const BigNum& n) {
    auto wire = n.ToMpint();
    Check(wire.size() == n.WireLength());
    BigNum back;
    std::size_t used = 0;
    Check(back.SetMpint(wire.data(), wire.size(), &used) && used == wire.size() && back == n);
    // Decimal conversion is quadratic; the values the program meets are far below this.
    if (n.BitLength() <= 16384) {
        BigNum dec;
        Check(dec.SetDecimal(n.ToDecimal()) && dec == n);
    }
    BigNum hex;
    Check(hex.SetHex(n.ToHex()) && hex == n);
    auto magnitude = n.ToBytes();
    BigNum bytes;
    Check(bytes.SetBytes(magnitude.data(), magnitude.size(), n.IsNegative()) && bytes == n);
}

void Arithmetic(const BigNum& a, const BigNum& b) {
    Check(((a + b) - b) == a);
    Check((a * b) == (b * a));
    if (b.IsZero()) {
        Check(!(a / b).ok() && !(a % b).ok());
        return;
    }
    const BigNum q = a / b;
    const BigNum truncated = a - q * b;
    Check(truncated.CompareMagnitude(b) < 0);
    const BigNum r = a % b;
    Check(r.CompareMagnitude(b) < 0);
    Check(r.IsZero() || r.IsNegative() == b.IsNegative());
    Check(r == truncated || r == truncated + b);
    const int shift = static_cast<int>(a.IsZero() ? 3 : a.limbData()[0] % 130);
    Check(((a << shift) >> shift) == a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t mode = data[0] % 6;
    const std::uint8_t* payload = data + 1;
    const std::size_t length = size - 1;
    const std::string_view text(reinterpret_cast<const char*>(payload), length);
    BigNum n;
    switch (mode) {
        case 0:
            if (n.SetBytes(payload, length, (length & 1) != 0)) RoundTrips(n);
            break;
        case 1:
            if (n.SetMpint(payload, length)) RoundTrips(n);
            break;
        case 2:
            if (n.SetDecimal(text)) RoundTrips(n);
            break;
        case 3:
            if (n.SetHex(text)) RoundTrips(n);
            break;
        case 4: {
            if (length < 1) return 0;
            const std::size_t split = payload[0] % length;
            BigNum a, b;
            a.SetBytes(payload + 1, split > 0 ? split - 1 : 0, (payload[0] & 0x40) != 0);
            b.SetBytes(payload + split, length - split, (payload[0] & 0x80) != 0);
            Arithmetic(a, b);
            break;
        }
        case 5: {
            // Small modular exponentiations: both window methods must agree.
            if (length < 3 || length > 200) return 0;
            const std::size_t third = length / 3;
            BigNum base, exponent, modulus, x, y;
            base.SetBytes(payload, third, (payload[0] & 1) != 0);
            exponent.SetBytes(payload + third, third);
            modulus.SetBytes(payload + 2 * third, length - 2 * third);
            const bool ok = tarnwick::ModExp(base, exponent, modulus, &x);
            Check(ok == !modulus.IsZero());
            if (ok) {
                Check(tarnwick::ModExpSecret(base, exponent, modulus, &y) && x == y);
                Check(exponent.IsZero() || x.CompareMagnitude(modulus) < 0);
            }
            BigNum inverse;
            if (tarnwick::ModInverse(base, modulus, &inverse) && !modulus.IsOne()) {
                Check(((base * inverse) % modulus).IsOne());
            }
            break;
        }
    }
    return 0;
}
