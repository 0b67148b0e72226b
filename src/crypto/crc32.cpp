#include "crypto/crc32.h"

#include <array>

namespace tarnwick {

namespace {

// The table for one octet at a time, made when the program is compiled.
constexpr std::array<std::uint32_t, 256> MakeTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t crc) {
    for (std::size_t i = 0; i < length; ++i)
        crc = kTable[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

}  // namespace tarnwick
