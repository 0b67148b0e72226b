#include "crypto/diffie_hellman.h"

#include "crypto/random_generator.h"

namespace tarnwick {

const char kDhGroup1PrimeDecimal[] =
    "179769313486231590770839156793787453197860296048756011706444423684197180216158519368947833795"
    "864925541502180565485980503646440548199239100050792877003355816639229553136239076508735759914"
    "822574862575007425302077447712589550957937778424442426617334727629299387668709205606050270810"
    "842907692932019128194467627007";

const BigNum& DhGroup1Prime() {
    static const BigNum prime = [] {
        BigNum p;
        p.SetDecimal(kDhGroup1PrimeDecimal);
        return p;
    }();
    return prime;
}

namespace {

// RFC 3526: p = 2^N - 2^(N-64) - 1 + 2^64 ([2^(N-130) pi] + offset), generator 2.
const char kGroup14Hex[] =
    "ffffffffffffffffc90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b139b22514a08798e34"
    "04ddef9519b3cd3a431b302b0a6df25f14374fe1356d6d51c245e485b576625e7ec6f44c42e9a637ed6b0bff5cb6"
    "f406b7edee386bfb5a899fa5ae9f24117c4b1fe649286651ece45b3dc2007cb8a163bf0598da48361c55d39a6916"
    "3fa8fd24cf5f83655d23dca3ad961c62f356208552bb9ed529077096966d670c354e4abc9804f1746c08ca18217c"
    "32905e462e36ce3be39e772c180e86039b2783a2ec07a28fb5c55df06f4c52c9de2bcbf6955817183995497cea95"
    "6ae515d2261898fa051015728e5a8aacaa68ffffffffffffffff";

const char kGroup16Hex[] =
    "ffffffffffffffffc90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b139b22514a08798e34"
    "04ddef9519b3cd3a431b302b0a6df25f14374fe1356d6d51c245e485b576625e7ec6f44c42e9a637ed6b0bff5cb6"
    "f406b7edee386bfb5a899fa5ae9f24117c4b1fe649286651ece45b3dc2007cb8a163bf0598da48361c55d39a6916"
    "3fa8fd24cf5f83655d23dca3ad961c62f356208552bb9ed529077096966d670c354e4abc9804f1746c08ca18217c"
    "32905e462e36ce3be39e772c180e86039b2783a2ec07a28fb5c55df06f4c52c9de2bcbf6955817183995497cea95"
    "6ae515d2261898fa051015728e5a8aaac42dad33170d04507a33a85521abdf1cba64ecfb850458dbef0a8aea7157"
    "5d060c7db3970f85a6e1e4c7abf5ae8cdb0933d71e8c94e04a25619dcee3d2261ad2ee6bf12ffa06d98a0864d876"
    "02733ec86a64521f2b18177b200cbbe117577a615d6c770988c0bad946e208e24fa074e5ab3143db5bfce0fd108e"
    "4b82d120a92108011a723c12a787e6d788719a10bdba5b2699c327186af4e23c1a946834b6150bda2583e9ca2ad4"
    "4ce8dbbbc2db04de8ef92e8efc141fbecaa6287c59474e6bc05d99b2964fa090c3a2233ba186515be7ed1f612970"
    "cee2d7afb81bdd762170481cd0069127d5b05aa993b4ea988d8fddc186ffb7dc90a6c08f4df435c934063199ffff"
    "ffffffffffff";

const char kGroup18Hex[] =
    "ffffffffffffffffc90fdaa22168c234c4c6628b80dc1cd129024e088a67cc74020bbea63b139b22514a08798e34"
    "04ddef9519b3cd3a431b302b0a6df25f14374fe1356d6d51c245e485b576625e7ec6f44c42e9a637ed6b0bff5cb6"
    "f406b7edee386bfb5a899fa5ae9f24117c4b1fe649286651ece45b3dc2007cb8a163bf0598da48361c55d39a6916"
    "3fa8fd24cf5f83655d23dca3ad961c62f356208552bb9ed529077096966d670c354e4abc9804f1746c08ca18217c"
    "32905e462e36ce3be39e772c180e86039b2783a2ec07a28fb5c55df06f4c52c9de2bcbf6955817183995497cea95"
    "6ae515d2261898fa051015728e5a8aaac42dad33170d04507a33a85521abdf1cba64ecfb850458dbef0a8aea7157"
    "5d060c7db3970f85a6e1e4c7abf5ae8cdb0933d71e8c94e04a25619dcee3d2261ad2ee6bf12ffa06d98a0864d876"
    "02733ec86a64521f2b18177b200cbbe117577a615d6c770988c0bad946e208e24fa074e5ab3143db5bfce0fd108e"
    "4b82d120a92108011a723c12a787e6d788719a10bdba5b2699c327186af4e23c1a946834b6150bda2583e9ca2ad4"
    "4ce8dbbbc2db04de8ef92e8efc141fbecaa6287c59474e6bc05d99b2964fa090c3a2233ba186515be7ed1f612970"
    "cee2d7afb81bdd762170481cd0069127d5b05aa993b4ea988d8fddc186ffb7dc90a6c08f4df435c93402849236c3"
    "fab4d27c7026c1d4dcb2602646dec9751e763dba37bdf8ff9406ad9e530ee5db382f413001aeb06a53ed9027d831"
    "179727b0865a8918da3edbebcf9b14ed44ce6cbaced4bb1bdb7f1447e6cc254b332051512bd7af426fb8f401378c"
    "d2bf5983ca01c64b92ecf032ea15d1721d03f482d7ce6e74fef6d55e702f46980c82b5a84031900b1c9e59e7c97f"
    "bec7e8f323a97a7e36cc88be0f1d45b7ff585ac54bd407b22b4154aacc8f6d7ebf48e1d814cc5ed20f8037e0a797"
    "15eef29be32806a1d58bb7c5da76f550aa3d8a1fbff0eb19ccb1a313d55cda56c9ec2ef29632387fe8d76e3c0468"
    "043e8f663f4860ee12bf2d5b0b7474d6e694f91e6dbe115974a3926f12fee5e438777cb6a932df8cd8bec4d073b9"
    "31ba3bc832b68d9dd300741fa7bf8afc47ed2576f6936ba424663aab639c5ae4f5683423b4742bf1c978238f16cb"
    "e39d652de3fdb8befc848ad922222e04a4037c0713eb57a81a23f0c73473fc646cea306b4bcbc8862f8385ddfa9d"
    "4b7fa2c087e879683303ed5bdd3a062b3cf5b3a278a66d2a13f83f44f82ddf310ee074ab6a364597e899a0255dc1"
    "64f31cc50846851df9ab48195ded7ea1b1d510bd7ee74d73faf36bc31ecfa268359046f4eb879f924009438b481c"
    "6cd7889a002ed5ee382bc9190da6fc026e479558e4475677e9aa9e3050e2765694dfc81f56e880b96e7160c980dd"
    "98edd3dfffffffffffffffff";

BigNum FromHex(const char* hex) {
    BigNum p;
    p.SetHex(hex);
    return p;
}

}  // namespace

const BigNum& DhGroup14Prime() {
    static const BigNum prime = FromHex(kGroup14Hex);
    return prime;
}

const BigNum& DhGroup16Prime() {
    static const BigNum prime = FromHex(kGroup16Hex);
    return prime;
}

const BigNum& DhGroup18Prime() {
    static const BigNum prime = FromHex(kGroup18Hex);
    return prime;
}

bool DhPrivateExponent(const BigNum& p, int percentage, RandomGenerator& random, BigNum* x) {
    if (!p.ok() || p.IsNegative() || p.BitLength() < 3) return false;
    BigNum q(p);
    if (!q.Sub(BigNum(1u)) || !q.ShiftRight(1)) return false;
    const std::size_t qBytes = q.ByteLength();
    std::size_t n = qBytes * static_cast<std::size_t>(percentage > 0 ? percentage : 0) / 100;
    if (n < kMinDhExponentBytes) n = kMinDhExponentBytes;
    if (n > qBytes) n = qBytes;
    BigNum v;
    if (!v.SetRandom(n, random)) return false;
    v.SetTopBit();
    while (v > q) {
        if (!v.ShiftRight(1)) return false;
    }
    if (!v.ok()) return false;
    *x = std::move(v);
    return true;
}

bool DhPublicValue(const BigNum& g, const BigNum& x, const BigNum& p, BigNum* e) {
    return ModExpSecret(g, x, p, e);
}

bool DhValueInRange(const BigNum& v, const BigNum& p) {
    if (!v.ok() || !p.ok()) return false;
    BigNum pMinusOne(p);
    if (!pMinusOne.Sub(BigNum(1u))) return false;
    return v > BigNum(1u) && v < pMinusOne;
}

bool DhSharedSecret(const BigNum& f, const BigNum& x, const BigNum& p, BigNum* k) {
    if (!DhValueInRange(f, p)) return false;
    BigNum shared;
    if (!ModExpSecret(f, x, p, &shared) || !DhValueInRange(shared, p)) return false;
    *k = std::move(shared);
    return true;
}

}  // namespace tarnwick
