// What a server's reply to today's key exchanges holds, taken apart as the client takes it: the
// host-key blob (Ed25519, ECDSA on each curve, RSA for the SHA-2 signatures) judged before any
// arithmetic, the server's public value (a NIST point, an X25519 key, or the sntrup761 ciphertext
// with an X25519 key) agreed with our own secret, and the signature checked over an exchange hash.
// Any bytes must give an answer, never a crash; a signature must not verify over a hash the
// server never saw.
//
// Input: byte 0 the key exchange, byte 1 the host-key algorithm; then the reply's payload after
// its message number: string K_S, string Q_S, string signature.
#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/curve25519.h"
#include "crypto/ecc.h"
#include "crypto/random_generator.h"
#include "crypto/sntrup761.h"
#include "crypto/wire.h"
#include "fuzz/fuzz_util.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_kex.h"

namespace {

using tarnwick::fuzzing::Check;

// Our side's secrets, made once from a fixed seed.
struct OurSide {
    tarnwick::RandomGenerator random;
    tarnwick::X25519PrivateKey x25519;
    tarnwick::EcPrivateKey ec[3];
    tarnwick::SecureBytes sntrup_secret;
    OurSide() {
        const std::uint8_t seed[] = "fixed seed of the key-exchange reply target";
        random.Seed(seed, sizeof seed);
        std::uint8_t pub[tarnwick::kSntrup761PublicKeySize];
        Check(x25519.Generate(random));
        Check(ec[0].Generate(tarnwick::EcCurve::kP256, random));
        Check(ec[1].Generate(tarnwick::EcCurve::kP384, random));
        Check(ec[2].Generate(tarnwick::EcCurve::kP521, random));
        Check(tarnwick::Sntrup761KeyPair(random, pub, &sntrup_secret));
    }
};

// The key exchanges of the reply with a string Q_S (ids of the preference list).
constexpr int kKex[] = {7, 8, 9, 10, 12};
// Host-key algorithms of today: Ed25519, ECDSA on three curves, RSA with SHA-2.
constexpr int kHostKeys[] = {2, 3, 4, 5, 6, 7};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static OurSide ours;
    if (size < 2) return 0;
    const tarnwick::KexInfo* kex = tarnwick::FindKex(kKex[data[0] % std::size(kKex)]);
    const tarnwick::HostKeyInfo* hostkey =
        tarnwick::FindHostKey(kHostKeys[data[1] % std::size(kHostKeys)]);
    Check(kex != nullptr && hostkey != nullptr);
    tarnwick::WireReader reply(data + 2, size - 2);
    const std::string_view k_s = reply.String();
    const std::string_view q_s = reply.String();
    const std::string_view signature = reply.String();
    if (reply.failed()) return 0;

    // The key is judged first; only a usable one gets any further.
    if (!tarnwick::HostKeyProblem(hostkey->name, k_s).empty()) return 0;

    const auto* q = reinterpret_cast<const std::uint8_t*>(q_s.data());
    tarnwick::SecureBytes shared;
    bool agreed = false;
    switch (kex->family) {
        case tarnwick::KexFamily::kEcdh: {
            const int index = static_cast<int>(kex->curve);
            tarnwick::EcPublicKey peer;
            agreed =
                peer.SetPoint(kex->curve, q, q_s.size()) && ours.ec[index].Agree(peer, &shared);
            break;
        }
        case tarnwick::KexFamily::kCurve25519:
            agreed = ours.x25519.Agree(q, q_s.size(), &shared);
            if (agreed) Check(shared.size() == 32);
            break;
        case tarnwick::KexFamily::kSntrup761X25519: {
            if (q_s.size() != tarnwick::kSntrup761CiphertextSize + 32) break;
            tarnwick::SecureBytes post_quantum;
            // Every ciphertext of the right length decapsulates to some secret (implicit
            // rejection): a wrong one gives a secret the server does not have.
            Check(tarnwick::Sntrup761Decapsulate(
                ours.sntrup_secret.data(), ours.sntrup_secret.size(), q,
                tarnwick::kSntrup761CiphertextSize, &post_quantum));
            Check(post_quantum.size() == tarnwick::kSntrup761SharedSize);
            agreed = ours.x25519.Agree(q + tarnwick::kSntrup761CiphertextSize, 32, &shared);
            break;
        }
        default:
            break;
    }
    if (!agreed) return 0;

    // A hash the input cannot have been made for: a signature verifying over it is a forgery.
    std::uint8_t h[tarnwick::kMaxExchangeHash];
    for (std::size_t i = 0; i < sizeof h; ++i)
        h[i] = static_cast<std::uint8_t>(shared[i % shared.size()] ^ i);
    const std::size_t h_length = tarnwick::KexHashSize(kex->hash);
    Check(!tarnwick::VerifyHostKeySignature(hostkey->name, k_s, signature, h, h_length, false));
    return 0;
}
