// SPDX-License-Identifier: GPL-3.0-or-later
// The recall clock's switch and start-time boxes. The clock itself is the
// core's; these handlers read the boxes and write them back.

#include <QCheckBox>
#include <QLineEdit>

#include "app/fcomm.h"

namespace dmm::app {

void TFCOMM::RecallCheckClick() {
    const auto texts = RecallClock::BoxTextsFor(RecallCheck->isChecked());
    QLineEdit* boxes[] = {TimeH, TimeM, TimeS};
    for (size_t i = 0; i < 3; ++i)
        boxes[i]->setText(ToQString(texts[i]));
    RecallCheckExit();
}

void TFCOMM::RecallCheckExit() {
    session_.recall().Load(TimeH->text().toStdString(), TimeM->text().toStdString(),
                           TimeS->text().toStdString());
}

void TFCOMM::TimeHKeyUp() {
    QLineEdit* boxes[] = {TimeH, TimeM, TimeS};
    const std::string texts[] = {TimeH->text().toStdString(), TimeM->text().toStdString(),
                                 TimeS->text().toStdString()};
    session_.recall().TimeHKeyUp({texts[0], texts[1], texts[2]}, [&](int box) {
        dialogs_->tell(this, QStringLiteral("Information"), QStringLiteral("Input error!"),
                       WindowDialogs::Icon::Information);
        boxes[box]->setText(QStringLiteral("00"));
    });
}

}  // namespace dmm::app
