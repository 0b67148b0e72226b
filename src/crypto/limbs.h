// Arithmetic on little-endian arrays of 64-bit limbs: the layer under BigNum and the Montgomery
// code. Lengths are in limbs; results never alias inputs unless a function says it may.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::limbs {

using Limb = std::uint64_t;
// The compilers we build with have a 128-bit integer; __extension__ keeps -Wpedantic quiet.
__extension__ typedef unsigned __int128 Wide;

// r = a + b over n limbs (r may alias a or b); returns the carry.
Limb Add(Limb* r, const Limb* a, const Limb* b, int n);
// r = a + b for a single-limb b over n limbs (r may alias a); returns the carry.
Limb AddOne(Limb* r, const Limb* a, int n, Limb b);
// r = a - b over n limbs (r may alias a or b); returns the borrow.
Limb Sub(Limb* r, const Limb* a, const Limb* b, int n);
Limb SubOne(Limb* r, const Limb* a, int n, Limb b);
// r[0..n) += a[0..n) * b; returns the carry limb.
Limb MulAdd(Limb* r, const Limb* a, int n, Limb b);
// The same with the processor's MULX/ADCX/ADOX (two carry chains); only when Cpu() reports
// bmi2 and adx.
Limb MulAddAdx(Limb* r, const Limb* a, int n, Limb b);
// r[0..n) = a[0..n) * b; returns the carry limb (r may alias a).
Limb MulOne(Limb* r, const Limb* a, int n, Limb b);
// r[0..an+bn) = a * b; r does not alias a or b.
void Mul(Limb* r, const Limb* a, int an, const Limb* b, int bn);
// r[0..2n) = a * a; r does not alias a.
void Square(Limb* r, const Limb* a, int n);
// -1, 0 or 1 comparing two n-limb numbers.
int Compare(const Limb* a, const Limb* b, int n);
// Significant length of a (0 for zero).
int Normalized(const Limb* a, int n);
// Divides a (an limbs) by d (dn limbs, top limb non-zero, dn <= an): q gets an - dn + 1 limbs
// (may be null), r gets dn limbs (may be null). work needs an + 1 + dn limbs.
void DivRem(Limb* q, Limb* r, const Limb* a, int an, const Limb* d, int dn, Limb* work);
// Divides a by a single limb in place and returns the remainder.
Limb DivOne(Limb* a, int n, Limb d);

}  // namespace tarnwick::limbs
