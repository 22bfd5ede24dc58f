// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serial_custom_rate.h"

#include <sys/ioctl.h>

#ifdef __linux__
#include <asm/termbits.h>
#endif

namespace dmm {

bool SetCustomRate([[maybe_unused]] int fd, [[maybe_unused]] int32_t rate) {
#if defined(__linux__) && defined(BOTHER)
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    tio.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = speed_t(rate);
    tio.c_ospeed = speed_t(rate);
    return ::ioctl(fd, TCSETS2, &tio) == 0;
#else
    return false;
#endif
}

}  // namespace dmm
