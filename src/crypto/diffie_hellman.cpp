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
