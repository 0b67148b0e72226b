#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/random_generator.h"
#include "test_helpers.h"

namespace tarnwick {
namespace {

using testing::ToHex;

// The generator's output computed directly: Blowfish (word order 1) keyed with the seed, zero
// chaining value, encrypting the big-endian counter pairs from the seed's byte sum.
std::vector<std::uint8_t> Stream(const std::vector<std::uint8_t>& seed, std::size_t blocks) {
    Blowfish cipher(1);
    cipher.SetKey(seed.data(), seed.size());
    std::uint32_t counter = 0;
    for (auto b : seed)
        counter += b;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::uint8_t block[8];
        for (int j = 0; j < 2; ++j) {
            const std::uint32_t c = counter + static_cast<std::uint32_t>(j);
            block[4 * j] = static_cast<std::uint8_t>(c >> 24);
            block[4 * j + 1] = static_cast<std::uint8_t>(c >> 16);
            block[4 * j + 2] = static_cast<std::uint8_t>(c >> 8);
            block[4 * j + 3] = static_cast<std::uint8_t>(c);
        }
        counter += 2;
        cipher.Encrypt(block, 8);
        out.insert(out.end(), block, block + 8);
    }
    return out;
}

TEST(RandomGeneratorTest, SameSeedSameBytesAndTheDocumentedStream) {
    const std::vector<std::uint8_t> seed = {0x10, 0x20, 0x30, 0xfe, 0xff, 7, 9, 200, 1};
    RandomGenerator a, b;
    a.Seed(seed.data(), seed.size());
    b.Seed(seed.data(), seed.size());
    std::uint8_t x[100], y[100];
    a.Fill(x, 100);
    for (auto& v : y)
        v = b.NextByte();
    EXPECT_EQ(0, std::memcmp(x, y, 100));
    // 100 bytes end inside the 13th pool; the next fill takes its last four bytes first.
    std::uint8_t next[5];
    a.Fill(next, 5);
    auto expected = Stream(seed, 14);
    EXPECT_EQ(ToHex(x, 100), ToHex(expected.data(), 100));
    EXPECT_EQ(ToHex(next, 5), ToHex(expected.data() + 100, 5));
}

TEST(RandomGeneratorTest, ReseedingMixesIntoThePreviousSchedule) {
    const std::vector<std::uint8_t> s1 = {1, 2, 3}, s2 = {4, 5, 6};
    RandomGenerator once, twice;
    once.Seed(s2.data(), s2.size());
    twice.Seed(s1.data(), s1.size());
    twice.Seed(s2.data(), s2.size());
    std::uint8_t a[16], b[16];
    once.Fill(a, 16);
    twice.Fill(b, 16);
    EXPECT_NE(ToHex(a, 16), ToHex(b, 16));
}

TEST(RandomGeneratorTest, WithoutSystemEntropyTheGeneratorIsNotTrusted) {
    struct Restore {
        ~Restore() { RandomGenerator::SetEntropySource(nullptr); }
    } restore;
    static int calls = 0;
    RandomGenerator::SetEntropySource([](std::uint8_t*, std::size_t) {
        ++calls;
        return false;
    });
    RandomGenerator g;
    EXPECT_FALSE(g.HasEntropy());
    EXPECT_FALSE(g.StartupSeed());
    EXPECT_FALSE(g.HasEntropy());
    EXPECT_FALSE(g.EnsureEntropy());  // tried once more, still nothing
    EXPECT_EQ(calls, 2);
    // Once the system answers again its bytes are mixed in.
    RandomGenerator::SetEntropySource(nullptr);
    EXPECT_TRUE(g.EnsureEntropy());
    EXPECT_TRUE(g.HasEntropy());
    EXPECT_TRUE(g.EnsureEntropy());  // once is enough
}

TEST(RandomGeneratorTest, StartupSeedsDifferEvenWithinOneClockTick) {
    RandomGenerator a, b;
    EXPECT_TRUE(a.StartupSeed());
    EXPECT_TRUE(b.StartupSeed());
    std::uint8_t x[32], y[32];
    a.Fill(x, 32);
    b.Fill(y, 32);
    EXPECT_NE(ToHex(x, 32), ToHex(y, 32));  // the operating system's entropy, not the clock
    std::uint8_t z[32];
    RandomGenerator::Global().Fill(z, 32);
    EXPECT_NE(ToHex(z, 32), ToHex(x, 32));
}

// The stream's pools in hex, sorted.
std::vector<std::string> Pools(const std::vector<std::uint8_t>& stream) {
    std::vector<std::string> pools;
    for (std::size_t i = 0; i < stream.size(); i += 8)
        pools.push_back(ToHex(stream.data() + i, 8));
    std::sort(pools.begin(), pools.end());
    return pools;
}

constexpr int kThreads = 4, kDraws = 3000;

// Four threads draw 8 bytes (one pool) at a time, reseeding without bytes before every third
// draw when asked; the pools drawn, in hex, sorted.
std::vector<std::string> DrawConcurrently(RandomGenerator& g, bool reseed) {
    std::vector<std::vector<std::uint8_t>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (auto& mine : drawn) {
        threads.emplace_back([&g, &mine, reseed] {
            for (int i = 0; i < kDraws; ++i) {
                std::uint8_t block[8];
                if (reseed && i % 3 == 0) g.Seed(nullptr, 0);  // keeps the key
                g.Fill(block, 8);
                mine.insert(mine.end(), block, block + 8);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    std::vector<std::uint8_t> all;
    for (const auto& d : drawn)
        all.insert(all.end(), d.begin(), d.end());
    return Pools(all);
}

// Under the lock every pool of the stream is handed out exactly once, whatever the interleaving.
TEST(RandomGeneratorTest, ConcurrentFillsHandOutEachPoolOnce) {
    const std::vector<std::uint8_t> seed = {42, 43, 44};
    RandomGenerator g;
    g.Seed(seed.data(), seed.size());
    EXPECT_EQ(DrawConcurrently(g, false), Pools(Stream(seed, kThreads * kDraws)));
}

// Seeding without bytes resets the counter and the chain, so pools repeat by design; with seedings
// racing the draws every pool must still be a whole one of the stream from the seed or from the
// reset counter.
TEST(RandomGeneratorTest, ConcurrentReseedingNeverTearsAPool) {
    const std::vector<std::uint8_t> seed = {9, 8, 7, 6, 5};
    RandomGenerator g, reset;
    g.Seed(seed.data(), seed.size());
    reset.Seed(seed.data(), seed.size());
    reset.Seed(nullptr, 0);
    std::vector<std::uint8_t> valid(8 * (kThreads * kDraws + 8));
    reset.Fill(valid.data(), valid.size());
    const std::vector<std::uint8_t> fresh = Stream(seed, kThreads * kDraws + 8);
    valid.insert(valid.end(), fresh.begin(), fresh.end());
    const std::vector<std::string> pools = Pools(valid);
    for (const std::string& pool : DrawConcurrently(g, true))
        ASSERT_TRUE(std::binary_search(pools.begin(), pools.end(), pool)) << pool;
}

}  // namespace
}  // namespace tarnwick
