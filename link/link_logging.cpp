// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/link_logging.h"

namespace dmm {

Q_LOGGING_CATEGORY(lcLink, "dmm.link", QtWarningMsg)
Q_LOGGING_CATEGORY(lcHid, "dmm.hid", QtWarningMsg)

}  // namespace dmm
