// SPDX-License-Identifier: GPL-3.0-or-later
// The printer button. An empty table has no pages: rather than a preview of
// nothing, the user is told so.

#include "app/fcomm.h"

namespace dmm::app {

void TFCOMM::PrintButtonClick() {
    if (cds1_.size() == 0) {
        dialogs_->tell(this, QStringLiteral("Information"),
                       QStringLiteral("There are no readings to print."),
                       WindowDialogs::Icon::Information);
        return;
    }
    BtPrintClick();
}

}  // namespace dmm::app
