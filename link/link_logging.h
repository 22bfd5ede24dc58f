// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The link layer's logging categories (the scheme is in decode/logging.h):
// dmm.link for the serial port, dmm.hid for the HID devices and their reads.

#include <QLoggingCategory>

namespace dmm {

Q_DECLARE_LOGGING_CATEGORY(lcLink)
Q_DECLARE_LOGGING_CATEGORY(lcHid)

}  // namespace dmm
