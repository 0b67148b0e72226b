// CRC-32 on the reflected polynomial 0xEDB88320 in the form SSH protocol 1 puts in every packet's
// trailer: the register starts at 0 and the result is not complemented. It therefore differs from
// the usual CRC-32 of the same bytes (zlib's, Ethernet's), which starts at all ones and complements
// its result: Crc32(data) == ~crc32_zlib(0xFFFFFFFF, data).
//
//   std::uint32_t crc = Crc32(padding_type_and_payload, n);
//   crc = Crc32(more, m, crc);            // continues over further bytes
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick {

std::uint32_t Crc32(const std::uint8_t* data, std::size_t length, std::uint32_t crc = 0);

}  // namespace tarnwick
