#include "crypto/random_generator.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "crypto/byte_order.h"
#include "crypto/md5.h"
#include "crypto/secure.h"

namespace tarnwick {

namespace {

std::atomic<RandomGenerator::EntropySource> entropy_source{&SystemEntropy};

}  // namespace

RandomGenerator::RandomGenerator() : cipher_(1) {}

void RandomGenerator::SetEntropySource(EntropySource source) {
    entropy_source.store(source != nullptr ? source : &SystemEntropy);
}

RandomGenerator::~RandomGenerator() {
    SecureWipe(pool_, sizeof(pool_));
    counter_ = 0;
}

void RandomGenerator::Seed(const std::uint8_t* bytes, std::size_t length) {
    std::lock_guard<std::mutex> guard(mutex_);
    SeedLocked(bytes, length);
}

void RandomGenerator::SeedLocked(const std::uint8_t* bytes, std::size_t length) {
    if (length > 0) cipher_.SetKey(bytes, length);
    static const std::uint8_t kZero[8] = {};
    cipher_.SetIV(kZero, 8);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i)
        sum += bytes[i];
    counter_ = sum;
}

std::uint8_t RandomGenerator::NextByteLocked() {
    if (available_ == 0) {
        bytes::StoreBE32(pool_, counter_);
        bytes::StoreBE32(pool_ + 4, counter_ + 1);
        counter_ += 2;
        cipher_.Encrypt(pool_, 8);
        available_ = 8;
    }
    const std::uint8_t b = pool_[8 - available_];
    pool_[8 - available_] = 0;
    --available_;
    return b;
}

std::uint8_t RandomGenerator::NextByte() {
    std::lock_guard<std::mutex> guard(mutex_);
    return NextByteLocked();
}

void RandomGenerator::Fill(std::uint8_t* buffer, std::size_t length) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < length; ++i)
        buffer[i] = NextByteLocked();
}

bool SystemEntropy(std::uint8_t* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = getrandom(buffer + done, length - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (done == length) return true;
    // Kernels without getrandom still have the device.
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    done = 0;
    while (done < length) {
        const ssize_t n = ::read(fd, buffer + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(fd);
    return done == length;
}

bool RandomGenerator::StartupSeed() {
    // The clock as a 64-bit count of 100-nanosecond intervals since 1601, hashed high half first.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::uint64_t fileTime =
        static_cast<std::uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100) +
        116444736000000000ULL;
    const std::uint32_t high = static_cast<std::uint32_t>(fileTime >> 32);
    const std::uint32_t low = static_cast<std::uint32_t>(fileTime);
    CMD5 md5;
    md5.Update(&high, 4);
    md5.Update(&low, 4);
    std::uint8_t digest[16];
    md5.Final(digest);
    std::uint32_t sum = 0;
    for (int i = 0; i < 4; ++i)
        sum += bytes::LoadBE32(digest + 4 * i);
    std::srand(sum);
    std::uint8_t stirred[16];
    for (auto& b : stirred)
        b = static_cast<std::uint8_t>(std::rand() / 128);

    // The clock alone could be guessed; the operating system's entropy makes the seed secret.
    std::uint8_t seed[16 + 32];
    CMD5::Digest(stirred, sizeof(stirred), seed);
    const bool entropy = entropy_source.load()(seed + 16, 32);
    Seed(seed, entropy ? sizeof(seed) : 16);
    has_entropy_.store(entropy);
    SecureWipe(seed, sizeof(seed));
    SecureWipe(stirred, sizeof(stirred));
    SecureWipe(digest, sizeof(digest));
    return entropy;
}

bool RandomGenerator::EnsureEntropy() {
    if (has_entropy_.load()) return true;
    std::lock_guard<std::mutex> guard(mutex_);
    if (has_entropy_.load()) return true;
    // What the generator would give next joins the fresh bytes, so that nothing of the state so
    // far is lost; the operating system's part makes the result secret.
    std::uint8_t seed[16 + 32];
    for (int i = 0; i < 16; ++i)
        seed[i] = NextByteLocked();
    const bool entropy = entropy_source.load()(seed + 16, 32);
    if (entropy) {
        SeedLocked(seed, sizeof seed);
        has_entropy_.store(true);
    }
    SecureWipe(seed, sizeof seed);
    return entropy;
}

RandomGenerator& RandomGenerator::Global() {
    static RandomGenerator* instance = [] {
        static RandomGenerator generator;
        generator.StartupSeed();
        return &generator;
    }();
    return *instance;
}

}  // namespace tarnwick
