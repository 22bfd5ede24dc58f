// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the program tells about its work, for a bug report: Qt logging
// categories, silent by default (their debug messages are off) and switched
// on by QT_LOGGING_RULES (for example "dmm.*.debug=true") or by the programs'
// --verbose. Messages go to standard error.
//
//   dmm.frames   frames the family's test turned away, as hex   (decode/logging.h)
//   dmm.files    data file lines a load rule dropped or cut    (record/record_logging.h)
//   dmm.journal  journal failures and torn lines cut off       (record/record_logging.h)
//   dmm.link     the serial port opened, refused (and why), hung up, back
//                                                              (link/link_logging.h)
//   dmm.hid      HID arrivals, removals and read errors        (link/link_logging.h)
//
// Each layer declares its own categories, so that a lower one never needs a
// higher one's.

#include <QLoggingCategory>

namespace dmm {

Q_DECLARE_LOGGING_CATEGORY(lcFrames)

// Every dmm.* category on (QT_LOGGING_RULES still has the last word), and
// each message stamped with its time and category unless QT_MESSAGE_PATTERN
// says otherwise.
void EnableVerboseLogging();

}  // namespace dmm
