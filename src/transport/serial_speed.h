// The bit rate of a serial line by number, through the kernel's arbitrary-rate interface
// (termios2 with BOTHER), which also takes the rates that have no B constant (14400, 56000,
// 128000, 256000). It lives apart because its kernel header cannot share a file with <termios.h>.
#pragma once

namespace tarnwick {

// Sets both directions to bits_per_second; false (errno set) when the driver refuses.
bool SetLineSpeed(int fd, int bits_per_second);
// The output rate the line is set to now, or -1.
int ReadLineSpeed(int fd);

}  // namespace tarnwick
