#include "transport/serial_speed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace tarnwick {

bool SetLineSpeed(int fd, int bits_per_second) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) return false;
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = static_cast<speed_t>(bits_per_second);
    line.c_ospeed = static_cast<speed_t>(bits_per_second);
    return ioctl(fd, TCSETS2, &line) == 0;
}

int ReadLineSpeed(int fd) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) return -1;
    return static_cast<int>(line.c_ospeed);
}

}  // namespace tarnwick
