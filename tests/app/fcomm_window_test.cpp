// The window as a user meets it: clicks on disabled controls, what the chart
// plots, the titles of the boxes, keys that close a box, printing nothing and
// a pasted page size.

#include <QMouseEvent>

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
    release("BtCOM1");
    ASSERT_EQ(w.comm2().ComPort(), pnCOM2);
    find<QPushButton>("COMCon")->click();
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

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
