// The two XMODEM block checks: the 8-bit arithmetic checksum and the CRC-16 of the CRC mode
// (polynomial 0x1021, initial value 0, no reflection, no final XOR).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

std::uint16_t XmodemCrc16(const std::uint8_t* data, std::size_t length);
std::uint8_t XmodemChecksum(const std::uint8_t* data, std::size_t length);

}  // namespace tarnwick
