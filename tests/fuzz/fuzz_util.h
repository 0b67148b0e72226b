// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "crypto/bignum.h"

namespace tarnwick::fuzzing {

// An invariant of the code under test: a violation is a finding.
inline void Check(bool condition) {
    if (!condition) std::abort();
}

// Takes the next SSH wire integer off the input, refusing anything longer than maxBits.
inline bool NextMpint(const std::uint8_t*& p, std::size_t& left, int maxBits, BigNum* out) {
    std::size_t used = 0;
    if (!out->SetMpint(p, left, &used) || out->BitLength() > maxBits) return false;
    p += used;
    left -= used;
    return true;
}

}  // namespace tarnwick::fuzzing
