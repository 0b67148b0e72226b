// The VT100 interpreter (with its VT52 mode) on hostile byte streams.
#include "../terminal/terminal_fuzz_driver.h"
#include "terminal/vt100.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnwick::fuzzing::RunTerminal<tarnwick::VT100>(data, size);
    return 0;
}
