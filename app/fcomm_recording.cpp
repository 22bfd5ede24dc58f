// SPDX-License-Identifier: GPL-3.0-or-later
// The reading log's controls: the interval mode, the capacity menu, clearing,
// and the grid, which catches up with the table a few times a second rather
// than at every row.

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include "app/fcomm.h"
#include "app/trend_chart.h"
#include "record/reading_table_model.h"

namespace dmm::app {

void TFCOMM::RecordSIClick() {
    if (RecordSI->isChecked())
        Timer1->start();
    else
        Timer1->stop();
}

void TFCOMM::RecordSITimeChange() {
    const SamplingInterval interval = SamplingIntervalFromText(RecordSITime->text().toStdString());
    const QString text = QString::fromStdString(interval.text);
    if (RecordSITime->text() != text)
        RecordSITime->setText(text);
    if (Timer1->interval() != interval.intervalMs)
        Timer1->setInterval(interval.intervalMs);
}

bool TFCOMM::RecordSITimeKeyPress(QKeyEvent* event) {
    const char32_t typed = TypedCharacter(*event);
    return typed != 0 && !DigitKeyAccepted(typed);
}

void TFCOMM::Timer1Timer() {
    session_.INDataToTable(0);
    RenderLcd();
}

void TFCOMM::CapacityClick(size_t item) {
    session_.setCapacity(kCapacityItems[item].limit);
    for (size_t i = 0; i < capacityActions_.size(); ++i)
        capacityActions_[i]->setChecked(i == item);
}

void TFCOMM::N10001Click() {
    CapacityClick(0);
}
void TFCOMM::N50001Click() {
    CapacityClick(1);
}
void TFCOMM::N100001Click() {
    CapacityClick(2);
}
void TFCOMM::N500001Click() {
    CapacityClick(3);
}
void TFCOMM::N1000001Click() {
    CapacityClick(4);
}
void TFCOMM::limitessClick() {
    CapacityClick(5);
}

void TFCOMM::RecordNewClick() {
    if (loading())
        return;  // the loader still holds rows of this table
    if (!dialogs_->ask(this, QStringLiteral("Information"),
                       QStringLiteral("Are you sure to delete the data?"))) {
        return;
    }
    Bt10->setText(QString::number(ChartPager->Clear()));
    session_.Clear();
    SyncGrid();
}

void TFCOMM::MarkGridDirty() {
    if (!gridTimer_->isActive())
        gridTimer_->start();
}

void TFCOMM::SyncGrid() {
    gridTimer_->stop();
    // The chart catches up with its points at the same pace as the grid.
    if (trend_)
        trend_->flush();
    if (!model_->sync())
        return;
    const int rows = model_->rowCount();
    if (rows == 0)
        return;
    // The newest row becomes current, in the column the user was in.
    const int column = std::max(DBGrid1->currentIndex().column(), 0);
    const QModelIndex last = model_->index(rows - 1, column);
    DBGrid1->setCurrentIndex(last);
    DBGrid1->scrollTo(last);
}

}  // namespace dmm::app
