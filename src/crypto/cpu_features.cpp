#include "crypto/cpu_features.h"

#include <cpuid.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace tarnwick {
namespace {

CpuFeatures Detect() {
    CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
        const bool ssse3 = (c & bit_SSSE3) != 0;
        const bool sse41 = (c & bit_SSE4_1) != 0;
        f.aesni = (c & bit_AES) != 0 && sse41;
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
            f.sha = (b & bit_SHA) != 0 && ssse3 && sse41;
            f.bmi2 = (b & bit_BMI2) != 0;
            f.adx = (b & bit_ADX) != 0;
        }
    }
#endif
    const char* env = std::getenv("TARNWICK_CRYPTO_PORTABLE");
    if (env != nullptr && std::strcmp(env, "1") == 0) f = CpuFeatures{};
    return f;
}

const CpuFeatures kNone{};
std::atomic<bool> g_forced{false};

}  // namespace

const CpuFeatures& Cpu() {
    static const CpuFeatures detected = Detect();
    return g_forced.load(std::memory_order_relaxed) ? kNone : detected;
}

void ForcePortableCrypto(bool portable) {
    g_forced.store(portable, std::memory_order_relaxed);
}

}  // namespace tarnwick
