// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The record layer's logging categories (the scheme is in decode/logging.h):
// dmm.files for data file lines a load rule dropped or cut, dmm.journal for
// the journal's failures.

#include <QLoggingCategory>

namespace dmm {

Q_DECLARE_LOGGING_CATEGORY(lcFiles)
Q_DECLARE_LOGGING_CATEGORY(lcJournal)

}  // namespace dmm
