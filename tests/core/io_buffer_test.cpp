#include "core/io_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

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
