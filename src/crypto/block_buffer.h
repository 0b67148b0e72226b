// The 64-byte block buffering that MD5 and SHA-1 share: input is collected into whole blocks for
// the compression function, and the last block gets the 0x80 pad with room for the 8-byte length
// (which each hash stores in its own byte order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick::hash_blocks {

// Adds data to the message: whole blocks go straight to blocks(pointer, count); what is left
// waits in buffer (fill bytes of it). length counts every byte absorbed.
template <typename Blocks>
inline void Absorb(std::uint8_t (&buffer)[64], std::uint32_t& fill, std::uint64_t& length,
                   const std::uint8_t* p, std::size_t n, Blocks&& blocks) {
    // An empty input (an empty passphrase, say) may come with no storage at all.
    if (n == 0) return;
    length += n;
    if (fill > 0) {
        std::size_t take = 64 - fill;
        if (take > n) take = n;
        std::memcpy(buffer + fill, p, take);
        fill += static_cast<std::uint32_t>(take);
        p += take;
        n -= take;
        if (fill < 64) return;
        blocks(buffer, 1);
        fill = 0;
    }
    if (n >= 64) {
        blocks(p, n / 64);
        p += n & ~static_cast<std::size_t>(63);
        n &= 63;
    }
    if (n > 0) {
        std::memcpy(buffer, p, n);
        fill = static_cast<std::uint32_t>(n);
    }
}

// Appends the 0x80 pad and zeros up to byte 56 of the last block (running a full block through
// blocks first when the pad does not leave room); the caller stores the length in bytes 56-63 and
// runs the block.
template <typename Blocks>
inline void Pad(std::uint8_t (&buffer)[64], std::uint32_t& fill, Blocks&& blocks) {
    buffer[fill++] = 0x80;
    if (fill > 56) {
        std::memset(buffer + fill, 0, 64 - fill);
        blocks(buffer, 1);
        fill = 0;
    }
    std::memset(buffer + fill, 0, 56 - fill);
}

}  // namespace tarnwick::hash_blocks
