// SPDX-License-Identifier: GPL-3.0-or-later
// Connection control driven through the window: a pseudo-terminal stands in
// for a meter on the serial line, the scripted HID backend for the cable.

#include <QElapsedTimer>
#include <QListWidget>
#include <QMouseEvent>
#include <QThread>
#include <cerrno>
#include <functional>

#include "link/hid_controller.h"
#include "link/hid_device.h"
#include "support/pseudo_terminal.h"
#include "window_fixture.h"

namespace dmm::app {
namespace {

const QString kNoCable =
    QStringLiteral("USB interface cable is not securely connected, please check and re-try.");
const QString kMeterSilent = QStringLiteral(
    "USB interface cable is securely connected, please check if the meter is ready.");

QByteArray SerialFrame(std::string_view nine) {
    const Bytes b = TarvoLine(nine);
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
}

class Links : public Window {
  protected:
    void click(const char* name) {
        QWidget* target = find(name);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &release);
    }
    QAction* action(const char* name) {
        auto* a = w.menuBar()->findChild<QAction*>(QString::fromLatin1(name));
        if (!a)
            ADD_FAILURE() << "no " << name;
        return a;
    }
    QStringList lines(const char* list) {
        QStringList out;
        auto* box = find<QListWidget>(list);
        for (int i = 0; i < box->count(); ++i)
            out << box->item(i)->text();
        return out;
    }
    QString selectedLine() {
        QListWidgetItem* item = find<QListWidget>("DevListBox")->currentItem();
        return item && item->isSelected() ? item->text() : QString();
    }
    void sendReports(const std::vector<Bytes>& reports) {
        for (const Bytes& r : reports)
            hid->queueReport(kCablePath, r);
    }
    std::vector<QString> messageTexts() {
        std::vector<QString> out;
        for (const Message& m : script.messages)
            out.push_back(m.text);
        return out;
    }
    void silentTicks(int ticks) {
        for (int i = 0; i < ticks; ++i)
            Fire(find<QTimer>("ConTimer"));
    }

    QPushButton* com() { return find<QPushButton>("COMCon"); }
    QPushButton* usb() { return find<QPushButton>("USBCon"); }
};

// --- The serial link ---------------------------------------------------------

TEST_F(Links, PortPanelsCycleThroughTheFourPorts) {
    const char* panels[] = {"BtCOM1", "BtCOM2", "BtCOM3", "BtCOM4"};
    const char* items[] = {"COM11", "COM21", "COM31", "COM41"};
    EXPECT_EQ(w.comm2().ComPort(), pnCOM1);
    for (int n = 1; n <= 4; ++n) {
        click(panels[(n - 1) % 4]);
        const int selected = n % 4;
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(shown(panels[i]), i == selected) << "click " << n << " panel " << i;
            EXPECT_EQ(action(items[i])->isChecked(), i == selected);
        }
        EXPECT_EQ(w.comm2().ComPort(), TComPortNumber(selected));
    }
    // The hidden menu selects too.
    action("COM31")->trigger();
    EXPECT_TRUE(shown("BtCOM3"));
    EXPECT_EQ(w.comm2().ComPort(), pnCOM3);
}

TEST_F(Links, APortThatCannotBeOpenedSaysWhyAndStaysClosed) {
    com()->click();
    EXPECT_FALSE(com()->isChecked());
    EXPECT_EQ(com()->text(), QStringLiteral("COM Connect"));
    EXPECT_FALSE(w.comm2().IsPortOpen());
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].title, QStringLiteral("Error"));
    EXPECT_EQ(script.messages[0].text,
              QStringLiteral("COM1 could not be opened (/nonexistent/ttyS0):\n"
                             "No such file or directory"));
    EXPECT_TRUE(shown("USBCon"));
    EXPECT_TRUE(find("BtCOM1")->isEnabled());
    EXPECT_TRUE(action("START1")->isEnabled());
    click("BTCon");
    EXPECT_FALSE(com()->isChecked());
    EXPECT_EQ(script.messages.size(), 2u);
}

TEST_F(Links, SerialConnectShowsTheSerialState) {
    test::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    const QString path = line.slavePath();
    w.comm2().setPortNameResolver([&path](TComPortNumber) { return path; });
    com()->click();
    EXPECT_TRUE(com()->isChecked());
    EXPECT_EQ(com()->text(), QStringLiteral("COM Disconnect"));
    EXPECT_TRUE(w.comm2().IsPortOpen());
    EXPECT_TRUE(script.messages.empty());
    EXPECT_FALSE(shown("USBCon"));
    EXPECT_FALSE(shown("BTCon"));
    EXPECT_TRUE(shown("BtDiscon"));
    EXPECT_FALSE(find("BtCOM1")->isEnabled());
    EXPECT_FALSE(w.menuBar()->findChild<QMenu*>("ComSetup1")->menuAction()->isEnabled());
    EXPECT_TRUE(action("START1")->isChecked());
    EXPECT_FALSE(action("START1")->isEnabled());
    EXPECT_TRUE(action("STOP1")->isEnabled());

    com()->click();
    EXPECT_FALSE(com()->isChecked());
    EXPECT_EQ(com()->text(), QStringLiteral("COM Connection"));
    EXPECT_TRUE(shown("USBCon"));
    EXPECT_TRUE(shown("BTCon"));
    EXPECT_FALSE(shown("BtDiscon"));
    EXPECT_TRUE(find("BtCOM1")->isEnabled());
    EXPECT_FALSE(action("STOP1")->isEnabled());
    EXPECT_TRUE(action("STOP1")->isChecked());

    // The parked panels connect and disconnect without touching the caption.
    click("BTCon");
    EXPECT_TRUE(com()->isChecked());
    EXPECT_EQ(com()->text(), QStringLiteral("COM Connection"));
    EXPECT_TRUE(shown("BtDiscon"));
    click("BtDiscon");
    EXPECT_FALSE(com()->isChecked());
    EXPECT_TRUE(shown("BTCon"));
}

TEST_F(Links, MeterOnThePseudoTerminal) {
    test::PseudoTerminal meter;
    ASSERT_TRUE(meter.ok());
    const QString path = meter.slavePath();
    w.comm2().setPortNameResolver([&path](TComPortNumber) { return path; });
    com()->click();
    ASSERT_TRUE(w.comm2().IsPortOpen());
    const auto& line = meter.line();
    EXPECT_EQ(cfgetispeed(&line), speed_t(B2400));

    // Noise on the line costs only the frame it runs into: the line finds
    // its feet again at the next CR. A frame split across writes.
    ASSERT_TRUE(meter.write(QByteArray("\x31\x32\xFF junk\x0D", 9) + SerialFrame("123451120")));
    const QByteArray split = SerialFrame("098761120");
    ASSERT_TRUE(meter.write(split.left(4)));
    ASSERT_TRUE(WaitFor([&] { return w.table().size() >= 1; }));
    ASSERT_TRUE(meter.write(split.mid(4) + QByteArray("\x13\x37\x0D", 3) +
                            SerialFrame("000021120") + QByteArray("\x55", 1) +
                            SerialFrame("000091120")));
    ASSERT_TRUE(WaitFor([&] { return w.table().size() >= 3; }));
    // A good frame after them all: once it is a row, everything before it
    // has been read, and the frame the stray byte ran into is no row.
    ASSERT_TRUE(meter.write(SerialFrame("000071120")));
    ASSERT_TRUE(WaitFor([&] { return w.table().size() >= 4; }));
    EXPECT_EQ(w.table().size(), 4u);
    EXPECT_TRUE(field(2, Field::Value).endsWith('2'));
    EXPECT_TRUE(field(3, Field::Value).endsWith('7'));
    EXPECT_EQ(caption("LcdDd"), QStringLiteral("7"));
    EXPECT_TRUE(shown("CONok"));
    EXPECT_FALSE(shown("CONokN"));

    // Silent: the third watchdog tick without a frame shows the link as dead.
    silentTicks(3);
    EXPECT_FALSE(shown("CONok"));
    EXPECT_TRUE(shown("CONokN"));

    // The far end goes away in mid-frame: nothing is lost, nothing spins.
    ASSERT_TRUE(meter.write(SerialFrame("000031120").left(5)));
    QCoreApplication::processEvents();
    meter.hangUp();
    const double cpu0 = double(clock()) / CLOCKS_PER_SEC;
    QElapsedTimer wall;
    wall.start();
    WaitFor([] { return false; }, 600);
    const double cpuShare = (double(clock()) / CLOCKS_PER_SEC - cpu0) / (wall.elapsed() / 1e3);
    EXPECT_LT(cpuShare, 0.5) << "the window spins on the hung-up line";
    EXPECT_EQ(w.table().size(), 4u);
    EXPECT_FALSE(Errors().box());

    // Closing and opening again on a new line works.
    com()->click();
    test::PseudoTerminal again;
    ASSERT_TRUE(again.ok());
    const QString newPath = again.slavePath();
    w.comm2().setPortNameResolver([&newPath](TComPortNumber) { return newPath; });
    com()->click();
    ASSERT_TRUE(w.comm2().IsPortOpen());
    // Whether the cut frame's bytes reached the collection before the hang-up
    // depends on the poll; if they did, they cost the first frame on the new
    // line. The second one always arrives.
    ASSERT_TRUE(again.write(SerialFrame("000041120") + SerialFrame("000051120")));
    ASSERT_TRUE(WaitFor([&] {
        return w.table().size() >= 5 && field(w.table().size() - 1, Field::Value).endsWith('5');
    }));
    EXPECT_LE(w.table().size(), 6u);
    com()->click();
}

// --- The device list ---------------------------------------------------------

TEST_F(Links, DeviceListDescribesAndSelectsTheCable) {
    FakeHidDevice mouse;
    mouse.path = "/dev/hidraw0";
    mouse.vendorId = 0x1A2B;
    mouse.productId = 0x00FF;
    mouse.product.reset();  // no product string: described by its numbers
    hid->plug(mouse);
    hid->plug(Cable("/dev/hidraw1"));
    FakeHidDevice numbered = Cable("/dev/hidraw2");
    numbered.serial = u"A9X";
    numbered.languages = std::vector<uint16_t>{0x0409};
    hid->plug(numbered);
    EXPECT_EQ(lines("DevListBox"), QStringList({QStringLiteral("Device VID=1A2B PID=00FF"),
                                                QStringLiteral("USB to Serial"),
                                                QStringLiteral("USB to Serial (Serial=A9X)")}));
    EXPECT_EQ(find<QListWidget>("DevListBox")->currentRow(), 1);
    EXPECT_EQ(selectedLine(), QStringLiteral("USB to Serial"));
    // Every listed device is claimed by the window.
    EXPECT_EQ(w.hidCtl().ClaimedCount(), 3);
    EXPECT_EQ(w.hidCtl().AvailableCount(), 0);

    // With two cables the later one is chosen.
    hid->plug(Cable("/dev/hidraw5"));
    EXPECT_EQ(find<QListWidget>("DevListBox")->currentRow(), 3);
    EXPECT_EQ(w.hidCtl().DeviceList().size(), 4u);

    const QStringList log = lines("HistoryListBox");
    EXPECT_TRUE(log.contains(QStringLiteral("Arrival of Device VID=1A2B PID=00FF")));
    EXPECT_TRUE(log.contains(QStringLiteral("Arrival of USB to Serial (Serial=A9X)")));
    EXPECT_EQ(find<QListWidget>("HistoryListBox")->currentRow(),
              find<QListWidget>("HistoryListBox")->count() - 1);

    hid->unplug("/dev/hidraw5");
    EXPECT_TRUE(lines("HistoryListBox").contains(QStringLiteral("Removal of USB to Serial")));
    EXPECT_EQ(selectedLine(), QStringLiteral("USB to Serial"));
    EXPECT_EQ(find<QListWidget>("DevListBox")->count(), 3);

    find<QToolButton>("ClearBtn")->click();
    EXPECT_EQ(find<QListWidget>("HistoryListBox")->count(), 0);

    // Info describes the selected device in a window of its own.
    find<QToolButton>("InfoBtn")->click();
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_TRUE(script.messages[0].text.startsWith(QStringLiteral("USB to Serial")));
    EXPECT_TRUE(script.messages[0].text.contains(QStringLiteral("/dev/hidraw1")));
}

TEST_F(Links, ACableWithASerialNumberIsNotTheCable) {
    FakeHidDevice numbered = Cable();
    numbered.serial = u"0001";
    hid->plug(numbered);
    EXPECT_EQ(selectedLine(), QString());
    usb()->click();
    EXPECT_EQ(messageTexts(), std::vector<QString>({kNoCable}));
    EXPECT_FALSE(usb()->isChecked());
    EXPECT_TRUE(hid->featureReports(kCablePath).empty());
    // Info does nothing without a selected line.
    find<QToolButton>("InfoBtn")->click();
    EXPECT_EQ(script.messages.size(), 1u);
}

TEST_F(Links, NoCableMakesTheButtonPopUp) {
    usb()->click();
    EXPECT_FALSE(usb()->isChecked());
    EXPECT_EQ(messageTexts(), std::vector<QString>({kNoCable}));
    EXPECT_EQ(usb()->text(), QStringLiteral("USB Connect"));
    EXPECT_TRUE(shown("COMCon"));
}

TEST_F(Links, ACableWithoutAccessSaysWhy) {
    FakeHidDevice locked = Cable();
    locked.readWriteAccess = false;
    hid->plug(locked);
    usb()->click();
    EXPECT_FALSE(usb()->isChecked());
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_TRUE(script.messages[0].text.contains(QStringLiteral("70-tarvometer-cable.rules")));
    EXPECT_EQ(usb()->text(), QStringLiteral("USB Connect"));
}

// --- The USB link --------------------------------------------------------------

TEST_F(Links, CableCarriesReadingsIntoTheWindow) {
    hid->plug(Cable());
    usb()->click();
    ASSERT_TRUE(usb()->isChecked());
    EXPECT_EQ(usb()->text(), QStringLiteral("USB Disconnect"));
    EXPECT_FALSE(shown("COMCon"));
    for (const char* panel : {"BtCOM1", "BtCOM2", "BtCOM3", "BtCOM4"})
        EXPECT_FALSE(shown(panel));
    // The cable was set to 2400 baud, and the log says so.
    const std::vector<Bytes> sent = {{0x00, 0x60, 0x09, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}};
    EXPECT_EQ(hid->featureReports(kCablePath), sent);
    EXPECT_TRUE(lines("HistoryListBox").contains(QStringLiteral("60 09 00 00 03 00 00 00 00 ")));
    ASSERT_NE(w.currentHidDevice(), nullptr);
    EXPECT_TRUE(w.currentHidDevice()->IsReading());

    sendReports(CableFrame("123451120"));
    sendReports(CableFrame("000071120"));
    ASSERT_TRUE(WaitFor([&] { return w.table().size() == 2; }));
    EXPECT_EQ(caption("LcdDd"), QStringLiteral("7"));
    EXPECT_TRUE(shown("CONok"));
    // The data reports are logged as they come.
    EXPECT_TRUE(lines("HistoryListBox").contains(QStringLiteral("R 00  F3 30 0D 0A ")));

    // Released: reading stops, every port panel shows, the cable is set again.
    usb()->click();
    EXPECT_FALSE(usb()->isChecked());
    EXPECT_EQ(usb()->text(), QStringLiteral("USB Connection"));
    EXPECT_TRUE(shown("COMCon"));
    for (const char* panel : {"BtCOM1", "BtCOM2", "BtCOM3", "BtCOM4"})
        EXPECT_TRUE(shown(panel));
    // The selected port's panel is the one on top.
    QWidget* top = find("Panel6")->childAt(find("BtCOM1")->geometry().center());
    EXPECT_EQ(top, find("BtCOM1"));
    EXPECT_EQ(hid->featureReports(kCablePath).size(), 2u);
    EXPECT_FALSE(w.currentHidDevice()->IsReading());
    // The reader has stopped, so reports that come now stay unread.
    const int reads = hid->readsDone(kCablePath);
    const std::vector<Bytes> unread = CableFrame("000081120");
    sendReports(unread);
    ASSERT_TRUE(ServePosted());
    EXPECT_EQ(hid->readsDone(kCablePath), reads);
    EXPECT_EQ(hid->pendingReports(kCablePath), unread.size());
    EXPECT_EQ(w.table().size(), 2u);
}

TEST_F(Links, WatchdogGivesASilentCableUp) {
    hid->plug(Cable());
    usb()->click();
    ASSERT_TRUE(usb()->isChecked());
    // 1,900 idle reports: the cable is there, the meter says nothing.
    for (int i = 0; i < 1900; ++i)
        hid->queueReport(kCablePath, {0x00, 0xF0});
    ASSERT_TRUE(WaitFor([&] { return hid->pendingReports(kCablePath) == 0; }));
    ASSERT_TRUE(WaitFor([&] { return !w.currentHidDevice()->HandOverPending(); }));
    silentTicks(3);
    EXPECT_EQ(messageTexts(), std::vector<QString>({kMeterSilent}));
    EXPECT_FALSE(usb()->isChecked());
    EXPECT_EQ(usb()->text(), QStringLiteral("USB Disconnect"));
    EXPECT_FALSE(shown("COMCon"));
    EXPECT_FALSE(w.currentHidDevice()->IsReading());
    EXPECT_TRUE(shown("CONokN"));

    // The next press connects again, without a release first.
    usb()->click();
    EXPECT_TRUE(usb()->isChecked());
    EXPECT_TRUE(w.currentHidDevice()->IsReading());
    sendReports(CableFrame("000051120"));
    EXPECT_TRUE(WaitFor([&] { return w.table().size() == 1; }));
}

// While connected, a cable pulled and plugged back (or still there when
// another device comes) is set up and read again without a click.
TEST_F(Links, ACablePluggedBackIsTakenUpAgain) {
    hid->plug(Cable());
    usb()->click();
    ASSERT_TRUE(w.currentHidDevice()->IsReading());
    hid->unplug(kCablePath);
    EXPECT_TRUE(usb()->isChecked());  // the buttons stay
    EXPECT_EQ(w.currentHidDevice(), nullptr);

    hid->plug(Cable());
    ASSERT_NE(w.currentHidDevice(), nullptr);
    EXPECT_TRUE(w.currentHidDevice()->IsReading());
    EXPECT_TRUE(
        lines("HistoryListBox").filter(QStringLiteral("60 09 00 00 03 00 00 00 00 ")).size() >= 2);
    sendReports(CableFrame("000061120"));
    ASSERT_TRUE(WaitFor([&] { return w.table().size() == 1; }));

    FakeHidDevice keyboard;
    keyboard.path = "/dev/hidraw9";
    keyboard.product = u"Keyboard";
    hid->plug(keyboard);
    EXPECT_EQ(selectedLine(), QStringLiteral("USB to Serial"));
    ASSERT_NE(w.currentHidDevice(), nullptr);
    sendReports(CableFrame("000071120"));
    EXPECT_TRUE(WaitFor([&] { return w.table().size() == 2; }));
}

TEST_F(Links, ReadErrorsAndUnplugWhileReading) {
    hid->plug(Cable());
    usb()->click();
    hid->failReads(kCablePath, 5, 3);
    ASSERT_TRUE(WaitFor(
        [&] { return lines("HistoryListBox").filter(QStringLiteral("READ ERROR:")).size() >= 3; }));
    const QStringList errors = lines("HistoryListBox").filter(QStringLiteral("READ ERROR:"));
    EXPECT_EQ(errors[0], QStringLiteral("READ ERROR: %1 (5)").arg(HidErrorText(5)));
    // Reading goes on after the failures.
    sendReports(CableFrame("000011120"));
    ASSERT_TRUE(WaitFor([&] { return w.table().size() == 1; }));

    // Pulled while reading: logged, the list rebuilt, nothing crashes.
    hid->unplug(kCablePath);
    EXPECT_TRUE(lines("HistoryListBox").contains(QStringLiteral("Removal of USB to Serial")));
    EXPECT_EQ(find<QListWidget>("DevListBox")->count(), 0);
    EXPECT_EQ(w.currentHidDevice(), nullptr);
    usb()->click();  // released: with no cable left, only the message
    EXPECT_EQ(messageTexts(), std::vector<QString>({kNoCable}));
}

TEST_F(Links, AFrameThatFailsToDecodeIsShownAndReadingGoesOn) {
    hid->plug(Cable());
    usb()->click();
    // Range field "C" is not decimal.
    sendReports(CableFrame("12345C122"));
    ASSERT_TRUE(WaitFor([&] { return Errors().box() != nullptr; }));
    EXPECT_EQ(Errors().box()->text(), QStringLiteral("'C' is not a valid integer value"));
    CloseErrorBox();
    sendReports(CableFrame("000031120"));
    EXPECT_TRUE(WaitFor([&] { return w.table().size() == 1; }));
    EXPECT_TRUE(w.currentHidDevice()->IsReading());
}

// A cable that refuses its set-up report: the log says so, with the reason.
TEST_F(Links, ARefusedSetUpIsLogged) {
    FakeHidDevice refusing = Cable();
    refusing.acceptsFeatureReports = false;
    hid->plug(refusing);
    find<QPushButton>("SetFeature")->click();
    const QStringList log = lines("HistoryListBox");
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log[log.size() - 2], QStringLiteral("60 09 00 00 03 00 00 00 00 "));
    EXPECT_EQ(log.last(), QStringLiteral("SET-UP FAILED: %1 (20)").arg(HidErrorText(EPIPE)));
}

TEST_F(Links, HistoryKeepsTheNewestLines) {
    hid->plug(Cable());
    find<QToolButton>("ClearBtn")->click();
    auto* send = find<QPushButton>("SetFeature");
    for (int i = 0; i < 10003; ++i)
        send->click();
    EXPECT_EQ(find<QListWidget>("HistoryListBox")->count(), 10000);
    EXPECT_EQ(hid->featureReports(kCablePath).size(), 10003u);
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
