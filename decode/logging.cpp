// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/logging.h"

#include <QString>

namespace dmm {

Q_LOGGING_CATEGORY(lcFrames, "dmm.frames", QtWarningMsg)

void EnableVerboseLogging() {
    QLoggingCategory::setFilterRules(QStringLiteral("dmm.*.debug=true"));
    if (qEnvironmentVariableIsEmpty("QT_MESSAGE_PATTERN")) {
        qSetMessagePattern(QStringLiteral(
            "%{time yyyy-MM-dd hh:mm:ss.zzz} %{if-category}%{category}: %{endif}%{message}"));
    }
}

}  // namespace dmm
