// Public keys, signatures and key-exchange values from a peer: EC points on the NIST curves with
// ECDSA signatures over them, Ed25519 keys and signatures, X25519 and ECDH peer values, RSA
// SHA-2 signatures with the key from the input, and sntrup761 ciphertexts and public keys. The
// first byte picks the path; every path must answer, never crash or hang, and what is accepted
// must keep the invariants checked below.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "crypto/bignum.h"
#include "crypto/curve25519.h"
#include "crypto/ecc.h"
#include "crypto/random_generator.h"
#include "crypto/rsa.h"
#include "crypto/sntrup761.h"
#include "crypto/test_helpers.h"
#include "fuzz/fuzz_util.h"

namespace {

using namespace tarnwick;

RandomGenerator& Generator() {
    static tarnwick::testing::SeededGenerator generator("fuzz public keys");
    return generator;
}

// Takes a length byte and that many bytes (fewer when the input runs out).
struct Reader {
    const std::uint8_t* p;
    std::size_t left;
    std::vector<std::uint8_t> Chunk() {
        if (left == 0) return {};
        std::size_t n = *p++;
        --left;
        if (n > left) n = left;
        std::vector<std::uint8_t> out(p, p + n);
        p += n;
        left -= n;
        return out;
    }
    std::vector<std::uint8_t> Fixed(std::size_t n) {
        std::vector<std::uint8_t> out(n, 0);
        const std::size_t take = n < left ? n : left;
        if (take > 0) std::memcpy(out.data(), p, take);
        p += take;
        left -= take;
        return out;
    }
};

EcCurve CurveOf(std::uint8_t b) {
    return b % 3 == 0 ? EcCurve::kP256 : b % 3 == 1 ? EcCurve::kP384 : EcCurve::kP521;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    Reader in{data + 2, size - 2};
    const std::uint8_t mode = data[0], arg = data[1];
    switch (mode % 6) {
        case 0: {  // an EC point and an ECDSA signature over the rest
            const EcCurve curve = CurveOf(arg);
            const auto point = in.Chunk(), r = in.Chunk(), s = in.Chunk();
            EcPublicKey key;
            if (!key.SetPoint(curve, point.data(), point.size())) break;
            if (point.size() != EcPointSize(curve) || point[0] != 0x04) std::abort();
            if (key.Verify(in.p, in.left, r.data(), r.size(), s.data(), s.size())) {
                bool rZero = true, sZero = true;
                for (auto b : r)
                    rZero = rZero && b == 0;
                for (auto b : s)
                    sZero = sZero && b == 0;
                if (rZero || sZero) std::abort();
            }
            break;
        }
        case 1: {  // an Ed25519 key and signature
            const auto key = in.Chunk(), signature = in.Chunk();
            Ed25519PublicKey pub;
            if (!pub.Set(key.data(), key.size())) break;
            if (pub.Verify(in.p, in.left, signature.data(), signature.size()) &&
                (signature.size() != 64 || (signature[63] & 0xe0) != 0)) {
                std::abort();
            }
            break;
        }
        case 2: {  // an X25519 peer value
            static X25519PrivateKey mine = [] {
                X25519PrivateKey k;
                if (!k.Generate(Generator())) std::abort();
                return k;
            }();
            SecureBytes shared;
            const auto peer = in.Chunk();
            if (mine.Agree(peer.data(), peer.size(), &shared) && shared.size() != 32) std::abort();
            break;
        }
        case 3: {  // an ECDH peer point
            const EcCurve curve = CurveOf(arg);
            static EcPrivateKey keys[3];
            EcPrivateKey& mine = keys[arg % 3];
            if (!mine.ok() && !mine.Generate(curve, Generator())) std::abort();
            const auto point = in.Chunk();
            EcPublicKey peer;
            SecureBytes shared;
            if (peer.SetPoint(curve, point.data(), point.size()) && !mine.Agree(peer, &shared)) {
                std::abort();  // every validated point must give a secret
            }
            break;
        }
        case 4: {  // RSA SHA-2 signatures with the key from the input
            BigNum e, n, s;
            if (!fuzzing::NextMpint(in.p, in.left, 4096, &e) ||
                !fuzzing::NextMpint(in.p, in.left, 4096, &n) ||
                !fuzzing::NextMpint(in.p, in.left, 4096, &s))
                break;
            const bool sha256 = RsaVerifySha256(in.p, in.left, e, n, s);
            const bool sha512 = RsaVerifySha512(in.p, in.left, e, n, s);
            if (sha256 && sha512) std::abort();  // one block cannot hold both DigestInfos
            break;
        }
        case 5: {  // sntrup761: a ciphertext for our key, or a public key to encapsulate to
            static std::uint8_t publicKey[kSntrup761PublicKeySize];
            static SecureBytes secretKey;
            if (secretKey.empty() && !Sntrup761KeyPair(Generator(), publicKey, &secretKey)) {
                std::abort();
            }
            SecureBytes shared;
            if (arg & 1) {
                const auto pk = in.Fixed(kSntrup761PublicKeySize);
                std::uint8_t ciphertext[kSntrup761CiphertextSize];
                if (!Sntrup761Encapsulate(pk.data(), pk.size(), Generator(), ciphertext, &shared)) {
                    std::abort();
                }
            } else {
                const auto ct = in.Fixed(kSntrup761CiphertextSize);
                if (!Sntrup761Decapsulate(secretKey.data(), secretKey.size(), ct.data(), ct.size(),
                                          &shared) ||
                    shared.size() != kSntrup761SharedSize) {
                    std::abort();
                }
            }
            break;
        }
    }
    return 0;
}
