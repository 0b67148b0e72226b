// The VT240 interpreter (levels, 8-bit controls, strings, selective erase) on hostile streams.
#include "../terminal/terminal_fuzz_driver.h"
#include "terminal/vt240.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tarnwick::fuzzing::RunTerminal<tarnwick::VT240>(data, size);
    return 0;
}
