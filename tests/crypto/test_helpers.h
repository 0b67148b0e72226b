// Shared pieces of the crypto tests: hex conversion, a fixed-seed byte source, and a switch that
// runs a test body once with the processor's fast paths and once with the portable ones.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "crypto/cpu_features.h"
#include "crypto/random_generator.h"

namespace tarnwick::testing {

inline std::vector<std::uint8_t> FromHex(const std::string& hex) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

inline std::string ToHex(const std::uint8_t* data, std::size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s.push_back(kHex[data[i] >> 4]);
        s.push_back(kHex[data[i] & 15]);
    }
    return s;
}
inline std::string ToHex(const std::vector<std::uint8_t>& v) {
    return ToHex(v.data(), v.size());
}

class TestRandom {
  public:
    explicit TestRandom(std::uint32_t seed) : rng_(seed) {}
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (auto& b : v)
            b = static_cast<std::uint8_t>(rng_());
        return v;
    }
    std::size_t Below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }
    std::uint32_t Next() { return static_cast<std::uint32_t>(rng_()); }

  private:
    std::mt19937 rng_;
};

// Our generator, deterministic for the tests: seeded once with the text (and its zero byte).
class SeededGenerator : public RandomGenerator {
  public:
    explicit SeededGenerator(const std::string& seed) {
        Seed(reinterpret_cast<const std::uint8_t*>(seed.c_str()), seed.size() + 1);
    }
};

// Runs body with the fast paths (when the processor has any) and again with the portable paths.
template <typename Body>
void ForBothPaths(Body body) {
    ForcePortableCrypto(false);
    body();
    ForcePortableCrypto(true);
    body();
    ForcePortableCrypto(false);
}

// Runs body once for every multiplication path this machine has: AVX-512 IFMA digits, 64-bit
// limbs with MULX/ADX, and plain portable limbs.
template <typename Body>
void ForEachArithmeticPath(Body body) {
    ForceCpuFeatures(nullptr);
    const CpuFeatures all = Cpu();
    if (all.ifma) body();
    if (all.adx && all.bmi2) {
        CpuFeatures noIfma = all;
        noIfma.ifma = false;
        ForceCpuFeatures(&noIfma);
        body();
    }
    ForcePortableCrypto(true);
    body();
    ForceCpuFeatures(nullptr);
}

}  // namespace tarnwick::testing
