// Whatever a peer sends during an XMODEM transfer, and whenever it sends it: the procedures end
// (their time-outs and retry counts hold), the receiver writes only whole blocks that passed their
// check, and nothing crashes. The input is a script of arrivals on a line with a virtual clock:
//   byte 0: bit 0 chooses the sender (else the receiver), bit 1 makes the disk fill up at 200
//           bytes, bit 2 makes the file to send unreadable;
//   then chunks: a delay in tenths of a second, a length, and that many bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_util.h"
#include "transfer/simulated_line.h"
#include "transfer/xmodem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    if (size == 0) return 0;
    testing::SimulatedLine line;
    const std::uint8_t flags = data[0];
    std::size_t at = 1;
    std::int64_t delay = 0;
    std::size_t scripted = 0;
    while (at + 2 <= size) {
        delay += static_cast<std::int64_t>(data[at]) * 100;
        std::size_t length = data[at + 1];
        at += 2;
        if (length > size - at) length = size - at;
        line.Arrive(std::string(reinterpret_cast<const char*>(data + at), length), delay);
        scripted += length;
        at += length;
    }

    xmodem::Timing timing;
    if (flags & 1) {
        testing::MemoryFile file(std::string(1000, 'x'));
        file.fail_reads = (flags & 4) != 0;
        xmodem::Sender sender(line, file, nullptr, timing);
        sender.Run();
        // Every block goes out whole, and no more often than the rules allow.
        fuzzing::Check(line.sent.size() <= (scripted + 12) * xmodem::kCrcBlock + 64);
        return 0;
    }
    testing::MemoryFile file;
    if (flags & 2) file.fail_after = 200;
    xmodem::Receiver receiver(line, file, nullptr, timing);
    const xmodem::Outcome outcome = receiver.Run();
    fuzzing::Check(file.contents().size() <= scripted);
    fuzzing::Check((flags & 2) != 0 || file.contents().size() % xmodem::kBlockData == 0);
    fuzzing::Check(receiver.bytes_written() <= file.contents().size());
    // A full disk never ends in success.
    fuzzing::Check(!(flags & 2) || outcome != xmodem::Outcome::kDone ||
                   file.contents().size() < 200);
    return 0;
}
