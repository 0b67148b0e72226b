// The SSH2 packet receiver takes whatever the network delivers: any bytes, in any chunks, with
// or without a cipher, MAC and decompression in force. It must refuse what cannot be a packet
// with a status and never read or write outside its buffers.
#include <cstdint>
#include <cstdlib>

#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: keys in force (bit 0 cipher, bit 1 MAC, bit 2 zlib); second: chunk size.
    const int mode = data[0] & 7;
    const std::size_t chunk = (data[1] % 64) + 1;
    data += 2;
    size -= 2;
    static const std::uint8_t key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    static const std::uint8_t iv[16] = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
    tarnwick::SSH2Framing framing;
    framing.SetIncoming((mode & 1) ? tarnwick::MakeCipher(3, false, key, iv) : nullptr,
                        (mode & 2) ? tarnwick::MakeMac(0, key) : nullptr);
    if (mode & 4) framing.StartDecompression();
    std::size_t at = 0;
    while (at < size) {
        std::size_t n = size - at < chunk ? size - at : chunk;
        std::size_t used = 0;
        int status = framing.Feed(data + at, n, &used, [](tarnwick::SSHPacket& packet) {
            // A delivered packet always has its message number.
            if (packet.size() <= packet.headerLength) std::abort();
            packet.seekPayload();
            (void)packet.getByte();
            (void)packet.getString();
            (void)packet.getUint32();
            return 0;
        });
        if (used > n) std::abort();
        if (status != 0) break;
        at += n;
    }
    return 0;
}
