// Which processor instructions the fast paths of the digests and ciphers may use, found once at
// run time. Every fast path has a portable twin with identical results; tests force the portable
// one with ForcePortableCrypto(true), and setting TARNWICK_CRYPTO_PORTABLE=1 in the environment
// does the same for a whole run.
//
//   if (Cpu().aesni) { ... AES instructions ... } else { ... tables ... }
#pragma once

namespace tarnwick {

struct CpuFeatures {
    bool aesni = false;  // AES-NI (and SSE4.1, which the AES paths also use)
    bool sha = false;    // SHA extensions (and SSSE3, SSE4.1)
    bool bmi2 = false;   // MULX
    bool adx = false;    // ADCX, ADOX
    bool ifma = false;   // AVX-512 with the 52-bit multiply-add, and the OS saving its registers
};

// The features in force: what the processor has, or none while the portable paths are forced.
const CpuFeatures& Cpu();

// Replaces the features in force by the given ones, each kept only where the processor has it
// (null: back to what the processor offers). Tests use it to run every path the machine can.
void ForceCpuFeatures(const CpuFeatures* features);

// Switches every object created afterwards (and the Montgomery arithmetic) to the portable paths,
// or back to what the processor offers. Meant for tests and benchmarks.
void ForcePortableCrypto(bool portable);

}  // namespace tarnwick
