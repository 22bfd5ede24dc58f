// SPDX-License-Identifier: GPL-3.0-or-later
#include "record/record_logging.h"

namespace dmm {

Q_LOGGING_CATEGORY(lcFiles, "dmm.files", QtWarningMsg)
Q_LOGGING_CATEGORY(lcJournal, "dmm.journal", QtWarningMsg)

}  // namespace dmm
