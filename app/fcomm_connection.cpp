// SPDX-License-Identifier: GPL-3.0-or-later
// Connection control: the serial port and the USB interface cable, the
// device list and its log, and the link watchdog.
//
// The serial link is the driver COMM2 on COM1..COM4; its chunks go to the
// chosen family's receive handler (HTarvoRData, HMeskoRData, HDralinRData).
// The USB link is the HID device whose product string is "USB to Serial": a
// feature report sets it to the meter's 2400 baud, and its input reports go to
// the family's cable handler (HTarvoHidData, HMeskoHidData).

#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "link/hid_controller.h"
#include "link/hid_device.h"
#include "link/hid_hidapi_backend.h"
#include "link/meter_cable.h"
#include "link/serial_port_driver.h"

namespace dmm::app {
namespace {

// The notices of the USB link, like every notice of the program.
const QString kNoticeTitle = QStringLiteral("Information");

const QString kNoCableText =
    QStringLiteral("USB interface cable is not securely connected, please check and re-try.");
const QString kMeterSilentText = QStringLiteral(
    "USB interface cable is securely connected, please check if the meter is ready.");
// Without the udev rule a hidraw node belongs to root: the cable is listed
// but cannot be opened for reading.
const QString kNoAccessText = QStringLiteral(
    "The USB interface cable was found, but this user may not read from it. Install the rule "
    "file 70-tarvometer-cable.rules into /etc/udev/rules.d (the program's package puts it in "
    "/usr/lib/udev/rules.d), then unplug the cable and plug it in again.");

// The newest lines of the log are kept; the oldest go.
constexpr int kHistoryLines = 10000;

// The device's line in the list: its product string, else its numbers, and
// its serial number when it has one.
QString DeviceDescription(TJvHidDevice& device) {
    QString text = device.ProductText();
    if (text.isEmpty()) {
        text = QString::asprintf("Device VID=%.4X PID=%.4X", unsigned(device.VendorID()),
                                 unsigned(device.ProductID()));
    }
    const QString serial = device.SerialText();
    if (!serial.isEmpty())
        text += QStringLiteral(" (Serial=%1)").arg(serial);
    return text;
}

}  // namespace

void TFCOMM::CreateLinks(std::shared_ptr<HidBackend> hid) {
    COMM2 = std::make_unique<TCommPortDriver>();
    COMM2->setComPort(pnCOM1);
    COMM2->setComPortSpeed(br2400);
    // An adapter pulled and plugged back, or a line that hung up, comes back
    // by itself while "COM Disconnect" is shown; the lamp is grey meanwhile.
    COMM2->setReopenAfterHangUp(1000);
    // The chosen family's receive handler takes the line's bytes.
    COMM2->OnReceiveData = [this](TCommPortDriver*, const uint8_t* data, int32_t size) {
        RunHandler([&] {
            switch (family_) {
                case Family::Mesko:
                    HMeskoRData(data, size);
                    break;
                case Family::Dralin:
                    HDralinRData(data, size);
                    break;
                default:
                    HTarvoRData(data, size);
                    break;
            }
        });
    };

    if (!hid)
        hid = std::make_shared<HidapiBackend>();
    HidCtl = std::make_unique<TJvHidDeviceController>(nullptr, std::move(hid));
    cable_ = std::make_unique<MeterCable>(*HidCtl);
    HidCtl->SetOnArrival(TJvHidPlugEvent(this, &TFCOMM::HidCtlArrival));
    HidCtl->SetOnEnumerate(TJvHidEnumerateEvent(this, &TFCOMM::HidCtlEnumerate));
    HidCtl->SetOnDeviceDataError(TJvHidDataErrorEvent(this, &TFCOMM::HidCtlDeviceDataError));
    HidCtl->SetOnRemoval(TJvHidPlugEvent(this, &TFCOMM::HidCtlRemoval));
    // The first handler lists the devices at once.
    HidCtl->SetOnDeviceChange(TNotifyEvent(this, &TFCOMM::HidCtlDeviceChange));

    receiver_.onHistory = [this](const std::string& line) { AddHistoryLine(ToQString(line)); };
}

void TFCOMM::ConnectLinkHandlers() {
    auto handler = [this](void (TFCOMM::*method)()) {
        return [this, method] { RunHandler([this, method] { (this->*method)(); }); };
    };
    void (TFCOMM::*ports[])() = {&TFCOMM::COM11Click, &TFCOMM::COM21Click, &TFCOMM::COM31Click,
                                 &TFCOMM::COM41Click};
    for (size_t i = 0; i < portItems_.size(); ++i)
        connect(portItems_[i], &QAction::triggered, this, handler(ports[i]));
    for (QLabel* panel : portPanels_)
        panel->installEventFilter(this);
    for (QLabel* panel : {BTCon, BtDiscon})
        panel->installEventFilter(this);
    connect(COMCon, &QPushButton::clicked, this, handler(&TFCOMM::COMConClick));
    connect(START1, &QAction::triggered, this, handler(&TFCOMM::BTCon1Click));
    connect(STOP1, &QAction::triggered, this, handler(&TFCOMM::BtDiscon1Click));
    connect(USBCon, &QPushButton::clicked, this, handler(&TFCOMM::USBConClick));
    connect(SetFeature, &QPushButton::clicked, this, handler(&TFCOMM::SetFeatureClick));
    connect(ReadBtn, &QToolButton::clicked, this, handler(&TFCOMM::ReadBtnClick));
    connect(ClearBtn, &QToolButton::clicked, this, handler(&TFCOMM::ClearBtnClick));
    connect(InfoBtn, &QToolButton::clicked, this, handler(&TFCOMM::InfoBtnClick));
    connect(ConTimer, &QTimer::timeout, this, handler(&TFCOMM::ConTimerTimer));
    ConTimer->start();
}

void TFCOMM::CloseLinks() {
    if (ConTimer)
        ConTimer->stop();
    if (COMM2)
        COMM2->ClosePort();
    // Giving the claimed devices back stops their readers before the window
    // that handles their reports goes.
    CurrentHidDevice = nullptr;
    cable_.reset();
    if (DevListBox)
        DevListBox->clear();
    HidCtl.reset();
}

// --- The serial link ---------------------------------------------------------

void TFCOMM::SelectPort(int index) {
    for (size_t i = 0; i < portItems_.size(); ++i) {
        portItems_[i]->setChecked(int(i) == index);
        portPanels_[i]->setVisible(int(i) == index);
    }
    COMM2->setComPort(TComPortNumber(index));  // ignored while the port is open
}

void TFCOMM::COM11Click() {
    SelectPort(0);
}

void TFCOMM::COM21Click() {
    SelectPort(1);
}

void TFCOMM::COM31Click() {
    SelectPort(2);
}

void TFCOMM::COM41Click() {
    SelectPort(3);
}

bool TFCOMM::SerialConnect() {
    // A port that cannot be opened leaves the link closed and says why,
    // rather than showing a connection that brings nothing.
    if (!COMM2->OpenPort()) {
        QString text = QStringLiteral("COM%1 could not be opened (%2):\n%3")
                           .arg(int(COMM2->ComPort()) + 1)
                           .arg(COMM2->OpenedName(), COMM2->OpenError());
        if (COMM2->OpenDenied())
            text += QLatin1Char('\n') + QString::fromUtf8(kSerialAccessHint);
        dialogs_->tell(this, QStringLiteral("Error"), text, WindowDialogs::Icon::Error);
        return false;
    }
    ComSetup1->menuAction()->setEnabled(false);
    START1->setChecked(true);
    START1->setEnabled(false);
    STOP1->setEnabled(true);
    STOP1->setChecked(false);
    BTCon->hide();
    BtDiscon->show();
    for (QLabel* panel : portPanels_)
        panel->setEnabled(false);
    return true;
}

void TFCOMM::SerialDisconnect() {
    ComSetup1->menuAction()->setEnabled(true);
    START1->setChecked(false);
    START1->setEnabled(true);
    STOP1->setEnabled(false);
    STOP1->setChecked(true);
    COMM2->ClosePort();
    BTCon->show();
    BtDiscon->hide();
    for (QLabel* panel : portPanels_)
        panel->setEnabled(true);
}

void TFCOMM::COMConClick() {
    if (COMCon->isChecked()) {
        if (!SerialConnect()) {
            COMCon->setChecked(false);
            return;
        }
        USBCon->hide();
        COMCon->setText(QStringLiteral("COM Disconnect"));
    } else {
        SerialDisconnect();
        USBCon->show();
        COMCon->setText(QStringLiteral("COM Connection"));
    }
}

void TFCOMM::BTCon1Click() {
    if (SerialConnect())
        COMCon->setChecked(true);
}

void TFCOMM::BtDiscon1Click() {
    SerialDisconnect();
    COMCon->setChecked(false);
}

// --- The USB link ------------------------------------------------------------

TJvHidDevice* TFCOMM::SelectedDevice() const {
    QListWidgetItem* item = DevListBox->currentItem();
    return item && item->isSelected() ? cable_->device(size_t(DevListBox->row(item))) : nullptr;
}

void TFCOMM::USBConClick() {
    ReadBtnClick();
    SetFeatureClick();
    receiver_.reports().IdleReportCount = 0;
    CurrentHidDevice = SelectedDevice();
    if (!CurrentHidDevice)
        return;
    if (!CurrentHidDevice->ReadWriteAccess()) {
        USBCon->setChecked(false);
        dialogs_->tell(this, kNoticeTitle, kNoAccessText, WindowDialogs::Icon::Information);
        return;
    }
    const bool connect = USBCon->isChecked();
    ReadCurrentCable(connect);
    USBCon->setText(connect ? QStringLiteral("USB Disconnect") : QStringLiteral("USB Connection"));
    for (QLabel* panel : portPanels_)
        panel->setVisible(!connect);
    // All four panels show, one on top of the other: the selected port's is
    // the one seen, so that a click on it selects the next port as usual.
    if (!connect)
        portPanels_[size_t(COMM2->ComPort())]->raise();
    COMCon->setVisible(!connect);
}

// The current cable's reports go to the chosen family's cable handler (the
// button is disabled for a family without a cable), or nowhere.
void TFCOMM::ReadCurrentCable(bool on) {
    if (!on) {
        CurrentHidDevice->SetDataHandler(TJvHidDataEvent());
        return;
    }
    CurrentHidDevice->SetDataHandler(TJvHidDataEvent(
        this, family_ == Family::Mesko ? &TFCOMM::HMeskoHidData : &TFCOMM::HTarvoHidData));
}

// While "USB Disconnect" is shown, the cable found after a device change (it
// was plugged back, or another device came or went) is set up and read again
// without a click; the two presses remain for anything else.
void TFCOMM::ResumeCable() {
    if (!USBCon->isChecked())
        return;
    TJvHidDevice* cable = SelectedDevice();
    if (!cable || !cable->ReadWriteAccess())
        return;
    SetFeatureClick();
    receiver_.reports().IdleReportCount = 0;
    ReadCurrentCable(true);
}

void TFCOMM::SetFeatureClick() {
    CurrentHidDevice = SelectedDevice();
    if (!CurrentHidDevice) {
        dialogs_->tell(this, kNoticeTitle, kNoCableText, WindowDialogs::Icon::Information);
        USBCon->setChecked(false);
        return;
    }
    // The log shows the report sent, and a refusal with the system's reason.
    const CableSetup setup = SetUpCable(*CurrentHidDevice);
    AddHistoryLine(CableSetupText());
    if (!setup.ok) {
        AddHistoryLine(QStringLiteral("SET-UP FAILED: %1 (%2)")
                           .arg(setup.reason, QString::number(setup.error, 16).toUpper()));
    }
}

void TFCOMM::ReadBtnClick() {
    CurrentHidDevice = SelectedDevice();
    if (!CurrentHidDevice)
        return;
    if (!CurrentHidDevice->ReadWriteAccess()) {
        ReadBtn->setChecked(false);
        return;
    }
    CurrentHidDevice->SetDataHandler(
        ReadBtn->isChecked() ? TJvHidDataEvent(this, &TFCOMM::HMeskoHidData) : TJvHidDataEvent());
}

void TFCOMM::ClearBtnClick() {
    HistoryListBox->clear();
}

void TFCOMM::InfoBtnClick() {
    TJvHidDevice* device = SelectedDevice();
    if (!device)
        return;
    const QString info =
        QStringLiteral(
            "%1\n\nVendor: %2\nProduct: %3\nVersion: %4\nSerial: %5\nPath: %6\n"
            "Read and write access: %7")
            .arg(DeviceDescription(*device))
            .arg(QString::asprintf("%.4X", unsigned(device->VendorID())))
            .arg(QString::asprintf("%.4X", unsigned(device->ProductID())))
            .arg(QString::asprintf("%.4X", unsigned(device->VersionNumber())))
            .arg(device->SerialText().isEmpty() ? QStringLiteral("none") : device->SerialText())
            .arg(QString::fromStdString(device->InterfacePath()))
            .arg(device->ReadWriteAccess() ? QStringLiteral("yes") : QStringLiteral("no"));
    dialogs_->tell(this, QStringLiteral("Device"), info, WindowDialogs::Icon::Information);
}

void TFCOMM::HTarvoHidData(TJvHidDevice*, uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
    RenderSoonOnExit render{*this};
    receiver_.HTarvoHidData(ReportID, Data, Size);
}

void TFCOMM::HMeskoHidData(TJvHidDevice*, uint8_t ReportID, const uint8_t* Data, uint16_t Size) {
    RenderSoonOnExit render{*this};
    receiver_.HMeskoHidData(ReportID, Data, Size);
}

// --- The device list and its log ---------------------------------------------

void TFCOMM::HidCtlDeviceChange(QObject*) {
    // Any change stops USB reading and the buttons stay as they are; a cable
    // still or again there is then taken up again.
    ReadBtn->setChecked(false);
    ReadBtnClick();
    CurrentHidDevice = nullptr;
    cable_->releaseAll();
    DevListBox->clear();
    HidCtl->EnumerateDevices();
    // The cable by the rule of MeterCable: the last line "USB to Serial".
    const int row = cable_->cableIndex();
    DevListBox->setCurrentRow(row);
    if (row >= 0)
        ResumeCable();
}

bool TFCOMM::HidCtlEnumerate(TJvHidDevice* HidDev, int32_t Idx) {
    auto* line = new QListWidgetItem(DeviceDescription(*HidDev));
    // Line n is the nth device held.
    TJvHidDevice* claimed = cable_->claim(Idx);
    // A device object made after the controller's error handler was set
    // starts without one; the cable's read errors belong in the log all the
    // same.
    if (claimed)
        claimed->SetDataErrorHandler(TJvHidDataErrorEvent(this, &TFCOMM::HidCtlDeviceDataError));
    DevListBox->addItem(line);
    return true;
}

void TFCOMM::HidCtlArrival(TJvHidDevice* HidDev) {
    AddHistoryLine(QStringLiteral("Arrival of ") + DeviceDescription(*HidDev));
}

void TFCOMM::HidCtlRemoval(TJvHidDevice* HidDev) {
    AddHistoryLine(QStringLiteral("Removal of ") + DeviceDescription(*HidDev));
}

void TFCOMM::HidCtlDeviceDataError(TJvHidDevice*, uint32_t Error) {
    AddHistoryLine(QStringLiteral("READ ERROR: %1 (%2)")
                       .arg(HidErrorText(Error), QString::number(Error, 16).toUpper()));
}

void TFCOMM::AddHistoryLine(const QString& line) {
    while (HistoryListBox->count() >= kHistoryLines)
        delete HistoryListBox->takeItem(0);
    HistoryListBox->addItem(line);
    HistoryListBox->setCurrentRow(HistoryListBox->count() - 1);
}

// --- The watchdog ------------------------------------------------------------

void TFCOMM::ConTimerTimer() {
    // The decoders reset the count with every frame; the third tick without
    // one shows the link as silent (the watchdog of MeterCable).
    const CableWatchdog::Verdict verdict =
        cable_->watchdog().tick(state_.NoFrameTicks, receiver_.reports().IdleReportCount);
    if (verdict == CableWatchdog::Verdict::Quiet)
        return;
    const bool meterSilent = verdict == CableWatchdog::Verdict::MeterSilent;
    if (meterSilent) {
        // The cable answers but carries nothing: give the USB link up.
        USBCon->setChecked(false);
        if (CurrentHidDevice)
            CurrentHidDevice->SetDataHandler(TJvHidDataEvent());
    }
    ShowLinkSilent();
    if (meterSilent)
        dialogs_->tell(this, kNoticeTitle, kMeterSilentText, WindowDialogs::Icon::Information);
}

void TFCOMM::ShowLinkSilent() {
    state_.Lcd.setVisible(El::CONok, false);
    state_.Lcd.setVisible(El::CONokN, true);
    state_.NoFrameTicks = 0;
    RenderLcd();
}

}  // namespace dmm::app
