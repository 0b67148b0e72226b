#include "crypto/pbkdf2.h"

#include <algorithm>
#include <memory>

#include "crypto/byte_order.h"
#include "crypto/hmac.h"
#include "crypto/secure.h"

namespace tarnwick {

bool Pbkdf2(const Hash& prf, const std::uint8_t* passphrase, std::size_t passphraseLength,
            const std::uint8_t* salt, std::size_t saltLength, std::uint32_t iterations,
            std::uint8_t* out, std::size_t outLength) {
    if (iterations == 0 || iterations > kPbkdf2MaxIterations || outLength == 0) return false;
    // HMAC absorbs the padded key once; each iteration then costs two compressions.
    HMAC mac(prf.Clone(), passphrase, passphraseLength);
    const auto size = static_cast<std::size_t>(mac.DigestSize());
    SecureBytes u(size), t(size);
    for (std::uint32_t block = 1; outLength > 0; ++block) {
        std::uint8_t counter[4];
        bytes::StoreBE32(counter, block);
        mac.Init();
        mac.Update(salt, saltLength);
        mac.Update(counter, 4);
        mac.Final(u.data());
        t = u;
        for (std::uint32_t i = 1; i < iterations; ++i) {
            mac.Init();
            mac.Update(u.data(), size);
            mac.Final(u.data());
            for (std::size_t j = 0; j < size; ++j)
                t[j] ^= u[j];
        }
        const std::size_t take = std::min(size, outLength);
        std::copy_n(t.begin(), take, out);
        out += take;
        outLength -= take;
    }
    return true;
}

}  // namespace tarnwick
