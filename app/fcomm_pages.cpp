// SPDX-License-Identifier: GPL-3.0-or-later
// The chart's pages: the page buttons, the page-size box and its delayed
// check. The paging rules are the pager's; these handlers only show its page.

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/fcomm.h"
#include "app/trend_chart.h"
#include "decode/text_rules.h"

namespace dmm::app {

void TFCOMM::ShowPage(int32_t page) {
    Bt10->setText(QString::number(page));
    trend_->flush();
}

void TFCOMM::BtFirstClick() {
    ShowPage(ChartPager->FirstPage());
}

void TFCOMM::BTPreviousClick() {
    ShowPage(ChartPager->PreviousPage());
}

void TFCOMM::BtNextClick() {
    ShowPage(ChartPager->NextPage());
}

void TFCOMM::BTlastClick() {
    ShowPage(ChartPager->LastPage());
}

void TFCOMM::MaxrecordChange() {
    // The page size follows 2000 ms after the last change of the box.
    Timer2->start();
}

void TFCOMM::Timer2Timer() {
    Timer2->stop();
    auto size = TryStrToInt(Maxrecord->text().toStdString());
    // Typed keys give digits only; a pasted minus sign gives a size the
    // chart cannot show, which is put back like an empty box.
    if (!size || *size <= 0) {
        Maxrecord->setText(QStringLiteral("100"));  // runs the delay once more, harmlessly
        size = 100;
    }
    ChartPager->SetPageSize(*size);
    ShowPage(ChartPager->CurrentPage);
}

}  // namespace dmm::app
