// The packet receiver with today's protections in force: chacha20-poly1305, AES-GCM, and AES-CTR
// with each encrypt-then-MAC. A hostile server (or anyone on the path) controls every byte, so
// the input is packets sealed with the right keys and then tampered with: bits flipped, bytes cut
// off, raw bytes appended, all fed in chunks of any size. Whatever arrives must be refused with a
// status or delivered exactly as it was sealed; nothing may be read or written outside a buffer.
//
// Input: byte 0 the protection, byte 1 the chunk size, byte 2 how many bytes to cut off the end,
// byte 3 the number of flips (each 2 bytes: position, bit); then records of a 1-byte length and a
// payload, each sealed as one packet.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/random_generator.h"
#include "fuzz/fuzz_util.h"
#include "ssh/ssh2_algorithms.h"
#include "ssh/ssh2_framing.h"

namespace {

using tarnwick::fuzzing::Check;

struct Protection {
    int cipher;
    int mac;
};
// chacha20-poly1305, AES-128/256-GCM, AES-CTR with the three etm MACs, and one plain MAC.
constexpr Protection kProtections[] = {{5, 7}, {9, 7}, {10, 7}, {6, 7}, {8, 8}, {7, 9}, {6, 5}};

const std::uint8_t kKey[64] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 11, 22, 33, 44, 55, 66, 77, 88};
const std::uint8_t kIv[16] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 121, 98, 219};
const std::uint8_t kMacKey[64] = {42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    const Protection protection = kProtections[data[0] % std::size(kProtections)];
    const std::size_t chunk = (data[1] % 128) + 1;
    const std::size_t cut = data[2] % 32;
    std::size_t flips = data[3] % 4;
    data += 4;
    size -= 4;
    std::vector<std::pair<std::size_t, int>> flip_list;
    while (flips-- > 0 && size >= 2) {
        flip_list.emplace_back(data[0], data[1] % 8);
        data += 2;
        size -= 2;
    }

    tarnwick::SSH2Framing sender, receiver;
    tarnwick::SSH2DirectionKeys out_keys, in_keys;
    Check(tarnwick::MakeDirectionKeys(protection.cipher, protection.mac, true, kKey, kIv, kMacKey,
                                      &out_keys));
    Check(tarnwick::MakeDirectionKeys(protection.cipher, protection.mac, false, kKey, kIv, kMacKey,
                                      &in_keys));
    sender.SetOutgoing(std::move(out_keys));
    receiver.SetIncoming(std::move(in_keys));
    static tarnwick::RandomGenerator random;
    static const bool seeded = [] {
        random.Seed(kKey, sizeof kKey);
        return true;
    }();
    (void)seeded;

    // Seal the records; what is left after the last whole record is appended raw.
    std::string wire;
    std::vector<std::string> sealed;
    while (size >= 1 && size - 1 >= data[0]) {
        const std::size_t length = data[0];
        std::string payload(reinterpret_cast<const char*>(data + 1), length);
        if (payload.empty()) payload = "\x02";  // a packet has at least its message number
        data += 1 + length;
        size -= 1 + length;
        tarnwick::SSHPacket packet(static_cast<std::uint32_t>(payload.size() + 128));
        packet.beginPayload();
        packet.putBytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
        packet.finish();
        Check(sender.Seal(packet, random) == 0);
        wire.append(reinterpret_cast<const char*>(packet.data()), packet.size());
        sealed.push_back(payload);
    }
    wire.append(reinterpret_cast<const char*>(data), size);
    const bool tampered = !flip_list.empty() || cut > 0 || size > 0;
    for (const auto& [position, bit] : flip_list) {
        if (!wire.empty()) wire[position % wire.size()] ^= static_cast<char>(1 << bit);
    }
    wire.resize(wire.size() > cut ? wire.size() - cut : 0);

    std::size_t delivered = 0;
    std::size_t at = 0;
    while (at < wire.size()) {
        const std::size_t n = std::min(chunk, wire.size() - at);
        std::size_t used = 0;
        const int status = receiver.Feed(
            reinterpret_cast<const std::uint8_t*>(wire.data()) + at, n, &used,
            [&](tarnwick::SSHPacket& packet) {
                Check(packet.size() > packet.headerLength);
                const std::string payload(
                    reinterpret_cast<const char*>(packet.data()) + packet.headerLength,
                    packet.size() - packet.headerLength);
                // A packet that passed its tag or MAC is the one that was sealed: a flip that
                // got through would be a forgery.
                Check(delivered < sealed.size() && payload == sealed[delivered]);
                ++delivered;
                return 0;
            });
        Check(used <= n);
        if (status != 0) break;
        at += n;
    }
    if (!tampered) Check(delivered == sealed.size());
    return 0;
}
