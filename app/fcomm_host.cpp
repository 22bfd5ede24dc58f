// SPDX-License-Identifier: GPL-3.0-or-later
// The decoders' host: the widget states they read and the effects they have
// beyond the LCD model. Each effect touches its widget only when it changes,
// as frames arrive twenty times a second and mostly repeat.

#include <QAction>
#include <QApplication>
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QProgressBar>
#include <QPushButton>
#include <QValueAxis>
#include <algorithm>

#include "app/fcomm.h"
#include "app/lcd_widgets.h"
#include "decode/date_time.h"

namespace dmm::app {
namespace {

const QColor kPassColour(0, 128, 0);
const QColor kFailColour(255, 0, 0);

void SetPaletteColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

}  // namespace

void TFCOMM::ReadControls() {
    SessionControls& c = session_.controls;
    c.fill = BtFill->isChecked();
    c.sampling = RecordSI->isChecked();
    c.dralinSwitch = IFDralin->isChecked();
    c.repeat = RepeatSet->isChecked();
    c.recall = RecallCheck->isChecked();
    c.recallStep = TimeInt->text().toStdString();
    c.high = T1HI->text().toStdString();
    c.low = T1LO->text().toStdString();
}

// Every frame sets the axis; the chart lays itself out again at each change,
// so the axis takes the last frame's range when the chunk is done.
void TFCOMM::SetValueAxis(double minimum, double maximum) {
    axisMin_ = minimum;
    axisMax_ = maximum;
}

void TFCOMM::ShowSeries(int index) {
    const QList<QAbstractSeries*> series = Chtshow->chart()->series();
    for (QAbstractSeries* s : series)
        s->setVisible(false);
    if (index >= 0 && index < series.size())
        series[index]->setVisible(true);
}

// The value box, its verdict colours, the page label and the bar show the
// last frame drawn: a burst of frames from the line updates each widget once,
// in RenderLcd.
void TFCOMM::SetMeasuredValue(const std::string& valueText) {
    pendingValue_ = valueText;
}

void TFCOMM::ShowVerdict(Verdict verdict) {
    pendingVerdict_ = verdict;
}

void TFCOMM::ShowPendingVerdict(Verdict verdict) {
    if (verdictShown_ == int(verdict))
        return;
    verdictShown_ = int(verdict);
    const bool pass = verdict == Verdict::Pass;
    const QColor& colour = pass ? kPassColour : kFailColour;
    SetPaletteColour(T1VALUE, QPalette::Base, colour);
    SetPaletteColour(Shape1, QPalette::Window, colour);  // the lamp's brush
    Shape1->update();
    SetPaletteColour(judge, QPalette::Window, colour);
    judge->setText(pass ? QStringLiteral("Pass") : QStringLiteral("Fail"));
    judge->adjustSize();
}

void TFCOMM::ClearVerdict() {
    verdictShown_ = -1;
    pendingVerdict_.reset();
    pendingValue_.reset();
    T1VALUE->setText(QStringLiteral("0"));
    SetPaletteColour(T1VALUE, QPalette::Base, TooltipColour());
    SetPaletteColour(Shape1, QPalette::Window, TooltipColour());
    Shape1->update();
    SetPaletteColour(judge, QPalette::Window, TooltipColour());
    judge->clear();
}

void TFCOMM::ReadingRecorded(size_t) {
    pendingPage_ = ChartPager->AddPoint(state_.Reading.ChartValue);
    MarkGridDirty();
}

void TFCOMM::CapacityReached(int32_t limit) {
    dialogs_->notice(this, QStringLiteral("Information"),
                     QStringLiteral("Recording stopped: the table holds its limit of %1 rows. "
                                    "Choose a larger capacity in the Record menu.")
                         .arg(limit));
}

void TFCOMM::SetBarPosition(int position) {
    pendingBar_ = position;
}

void TFCOMM::ShowPendingHostState() {
    if (valueAxis_->min() != axisMin_ || valueAxis_->max() != axisMax_)
        valueAxis_->setRange(axisMin_, axisMax_);
    if (pendingVerdict_) {
        ShowPendingVerdict(*pendingVerdict_);
        pendingVerdict_.reset();
    }
    if (pendingValue_) {
        const QString text = QString::fromStdString(*pendingValue_);
        if (T1VALUE->text() != text)
            T1VALUE->setText(text);
        pendingValue_.reset();
    }
    if (pendingPage_) {
        const QString text = QString::number(*pendingPage_);
        if (Bt10->text() != text)
            Bt10->setText(text);
        pendingPage_.reset();
    }
    if (pendingBar_) {
        // The bar repaints itself at once on a new value; painted with the
        // rest of the window it costs a fraction.
        const int position = std::clamp(*pendingBar_, PBar2->minimum(), PBar2->maximum());
        if (position != PBar2->value()) {
            PBar2->setUpdatesEnabled(false);
            PBar2->setValue(position);
            PBar2->setUpdatesEnabled(true);
        }
        pendingBar_.reset();
    }
}

void TFCOMM::Beep() {
    QApplication::beep();
}

}  // namespace dmm::app
