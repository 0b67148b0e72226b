#include "core/io_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

// The array allocations of this test binary go through these, so that a test can look at a
// block the moment it is given back.
namespace probe {
std::atomic<const void*> watched{nullptr};
std::size_t watched_bytes = 0;
std::atomic<int> freed_clean{-1};  // -1: not freed yet; 1: all zero; 0: something was left
void Inspect(void* p) {
    if (p == nullptr || p != watched.load()) return;
    const auto* bytes = static_cast<const unsigned char*>(p);
    bool clean = true;
    for (std::size_t i = 0; i < watched_bytes; ++i)
        clean = clean && bytes[i] == 0;
    freed_clean = clean ? 1 : 0;
}
}  // namespace probe

void* operator new[](std::size_t n) {
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return std::malloc(n != 0 ? n : 1);
}
void operator delete[](void* p) noexcept {
    probe::Inspect(p);
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    probe::Inspect(p);
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    probe::Inspect(p);
    std::free(p);
}

namespace tarnwick {
namespace {

TEST(IOBufferTest, NegativeReserveAndAppendFail) {
    IO_Buffer buffer(8);
    EXPECT_FALSE(buffer.reserve(-1));
    std::uint8_t b = 1;
    EXPECT_EQ(buffer.append(&b, -5), 0u);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(IOBufferTest, ConsumeRules) {
    IO_Buffer buffer(16);
    buffer.append("abcdef", 6);
    buffer.setPosition(0);
    buffer.consume(2);
    EXPECT_EQ(buffer.remaining(), 4u);
    EXPECT_EQ(*buffer.readPointer(), 'c');
    buffer.consume(4);  // exactly the rest empties the buffer
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.position(), 0u);

    buffer.append("xyz", 3);
    buffer.setPosition(1);
    buffer.consume(100);  // past the end too
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.position(), 0u);
}

TEST(IOBufferTest, AppendOwnBytesSurvivesGrowth) {
    IO_Buffer buffer(4);
    buffer.append("abc", 3);
    // Appending the buffer's own bytes must not read freed memory when the append grows it.
    buffer.append(buffer.data(), 3);
    ASSERT_EQ(buffer.size(), 6u);
    EXPECT_EQ(0, std::memcmp(buffer.data(), "abcabc", 6));
}

TEST(IOBufferTest, StorageLeftBehindByGrowthIsWiped) {
    // Decrypted data passes through these buffers: the old block must not go back to the
    // allocator with it.
    IO_Buffer buffer(16);
    buffer.append("secret-secret", 13);
    buffer.setPosition(4);
    buffer.setLength(4);  // shorter now, but the bytes after it were written once
    probe::watched_bytes = 13;
    probe::watched = buffer.data();
    std::vector<std::uint8_t> more(100, 'x');
    buffer.append(more.data(), 100);
    probe::watched = nullptr;
    EXPECT_EQ(probe::freed_clean.load(), 1);
    EXPECT_EQ(0, std::memcmp(buffer.data(), "secr", 4));
}

TEST(IOBufferTest, PayloadOffsetKeptAcrossGrowth) {
    IO_Buffer buffer(8);
    buffer.append("\0\0\0\0\0hello", 10);
    buffer.setPayloadOffset(5);
    std::vector<std::uint8_t> more(100, 'x');
    buffer.append(more.data(), 100);
    EXPECT_EQ(0, std::memcmp(buffer.payload(), "hello", 5));
}

TEST(IOBufferTest, ReadLineAndRewind) {
    IO_Buffer buffer(32);
    buffer.append("one\rtwo\r\nrest", 13);
    buffer.setPosition(0);
    EXPECT_EQ(buffer.readLine(), "one\r");
    EXPECT_EQ(buffer.readLine(), "two\r");
    EXPECT_EQ(buffer.readLine(), "\nrest");
    EXPECT_EQ(buffer.readLine(), "");

    buffer.rewindAfterHeader();
    EXPECT_EQ(buffer.position(), 5u);
    IO_Buffer tiny(8);
    tiny.append("abc", 3);
    tiny.rewindAfterHeader();
    EXPECT_EQ(tiny.position(), 3u);
}

}  // namespace
}  // namespace tarnwick
