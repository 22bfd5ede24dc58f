// SPDX-License-Identifier: GPL-3.0-or-later
// The window as a user meets it: clicks on disabled controls, what the chart
// plots, the titles of the boxes, keys that close a box, printing nothing and
// a pasted page size.

#include <QMouseEvent>

#include "record/journal.h"
#include "support/pseudo_terminal.h"
#include "window_fixture.h"

namespace dmm::app {
namespace {

class UserWindow : public Window {
  protected:
    void release(const char* name) {
        QMouseEvent up(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                       Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(find(name), &up);
    }
};

TEST_F(UserWindow, PortPanelStaysWhileThePortIsOpen) {
    test::PseudoTerminal meter;
    ASSERT_TRUE(meter.ok());
    const QString path = meter.slavePath();
    w.comm2().setPortNameResolver([path](TComPortNumber) { return path; });
    release("BtCOM1");
    ASSERT_EQ(w.comm2().ComPort(), pnCOM2);
    find<QPushButton>("COMCon")->click();
    ASSERT_TRUE(w.comm2().IsPortOpen());
    release("BtCOM2");
    EXPECT_EQ(w.comm2().ComPort(), pnCOM2);
    EXPECT_TRUE(shown("BtCOM2"));
    EXPECT_FALSE(shown("BtCOM3"));
    find<QPushButton>("COMCon")->click();
    release("BtCOM2");
    EXPECT_TRUE(shown("BtCOM3"));
    EXPECT_EQ(w.comm2().ComPort(), pnCOM3);
}

TEST_F(UserWindow, TarvoReadingLiesInsideThePlot) {
    frame("123451120");  // 1.2345 V on the 2 V range
    syncGrid();
    auto* line = chartPart<QLineSeries>("Series1");
    auto* axis = chartPart<QValueAxis>("LeftAxis");
    ASSERT_EQ(line->count(), 1);
    EXPECT_NEAR(line->at(0).y(), 1.2345, 1e-6);
    EXPECT_GE(line->at(0).y(), axis->min());
    EXPECT_LE(line->at(0).y(), axis->max());
}

TEST_F(UserWindow, UsbNoticeIsTitledInformation) {
    find<QPushButton>("USBCon")->click();  // no cable
    ASSERT_FALSE(script.messages.empty());
    EXPECT_EQ(script.messages.back().title, QStringLiteral("Information"));
}

TEST_F(UserWindow, ErrorBoxTitleIsBlankNotTheProgramName) {
    RunAsEvent(&w, [this] { frame("12345C120"); });  // range C: a conversion error
    ASSERT_TRUE(Errors().box());
    const QString title = Errors().box()->windowTitle();
    // Qt would show an empty title as the program's name.
    EXPECT_FALSE(title.isEmpty());
    EXPECT_TRUE(title.trimmed().isEmpty());
}

TEST_F(UserWindow, EnterClosingTheErrorBoxDoesNotRaiseItAgain) {
    auto* hours = find<QLineEdit>("TimeH");
    hours->clear();
    QTest::keyClick(hours, Qt::Key_Backspace);
    ASSERT_TRUE(Errors().box());
    const long long reported = Errors().reportedCount();
    QTest::keyPress(Errors().box(), Qt::Key_Return);
    QCoreApplication::processEvents();
    ASSERT_FALSE(Errors().box());
    // The key's release reaches the box that has the focus again.
    QTest::keyRelease(hours, Qt::Key_Return);
    EXPECT_FALSE(Errors().box());
    EXPECT_EQ(Errors().reportedCount(), reported);
}

TEST_F(UserWindow, PrintingAnEmptyTableSaysSo) {
    find<QToolButton>("BtPrint")->click();
    EXPECT_TRUE(script.previewedRows.empty());
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].text, QStringLiteral("There are no readings to print."));
}

TEST_F(UserWindow, NegativePageSizeIsPutBack) {
    auto* box = find<QLineEdit>("Maxrecord");
    box->setText(QStringLiteral("-5"));  // pasted
    Fire(find<QTimer>("Timer2"));
    EXPECT_EQ(box->text(), QStringLiteral("100"));
    EXPECT_EQ(w.chartPager().PageSize, 100);
}

TEST_F(UserWindow, ChartPlotFillsTheChartAndItsPictureIsWhiteToTheBorder) {
    w.show();
    auto* view = find<QChartView>("Chtshow");
    ASSERT_TRUE(WaitFor([&] { return view->chart()->plotArea().width() > 0; }));
    const QRectF plot = view->chart()->plotArea();
    EXPECT_GT(plot.width(), 0.8 * view->width());
    EXPECT_GT(plot.height(), 0.75 * view->height());

    QTemporaryDir dir;
    script.pictureName = dir.filePath(QStringLiteral("chart.bmp"));
    find<QToolButton>("BtSave")->click();
    const QImage picture(script.pictureName);
    ASSERT_FALSE(picture.isNull());
    // Just inside the one-pixel border, every corner is white.
    for (const QPoint at :
         {QPoint(2, 2), QPoint(picture.width() - 3, 2), QPoint(2, picture.height() - 3),
          QPoint(picture.width() - 3, picture.height() - 3)}) {
        EXPECT_EQ(picture.pixelColor(at), QColor(Qt::white)) << at.x() << "," << at.y();
    }
}

// --- The display ---------------------------------------------------------------

// The pixels a widget paints itself, without any background behind it.
QImage Ink(QWidget* widget) {
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// The bounding box of a widget's ink, in its parent's coordinates.
QRect InkBox(QWidget* widget) {
    const QImage ink = Ink(widget);
    QRect box;
    for (int y = 0; y < ink.height(); ++y) {
        for (int x = 0; x < ink.width(); ++x) {
            if (qAlpha(ink.pixel(x, y)) > 0)
                box |= QRect(widget->pos() + QPoint(x, y), QSize(1, 1));
        }
    }
    return box;
}

TEST_F(UserWindow, NoAnnunciatorTouchesADigit) {
    const char* digits[] = {"LcdD0", "LcdDa", "LcdDb", "LcdDc", "LcdDd", "LcdFH"};
    std::vector<QRect> boxes;
    for (const char* name : digits) {
        const bool sign = std::string_view(name) == "LcdFH";
        find<LcdLabel>(name)->setCaption(sign ? QStringLiteral("-") : QStringLiteral("8"));
        boxes.push_back(InkBox(find(name)));
        ASSERT_FALSE(boxes.back().isEmpty()) << name;
    }
    std::set<std::string> touching;
    for (auto* label : find("Panel1")->findChildren<LcdLabel*>()) {
        if (label->face() == LcdFace::Digit)
            continue;
        const QImage ink = Ink(label);
        for (int y = 0; y < ink.height(); ++y) {
            for (int x = 0; x < ink.width(); ++x) {
                const QPoint at = label->pos() + QPoint(x, y);
                for (size_t d = 0; d < boxes.size(); ++d) {
                    if (qAlpha(ink.pixel(x, y)) > 0 && boxes[d].contains(at)) {
                        touching.insert(label->objectName().toStdString() + " touches " +
                                        digits[d]);
                    }
                }
            }
        }
    }
    EXPECT_EQ(touching, std::set<std::string>());
}

// The darkest and lightest grey of a widget as drawn, 0 .. 255, within the
// rectangle (the whole widget when empty).
std::pair<int, int> GreyRange(QWidget* widget, const QRect& within = QRect()) {
    const QImage image = widget->grab(within.isEmpty() ? widget->rect() : within).toImage();
    int lightest = 0;
    int darkest = 255;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const int grey = qGray(image.pixel(x, y));
            lightest = std::max(lightest, grey);
            darkest = std::min(darkest, grey);
        }
    }
    return {darkest, lightest};
}

class DarkTheme : public ::testing::Test {
  protected:
    DarkTheme() : saved_(QApplication::palette()) {
        QPalette dark;
        for (auto role : {QPalette::Window, QPalette::Base, QPalette::Button,
                          QPalette::AlternateBase, QPalette::ToolTipBase})
            dark.setColor(role, QColor(35, 38, 41));
        for (auto role :
             {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
            dark.setColor(role, QColor(239, 240, 241));
        QApplication::setPalette(dark);
        window_ = std::make_unique<TFCOMM>(nullptr, std::make_shared<FakeHidBackend>());
    }
    ~DarkTheme() override {
        window_.reset();
        QApplication::setPalette(saved_);
    }
    template <class T = QWidget>
    T* find(const char* name) {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }

    QPalette saved_;
    std::unique_ptr<TFCOMM> window_;
};

TEST_F(DarkTheme, DesignedColoursHold) {
    // The LCD: black figures on white.
    auto* digit = find<LcdLabel>("LcdDa");
    ASSERT_TRUE(digit);
    digit->setCaption(QStringLiteral("8"));
    const auto [lcdDark, lcdLight] = GreyRange(find("Panel1"), digit->geometry());
    EXPECT_LT(lcdDark, 40);
    EXPECT_GT(lcdLight, 215);
    // The port panel: black text on silver.
    const auto [portDark, portLight] = GreyRange(find("BtCOM1"));
    EXPECT_GT(portLight - portDark, 120);
}

// --- The meter family -----------------------------------------------------------

// The Mesko example frame: AC, auto range, 12.34 V.
const QByteArray kMeskoFrame("\x1A\x20\x35\x45\x5B\x69\x7F\x82\x97\xA0\xB0\xC0\xD4\xE0", 14);
// The Dralin example frame: DC, auto range, 0.123 V (the 0x0A opens it).
const QByteArray kDralinFrame("\x0A\x31\x30\x31\x32\x33\x3B\x30\x30\x3A\x0D", 11);

class Families : public UserWindow {
  protected:
    void choose(const char* item) {
        auto* action = w.menuBar()->findChild<QAction*>(QString::fromLatin1(item));
        ASSERT_TRUE(action);
        action->trigger();
    }
    // COM1 on the pseudo-terminal, connected by its button.
    void connectTo(const test::PseudoTerminal& meter) {
        ASSERT_TRUE(meter.ok());
        const QString path = meter.slavePath();
        w.comm2().setPortNameResolver([path](TComPortNumber) { return path; });
        find<QPushButton>("COMCon")->click();
        ASSERT_TRUE(w.comm2().IsPortOpen());
    }
    // Connects COM1 to a pseudo-terminal and writes the frame until a row is
    // recorded (the first run after opening may start inside a frame).
    void readOneRow(const QByteArray& frame) {
        test::PseudoTerminal meter;
        ASSERT_NO_FATAL_FAILURE(connectTo(meter));
        ASSERT_TRUE(WaitFor([&] {
            meter.write(frame);
            return WaitFor([&] { return w.table().size() >= 1; }, 200);
        }));
        find<QPushButton>("COMCon")->click();
    }
};

TEST_F(Families, MeskoMeterOnTheSerialLine) {
    choose("MeterMesko");
    readOneRow(kMeskoFrame);
    EXPECT_EQ(field(0, Field::Value), QStringLiteral("12") + sep() + QStringLiteral("34"));
    EXPECT_EQ(field(0, Field::Unit), QStringLiteral("V"));
    EXPECT_EQ(field(0, Field::DcAc), QStringLiteral("AC"));
    EXPECT_EQ(caption("LcdDd"), QStringLiteral("4"));
}

TEST_F(Families, DralinMeterOnTheSerialLineAndNoCable) {
    choose("MeterDralin");
    EXPECT_FALSE(find<QPushButton>("USBCon")->isEnabled());
    EXPECT_FALSE(find<QPushButton>("USBCon")->toolTip().isEmpty());
    readOneRow(kDralinFrame);
    EXPECT_EQ(field(0, Field::Value), QStringLiteral("0") + sep() + QStringLiteral("123"));
    EXPECT_EQ(field(0, Field::Unit), QStringLiteral("V"));
    EXPECT_EQ(field(0, Field::DcAc), QStringLiteral("DC"));
}

TEST_F(Families, MeskoMeterOnTheCable) {
    choose("MeterMesko");
    hid->plug(Cable());
    find<QPushButton>("USBCon")->click();
    Bytes first = {0x00, 0xF9};
    Bytes second = {0x00, 0xF5};
    for (int i = 0; i < 14; ++i)
        (i < 9 ? first : second).push_back(uint8_t(kMeskoFrame[i]));
    for (const Bytes& report : {first, second, Bytes{0x00, 0xF0}})
        hid->queueReport(kCablePath, report);
    ASSERT_TRUE(WaitFor([&] { return w.table().size() == 1; }));
    EXPECT_EQ(field(0, Field::Value), QStringLiteral("12") + sep() + QStringLiteral("34"));
}

TEST_F(Families, NoChangeOfFamilyWhileALinkIsOpen) {
    auto* menu = w.menuBar()->findChild<QMenu*>(QStringLiteral("Meter1"));
    ASSERT_TRUE(menu);
    test::PseudoTerminal meter;
    ASSERT_NO_FATAL_FAILURE(connectTo(meter));
    EXPECT_FALSE(menu->menuAction()->isEnabled());
    EXPECT_FALSE(w.SetMeterFamily(Family::Mesko));
    EXPECT_EQ(w.meterFamily(), Family::Tarvo);
    find<QPushButton>("COMCon")->click();
    EXPECT_TRUE(menu->menuAction()->isEnabled());
}

TEST_F(Families, AnotherFamilyStartsTheDisplayAfresh) {
    frame("123451130");  // Tarvo AC+DC lights the plus between AC and DC
    ASSERT_TRUE(shown("LCDJa"));
    ASSERT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Pass"));
    choose("MeterMesko");
    EXPECT_FALSE(shown("LCDJa"));  // the Mesko decoder never drives it
    // Nor does it judge: no verdict of the Tarvo meter stays on show.
    EXPECT_TRUE(find<QLabel>("judge")->text().isEmpty());
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), QStringLiteral("0"));
    EXPECT_EQ(find<QProgressBar>("PBar2")->maximum(), 40);
}

TEST_F(Families, ChoiceIsRemembered) {
    choose("MeterDralin");
    EXPECT_EQ(TFCOMM::RememberedFamily(), Family::Dralin);
    choose("MeterTarvo");
    EXPECT_EQ(TFCOMM::RememberedFamily(), Family::Tarvo);
}

TEST_F(Families, AboutNamesTheVersionAndWhereTheChoiceIsKept) {
    auto* about = w.menuBar()->findChild<QAction*>(QStringLiteral("About1"));
    ASSERT_TRUE(about);
    about->trigger();
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].title, QStringLiteral("About TarvoMeter"));
    EXPECT_TRUE(script.messages[0].text.contains(QStringLiteral(DMM_VERSION)));
    EXPECT_TRUE(script.messages[0].text.contains(TFCOMM::SettingsFileName()));
    EXPECT_TRUE(script.messages[0].text.contains(JournalDirectory()));
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
