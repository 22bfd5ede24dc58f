// SPDX-License-Identifier: GPL-3.0-or-later
// The trend chart's own controls: the choice of rendering, the chart saved as
// a picture, and the enlarged view.

#include <QAction>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QSignalBlocker>
#include <QToolButton>
#include <stdexcept>

#include "app/fcomm.h"
#include "app/trend_chart.h"

namespace dmm::app {

void TFCOMM::btFillClick() {
    const bool checked = BtFill->isChecked();
    Fill->setChecked(checked);
    ShowSeries(checked ? 0 : 1);
}

void TFCOMM::FillClick() {
    // The menu item toggles the check box, which then runs its own handler
    // with the same outcome.
    const bool fill = !BtFill->isChecked();
    Fill->setChecked(fill);
    BtFill->setChecked(fill);
    btFillClick();
}

void TFCOMM::ComboBox1Change() {
    ShowSeries(ComboBox1->currentIndex());
}

void TFCOMM::BtNewClick() {
    trend_->ReplacePointsWithSample();
    trend_->flush();
    {
        const QSignalBlocker quiet(ComboBox1);
        ComboBox1->setCurrentIndex(0);
    }
    ShowSeries(0);
    ShowSeries(BtFill->isChecked() ? 0 : 1);
}

void TFCOMM::BtSaveClick() {
    const QString fileName = dialogs_->savePictureName(this);
    if (fileName.isEmpty())
        return;
    // The picture shows the page on screen, points included.
    trend_->flush();
    QImage picture(Chtshow->size(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    {
        QPainter painter(&picture);
        // The widget's own rendering, not the graphics view's scene copy, so
        // that the frame and the axes come out as on screen.
        static_cast<QWidget*>(Chtshow)->render(&painter, QPoint(), QRegion(),
                                               QWidget::DrawChildren);
    }
    QImageWriter writer(fileName, "bmp");
    if (!writer.write(picture)) {
        throw std::runtime_error("Cannot create file \"" + fileName.toStdString() + "\". " +
                                 writer.errorString().toStdString());
    }
    dialogs_->tell(this, QStringLiteral("Information"),
                   QStringLiteral("Graphic has saved on ") + fileName,
                   WindowDialogs::Icon::Information);
}

void TFCOMM::TbFdClick() {
    if (Chtshow->y() > 50) {
        TbFd->hide();
        TbSx->show();
        const QRect bounds = Chtshow->geometry();
        SavedChartBounds = {bounds.left(), bounds.top(), bounds.width(), bounds.height()};
        const QRect outer = frameGeometry();
        Chtshow->setGeometry(2, 28, outer.width() - 12, outer.height() - 75);
        Panel4->hide();
        Panel19->move(4, 2);
        Panel6->hide();
    } else {
        TbSx->hide();
        TbFd->show();
        const auto [left, top, width, height] = SavedChartBounds;
        Chtshow->setGeometry(left, top, width, height);
        Panel4->show();
        Panel19->move(337, 152);
        Panel6->show();
    }
    KeepChartMargins();
}

void TFCOMM::KeepChartMargins() {
    // The chart keeps a margin of 1 % of its size on every side: the plot
    // takes what the axes' labels leave.
    const int across = (Chtshow->width() + 50) / 100;
    const int down = (Chtshow->height() + 50) / 100;
    Chtshow->chart()->setMargins(QMargins(across, down, across, down));
}

}  // namespace dmm::app
