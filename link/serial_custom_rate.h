// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A rate the terminal interface has no constant for (14400, 56000 baud), set
// through the kernel's own terminal structure. Kept apart because that
// structure's header cannot share a file with <termios.h>.

#include <cstdint>

namespace dmm {

// True when the open terminal took the rate for both directions.
bool SetCustomRate(int fd, int32_t rate);

}  // namespace dmm
