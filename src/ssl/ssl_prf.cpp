#include "ssl/ssl_prf.h"

#include <memory>

#include "crypto/hmac.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"

namespace tarnwick {

namespace {

// P_hash(secret, seed) = HMAC(secret, A(1) + seed) + HMAC(secret, A(2) + seed) + ..., with
// A(0) = seed and A(i) = HMAC(secret, A(i - 1)); XORed into out.
void XorPHash(std::unique_ptr<Hash> digest, const std::uint8_t* secret, std::size_t secret_length,
              std::string_view label, const std::uint8_t* seed, std::size_t seed_length,
              std::uint8_t* out, std::size_t out_length) {
    HMAC mac(std::move(digest), secret, secret_length);
    const std::size_t size = static_cast<std::size_t>(mac.DigestSize());
    std::uint8_t a[Hash::kMaxDigestSize];
    std::uint8_t block[Hash::kMaxDigestSize];
    mac.Init();
    mac.Update(label.data(), label.size());
    mac.Update(seed, seed_length);
    mac.Final(a);  // A(1)
    for (std::size_t done = 0; done < out_length;) {
        mac.Init();
        mac.Update(a, size);
        mac.Update(label.data(), label.size());
        mac.Update(seed, seed_length);
        mac.Final(block);
        for (std::size_t i = 0; i < size && done < out_length; ++i)
            out[done++] ^= block[i];
        mac.Init();
        mac.Update(a, size);
        mac.Final(a);  // A(i + 1)
    }
    SecureWipe(a, sizeof a);
    SecureWipe(block, sizeof block);
}

}  // namespace

void TlsPrf(const std::uint8_t* secret, std::size_t secret_length, std::string_view label,
            const std::uint8_t* seed, std::size_t seed_length, std::uint8_t* out,
            std::size_t out_length) {
    for (std::size_t i = 0; i < out_length; ++i)
        out[i] = 0;
    const std::size_t half = (secret_length + 1) / 2;
    XorPHash(std::make_unique<CMD5>(), secret, half, label, seed, seed_length, out, out_length);
    XorPHash(std::make_unique<CSHA1>(), secret + (secret_length - half), half, label, seed,
             seed_length, out, out_length);
}

SecureBytes TlsMasterSecret(const std::uint8_t* premaster, std::size_t premaster_length,
                            const std::uint8_t client_random[kTlsRandomSize],
                            const std::uint8_t server_random[kTlsRandomSize]) {
    std::uint8_t seed[2 * kTlsRandomSize];
    for (std::size_t i = 0; i < kTlsRandomSize; ++i) {
        seed[i] = client_random[i];
        seed[kTlsRandomSize + i] = server_random[i];
    }
    SecureBytes master(kTlsMasterSecretSize);
    TlsPrf(premaster, premaster_length, "master secret", seed, sizeof seed, master.data(),
           master.size());
    return master;
}

SecureBytes TlsKeyBlock(const SecureBytes& master, const std::uint8_t client_random[kTlsRandomSize],
                        const std::uint8_t server_random[kTlsRandomSize], std::size_t length) {
    std::uint8_t seed[2 * kTlsRandomSize];
    for (std::size_t i = 0; i < kTlsRandomSize; ++i) {
        seed[i] = server_random[i];
        seed[kTlsRandomSize + i] = client_random[i];
    }
    SecureBytes block(length);
    TlsPrf(master.data(), master.size(), "key expansion", seed, sizeof seed, block.data(),
           block.size());
    return block;
}

void TlsFinishedVerifyData(const SecureBytes& master, std::string_view label,
                           const std::uint8_t digests[36], std::uint8_t out[kTlsVerifyDataSize]) {
    TlsPrf(master.data(), master.size(), label, digests, 36, out, kTlsVerifyDataSize);
}

}  // namespace tarnwick
