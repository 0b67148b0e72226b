// Whatever the host terminal sends, the decoder neither crashes nor loses bytes: every byte comes
// out as part of exactly one event or stays pending until the flush.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "console/tty_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnwick::TtyInputDecoder decoder;
    std::vector<tarnwick::HostKeyEvent> events;
    // Split the input at a point chosen by its first byte, to exercise split sequences.
    std::size_t split = size > 0 ? data[0] % (size + 1) : 0;
    decoder.Feed(data, split, events);
    decoder.Feed(data + split, size - split, events);
    decoder.Flush(events);
    if (decoder.HasPending()) std::abort();
    if (events.size() > size) std::abort();
    return 0;
}
