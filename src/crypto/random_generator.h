// The program's random generator: Blowfish (little-endian word order) encrypting a counter in CBC
// mode. One process-wide instance serves every protocol; tests make their own instances, which are
// deterministic for a given seed.
//
//   RandomGenerator::Global().Fill(padding, 16);   // seeded on first use
//   RandomGenerator::Global().Seed(hash, 20);      // stir in fresh secret material
//
//   RandomGenerator g;                             // a private, deterministic instance
//   g.Seed(seed, 16);
//
// Every draw and every seeding takes the generator's lock, so threads may share it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "crypto/blowfish.h"

namespace tarnwick {

class RandomGenerator {
  public:
    // Empty pool, zero counter, the initial Blowfish tables: not seeded.
    RandomGenerator();
    RandomGenerator(const RandomGenerator&) = delete;
    RandomGenerator& operator=(const RandomGenerator&) = delete;
    ~RandomGenerator();

    // Mixes the bytes into the key schedule (on top of what is there), zeroes the chaining value
    // and sets the counter to the sum of the bytes. Unused pool bytes stay.
    void Seed(const std::uint8_t* bytes, std::size_t length);
    std::uint8_t NextByte();
    void Fill(std::uint8_t* buffer, std::size_t length);

    // The start-up seeding: an MD5 of the clock stirred through the runtime's rand() into a
    // 16-byte value, followed by 32 bytes from the operating system's entropy source, as one
    // seed. Returns false when the operating system gave no entropy (the clock part is still
    // applied, but keys made from it could be guessed).
    bool StartupSeed();

    // True once operating-system entropy has been mixed in. Until then the generator's output
    // follows from the clock alone: no key-exchange secret, signature or padding may come from
    // it. EnsureEntropy tries the operating system once more when none was mixed in yet.
    bool HasEntropy() const { return has_entropy_.load(); }
    bool EnsureEntropy();

    // Where entropy comes from (SystemEntropy unless a test replaces it); nullptr restores it.
    using EntropySource = bool (*)(std::uint8_t* buffer, std::size_t length);
    static void SetEntropySource(EntropySource source);

    // The process-wide generator, created and seeded with StartupSeed on first use.
    static RandomGenerator& Global();

  private:
    std::uint8_t NextByteLocked();
    void SeedLocked(const std::uint8_t* bytes, std::size_t length);

    std::mutex mutex_;
    Blowfish cipher_;
    std::uint32_t counter_ = 0;
    std::uint8_t pool_[8] = {};
    int available_ = 0;
    std::atomic<bool> has_entropy_{false};
};

// Fills the buffer from the operating system's entropy source. False when none could be read.
bool SystemEntropy(std::uint8_t* buffer, std::size_t length);

}  // namespace tarnwick
