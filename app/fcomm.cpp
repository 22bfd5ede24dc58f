// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/fcomm.h"

#include <QChartView>
#include <QValueAxis>

#include "app/trend_chart.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "app/error_handler.h"
#include "app/lcd_widgets.h"
#include "app/print_report.h"
#include "decode/date_time.h"
#include "decode/decoders.h"
#include "decode/limit_rules.h"
#include "decode/model_config.h"
#include "link/hid_controller.h"
#include "link/meter_cable.h"
#include "link/serial_port_driver.h"
#include "record/reading_table_model.h"

namespace dmm::app {
namespace {

const QString kDataFileFilter = QStringLiteral("Excel File(*.xls);;Txt File(*.txt)");

class MessageBoxDialogs : public WindowDialogs {
  public:
    bool ask(QWidget* parent, const QString& title, const QString& text) override {
        QMessageBox box(QMessageBox::Information, BoxTitle(title), text,
                        QMessageBox::Yes | QMessageBox::No, parent);
        return box.exec() == QMessageBox::Yes;
    }

    void tell(QWidget* parent, const QString& title, const QString& text, Icon icon) override {
        QMessageBox box(icon == Icon::Error ? QMessageBox::Critical : QMessageBox::Information,
                        BoxTitle(title), text, QMessageBox::Ok, parent);
        box.exec();
    }

    void notice(QWidget* parent, const QString& title, const QString& text) override {
        auto* box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
    }

    // A fresh dialog each time, so the save dialog starts with an empty name.
    QString saveFileName(QWidget* parent) override {
        QFileDialog dialog(parent);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(kDataFileFilter);
        dialog.setDefaultSuffix(QStringLiteral("xls"));
        dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
        return Chosen(dialog);
    }

    QString openFileName(QWidget* parent) override {
        QFileDialog dialog(parent);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(kDataFileFilter);
        dialog.setSizeGripEnabled(true);
        return Chosen(dialog);
    }

    QString savePictureName(QWidget* parent) override {
        QFileDialog dialog(parent);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilter(QStringLiteral("Bitmaps (*.bmp)"));
        dialog.setDefaultSuffix(QStringLiteral("bmp"));
        dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
        dialog.setSizeGripEnabled(true);
        if (!lastPictureName_.isEmpty())
            dialog.selectFile(lastPictureName_);
        QString chosen = Chosen(dialog);
        if (!chosen.isEmpty())
            lastPictureName_ = chosen;
        return chosen;
    }

    void previewReport(QWidget* parent, const ReadingTable& table) override {
        ShowReportPreview(parent, table);
    }

  private:
    static QString Chosen(QFileDialog& dialog) {
        if (dialog.exec() != QDialog::Accepted)
            return {};
        const QStringList files = dialog.selectedFiles();
        return files.isEmpty() ? QString() : files.first();
    }

    QString lastPictureName_;  // the picture dialog offers it again
};

}  // namespace

std::unique_ptr<WindowDialogs> StandardDialogs() {
    return std::make_unique<MessageBoxDialogs>();
}

char32_t TypedCharacter(const QKeyEvent& event) {
    const QString text = event.text();
    if (text.isEmpty())
        return 0;
    const char32_t c = text.at(0).isHighSurrogate() && text.size() > 1
                           ? QChar::surrogateToUcs4(text.at(0), text.at(1))
                           : text.at(0).unicode();
    return c < 0x20 || c == 0x7F ? 0 : c;
}

TFCOMM::TFCOMM(QWidget* parent, std::shared_ptr<HidBackend> hid)
    : QMainWindow(parent),
      session_(state_),
      cds1_(session_.table()),
      receiver_(state_, session_),
      dialogs_(StandardDialogs()) {
    session_.setDisplay(this);
    session_.onRecorded = [this](size_t row) { ReadingRecorded(row); };
    session_.onCapacityReached = [this](int32_t limit) { CapacityReached(limit); };
    setObjectName(QStringLiteral("FCOMM"));
    setWindowTitle(ToQString(kDesignCaption));
    setWindowIcon(WindowIcon());
    // A fixed border with a minimise box and no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);

    // Controls without a font of their own show the default sans, bold.
    QFont font = QApplication::font();
    font.setPixelSize(11);
    font.setBold(true);
    setFont(font);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    setPalette(palette);

    CreateWidgets();
    CreateMenu();
    CreateTimers();
    ConnectHandlers();
    CreateLinks(std::move(hid));
    ConnectLinkHandlers();
    // The window is exactly the client area and the menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    FormCreate();
}

TFCOMM::~TFCOMM() {
    // The journal's worker may post to this window until it ends.
    session_.StopJournal();
    CloseLinks();
    // A load still running is left to end on its own: its read may be stuck
    // in the system, and the window must not wait for it.
    load_.reset();
}

void TFCOMM::setDialogs(std::unique_ptr<WindowDialogs> dialogs) {
    dialogs_ = dialogs ? std::move(dialogs) : StandardDialogs();
}

void TFCOMM::FormCreate() {
    LastGoodHigh_ = kStartHighLimit;
    LastGoodLow_ = kStartLowLimit;
    const std::string decimalSep = SystemDecimalSep();
    systeminfomation->setText(QString::fromStdString(decimalSep));
    const StartupResult start =
        ApplyStartup(state_, IFDralin->isChecked(), decimalSep, NowDateTime());
    session_.log().setTimeSeparator(SystemTimeSep());
    ReadControls();
    auto* bottom = qobject_cast<QValueAxis*>(Chtshow->chart()->axes(Qt::Horizontal).value(0));
    trend_ = std::make_unique<TrendChart>(Series2, Series1, bottom);
    ChartPager = std::make_unique<TChartControl>(*trend_, 100);
    setWindowTitle(QString::fromStdString(start.caption));
    PBar2->setMaximum(start.pbarMaximum);
    SetValueAxis(start.axisMinimum, start.axisMaximum);
    RenderLcd();
}

void TFCOMM::HTarvoRData(const uint8_t* data, int size) {
    // However the chunk ends, the display shows what was decoded: a frame
    // that fails part-way keeps the effects of its earlier steps.
    RenderSoonOnExit render{*this};
    receiver_.HTarvoRData(data, size);
}

void TFCOMM::HMeskoRData(const uint8_t* data, int size) {
    RenderSoonOnExit render{*this};
    receiver_.HMeskoRData(data, size);
}

void TFCOMM::HDralinRData(const uint8_t* data, int size) {
    RenderSoonOnExit render{*this};
    receiver_.HDralinRData(data, size);
}

void TFCOMM::LcdDisplayTarvo() {
    struct RenderOnExit {
        TFCOMM& window;
        ~RenderOnExit() { window.RenderLcd(); }
    } render{*this};
    dmm::LcdDisplayTarvo(state_, session_);
}

void TFCOMM::FormResize() {
    const int outerWidth = frameGeometry().width();
    BtExit->move(outerWidth - 80, BtExit->y());
    BTCon->move(outerWidth - 190, BTCon->y());
    BtDiscon->move(outerWidth - 190, BtDiscon->y());
}

void TFCOMM::BitBtn1Click() {
    if (dialogs_->ask(this, QStringLiteral("Information"),
                      QStringLiteral("Are you sure that you want to quit this application?"))) {
        close();
    }
}

void TFCOMM::BtExit1Click() {
    close();
}

void TFCOMM::LinkButtonToggled(QPushButton* button, bool down) {
    // At most one link is chosen, and none may be: pressing one releases the other.
    if (down)
        (button == COMCon ? USBCon : COMCon)->setChecked(false);
    LinkStateChanged();
}

bool TFCOMM::eventFilter(QObject* watched, QEvent* event) {
    bool dropped = false;
    RunHandler([&] { dropped = FilterEvent(watched, event); });
    return dropped || QMainWindow::eventFilter(watched, event);
}

bool TFCOMM::FilterEvent(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if (watched == T1HI)
                return T1HIKeyPress(key);
            if (watched == T1LO)
                return T1LOKeyPress(key);
            if (watched == TimeH || watched == TimeM || watched == TimeS)
                timeKeysDown_[key->key()] = watched;
            if (watched == RecordSITime || watched == TimeH || watched == TimeM ||
                watched == TimeS || watched == TimeInt || watched == Maxrecord) {
                return RecordSITimeKeyPress(key);
            }
            break;
        }
        case QEvent::KeyRelease: {
            // Only the release of a key pressed in the same box: the Enter
            // that closes the error box comes back as a release in the box
            // that had the focus, and must not raise the error again.
            auto* key = static_cast<QKeyEvent*>(event);
            if ((watched == TimeH || watched == TimeM || watched == TimeS) &&
                !key->isAutoRepeat() && timeKeysDown_.take(key->key()) == watched) {
                TimeHKeyUp();
            }
            break;
        }
        case QEvent::FocusOut: {
            // Leaving the switch for another control, not the window losing
            // its activation to a message box or another program.
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            if (watched == RecallCheck && reason != Qt::ActiveWindowFocusReason &&
                reason != Qt::PopupFocusReason) {
                RecallCheckExit();
            }
            break;
        }
        case QEvent::MouseButtonRelease:
            if (watched == BtExit) {
                BtExit1Click();
                return true;
            }
            if (watched == BTCon) {
                BTCon1Click();
                return true;
            }
            if (watched == BtDiscon) {
                BtDiscon1Click();
                return true;
            }
            // Each port panel selects the next port: COM 1 -> COM 2 -> ... -> COM 1.
            // While the port is open the panel is disabled and names the port
            // being read: a click then changes nothing.
            for (size_t i = 0; i < portPanels_.size(); ++i) {
                if (watched == portPanels_[i]) {
                    if (portPanels_[i]->isEnabled())
                        SelectPort(int((i + 1) % portPanels_.size()));
                    return true;
                }
            }
            break;
        default:
            break;
    }
    return false;
}

void TFCOMM::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TFCOMM::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    FormResize();  // the outer width is known once the frame is
    if (placed_)
        return;
    placed_ = true;
    if (const QScreen* shown = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(shown->availableGeometry().center());
        move(frame.topLeft());
    }
}

}  // namespace dmm::app
