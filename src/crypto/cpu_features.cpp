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
        // The 512-bit registers are usable only when the OS saves them (XCR0 bits 1, 2, 5-7).
        bool zmmState = false;
        if ((c & bit_OSXSAVE) != 0) {
            unsigned lo = 0, hi = 0;
            __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
            zmmState = (lo & 0xe6) == 0xe6;
        }
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d)) {
            f.sha = (b & bit_SHA) != 0 && ssse3 && sse41;
            f.bmi2 = (b & bit_BMI2) != 0;
            f.adx = (b & bit_ADX) != 0;
            f.ifma = zmmState && (b & bit_AVX512F) != 0 && (b & bit_AVX512IFMA) != 0;
        }
    }
#endif
    const char* env = std::getenv("TARNWICK_CRYPTO_PORTABLE");
    if (env != nullptr && std::strcmp(env, "1") == 0) f = CpuFeatures{};
    return f;
}

const CpuFeatures& Detected() {
    static const CpuFeatures detected = Detect();
    return detected;
}

CpuFeatures g_forcedFeatures;
std::atomic<bool> g_forced{false};

}  // namespace

const CpuFeatures& Cpu() {
    return g_forced.load(std::memory_order_acquire) ? g_forcedFeatures : Detected();
}

void ForceCpuFeatures(const CpuFeatures* features) {
    if (features == nullptr) {
        g_forced.store(false, std::memory_order_release);
        return;
    }
    const CpuFeatures& d = Detected();
    g_forced.store(false, std::memory_order_release);
    g_forcedFeatures.aesni = features->aesni && d.aesni;
    g_forcedFeatures.sha = features->sha && d.sha;
    g_forcedFeatures.bmi2 = features->bmi2 && d.bmi2;
    g_forcedFeatures.adx = features->adx && d.adx;
    g_forcedFeatures.ifma = features->ifma && d.ifma;
    g_forced.store(true, std::memory_order_release);
}

void ForcePortableCrypto(bool portable) {
    const CpuFeatures none{};
    ForceCpuFeatures(portable ? &none : nullptr);
}

}  // namespace tarnwick
