// SPDX-License-Identifier: GPL-3.0-or-later
// The main window driven through its widgets, found by their design names,
// on the offscreen platform. Questions, notices and file dialogs are answered
// by a script instead of modal boxes.

#include <sys/stat.h>

#include "window_fixture.h"

namespace dmm::app {
namespace {

// --- The window as a whole ---------------------------------------------------

TEST_F(Window, FixedClientAreaCaptionAndBorder) {
    w.show();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.centralWidget()->size(), QSize(716, 474));
    EXPECT_EQ(w.centralWidget()->geometry().bottom() + 1, w.height());
    EXPECT_EQ(w.width(), 716);
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("TarvoMeter Interface Program Ver: 3.00"));
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(w.font().pixelSize(), 11);
    EXPECT_TRUE(w.font().bold());
    // A control without a font of its own shows the window's bold face.
    EXPECT_TRUE(find("RecordSITime")->font().bold());
    EXPECT_FALSE(find("RepeatSet")->font().bold());
}

TEST_F(Window, ControlsSitAtTheirDesignPlaces) {
    const struct {
        const char* name;
        QRect place;
    } places[] = {
        {"Panel6", {0, 0, 716, 30}},
        {"BtCOM1", {3, 3, 61, 24}},
        {"COMCon", {65, 2, 147, 25}},
        {"USBCon", {218, 2, 117, 25}},
        {"BitBtn1", {641, 1, 74, 25}},
        {"Panel1", {4, 29, 334, 136}},
        {"LcdD0", {40, 20, 38, 112}},
        {"LcdDd", {232, 20, 38, 112}},
        {"LcdFH", {5, 20, 26, 112}},
        {"LcdP2", {175, 117, 7, 8}},  // at the figures' foot, below the annunciators
        {"LCDTRMS", {264, 19, 30, 14}},
        {"lcdW", {296, 99, 19, 21}},
        {"Panel4", {338, 29, 375, 120}},
        {"T1_HI", {16, 16, 79, 14}},
        {"T1HI", {112, 12, 57, 22}},
        {"T1VALUE", {112, 43, 81, 32}},
        {"T1LO", {112, 84, 57, 22}},
        {"Shape1", {192, 8, 113, 97}},
        {"CONok", {310, 13, 25, 24}},
        {"CONokN", {310, 13, 25, 20}},
        {"Panel19", {339, 152, 372, 33}},
        {"BtFill", {5, 6, 36, 17}},
        {"Bt10", {251, 6, 25, 21}},
        {"PBar2", {3, 167, 334, 17}},
        {"RepeatSet", {2, 187, 63, 20}},
        {"RecordSI", {64, 187, 170, 20}},
        {"RecordSITime", {183, 187, 27, 21}},
        {"RecordNew", {247, 187, 23, 21}},
        {"OpenDataFiles", {269, 187, 23, 21}},
        {"saveas", {291, 187, 23, 21}},
        {"BtPrint", {313, 187, 22, 21}},
        {"DBGrid1", {1, 208, 334, 264}},
        {"Chtshow", {336, 187, 377, 286}},
        {"RecallCheck", {3, 2, 86, 20}},
        {"TimeInt", {284, 2, 30, 21}},
    };
    for (const auto& p : places) {
        if (QWidget* widget = find(p.name)) {
            EXPECT_EQ(widget->geometry(), p.place) << p.name;
        }
    }
    EXPECT_EQ(find<QCheckBox>("RecordSI")->text(),
              QStringLiteral("Sampling Interval           'S"));
    EXPECT_EQ(find<QLabel>("BtCOM1")->text(), QStringLiteral("COM 1"));
    EXPECT_EQ(find<QPushButton>("BitBtn1")->text(), QStringLiteral("Quit"));
}

TEST_F(Window, ParkedControlsLieBeyondTheClientArea) {
    w.show();
    QCoreApplication::processEvents();
    QWidget* client = w.centralWidget();
    for (const char* name : {"InfoBtn", "DevListBox", "systeminfomation", "SetFeature", "Panel2",
                             "BTCon", "BtExit", "HistoryListBox"}) {
        QWidget* parked = find(name);
        if (!parked)
            continue;
        EXPECT_FALSE(parked->isHidden()) << name;
        const QRect place(parked->mapTo(client, QPoint(0, 0)), parked->size());
        EXPECT_FALSE(client->rect().intersects(place)) << name;
    }
    EXPECT_EQ(find("HistoryListBox")->size(), QSize(0, 0));
    EXPECT_EQ(find("Panel2")->pos(), QPoint(928, 464));
    // The covered speed buttons: whatever is at their centre belongs to the chart.
    QWidget* chart = find("Chtshow");
    for (const char* name : {"ReadBtn", "ClearBtn"}) {
        QWidget* covered = find(name);
        QWidget* top = client->childAt(covered->geometry().center());
        EXPECT_TRUE(top == chart || chart->isAncestorOf(top)) << name;
    }
}

TEST_F(Window, HiddenControlsStayHidden) {
    for (const char* name : {"BtCOM2", "BtCOM3", "BtCOM4", "BtDiscon", "USBtxt", "USBtxt1",
                             "ComboBox1", "IFDralin", "Panel3", "LCDBT", "LcdACDC"}) {
        EXPECT_TRUE(find(name)->isHidden()) << name;
    }
    EXPECT_TRUE(find<QCheckBox>("IFDralin")->isChecked());
    int variants = 0;
    for (QCheckBox* box : w.findChildren<QCheckBox*>()) {
        if (box->objectName().startsWith(QStringLiteral("VariantCheck"))) {
            ++variants;
            EXPECT_TRUE(box->isHidden());
            EXPECT_FALSE(box->isChecked());
        }
    }
    EXPECT_EQ(variants, 8);
}

TEST_F(Window, HintsOnlyWhereListed) {
    std::map<QString, QString> hints;
    for (QWidget* widget : w.findChildren<QWidget*>()) {
        if (!widget->toolTip().isEmpty())
            hints[widget->objectName()] = widget->toolTip();
    }
    const std::map<QString, QString> expected = {
        {"RecordNew", "Close Data"},
        {"OpenDataFiles", "Open old data files"},
        {"saveas", "Save data files"},
        {"T1HI", "Please enter a number here."},
        {"T1LO", "Please enter a number here."},
    };
    EXPECT_EQ(hints, expected);
}

TEST_F(Window, MenuBarShowsOnlyTheRecordMenu) {
    for (const char* name : {"ComSetup1", "Connect1", "Graphic"})
        EXPECT_FALSE(find<QMenu>(name)->menuAction()->isVisible()) << name;
    QMenu* record = find<QMenu>("Record1");
    EXPECT_TRUE(record->menuAction()->isVisible());
    EXPECT_EQ(record->title(), QStringLiteral("Record"));
    EXPECT_FALSE(find<QAction>("New1")->isVisible());
    EXPECT_FALSE(find<QAction>("Save1")->isVisible());
    EXPECT_TRUE(find<QAction>("COM11")->isChecked());
    EXPECT_FALSE(find<QAction>("STOP1")->isEnabled());
    EXPECT_TRUE(find<QAction>("Fill")->isChecked());

    QStringList visible;
    for (QAction* item : record->actions()) {
        if (item->isVisible())
            visible << item->text();
        EXPECT_TRUE(item->shortcut().isEmpty());
    }
    EXPECT_EQ(visible, QStringList({"1000", "5000", "10000", "50000", "100000", "limitless"}));
    for (const CapacityItem& item : kCapacityItems) {
        QAction* a = find<QAction>(std::string(item.name).c_str());
        EXPECT_TRUE(a->isCheckable());
        EXPECT_EQ(a->isChecked(), item.name == "N100001") << item.name;
    }
}

TEST_F(Window, ResizeRuleMovesTheParkedButtons) {
    w.show();
    QCoreApplication::processEvents();
    const int outer = w.frameGeometry().width();
    EXPECT_EQ(find("BtExit")->pos(), QPoint(outer - 80, 538));
    EXPECT_EQ(find("BTCon")->pos(), QPoint(outer - 190, 538));
    EXPECT_EQ(find("BtDiscon")->pos(), QPoint(outer - 190, 538));
}

TEST_F(Window, TabReachesTheParkedControls) {
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    find("COMCon")->setFocus();
    std::set<QString> reached;
    for (int i = 0; i < 60; ++i) {
        QWidget* focus = QApplication::focusWidget();
        ASSERT_TRUE(focus);
        reached.insert(focus->objectName());
        if (focus->objectName() == QStringLiteral("TimeInt"))
            break;
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    for (const char* name : {"DBGrid1", "T1HI", "DevListBox", "systeminfomation", "SetFeature",
                             "RecallCheck", "TimeH", "TimeM", "TimeS", "TimeInt"}) {
        EXPECT_TRUE(reached.count(QString::fromLatin1(name))) << name;
    }
    // Keys typed there, unseen, take effect.
    ASSERT_EQ(QApplication::focusWidget(), find("TimeInt"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_End);
    QTest::keyClick(QApplication::focusWidget(), '5');
    EXPECT_EQ(find<QLineEdit>("TimeInt")->text(), QStringLiteral("15"));
}

TEST_F(Window, StartsInTheDesignState) {
    EXPECT_EQ(caption("LcdD0"), QStringLiteral("1"));
    for (const char* digit : {"LcdDa", "LcdDb", "LcdDc", "LcdDd"})
        EXPECT_EQ(caption(digit), QStringLiteral("9"));
    EXPECT_TRUE(shown("LcdFH"));
    for (const char* hidden : {"LcdP0", "LcdP1", "LcdP2", "LcdP3", "LcdAuto", "LcdV", "CONok"})
        EXPECT_FALSE(shown(hidden)) << hidden;
    EXPECT_TRUE(shown("CONokN"));
    auto* bar = find<QProgressBar>("PBar2");
    EXPECT_EQ(bar->maximum(), 20);
    EXPECT_EQ(bar->value(), 20);
    EXPECT_FALSE(bar->isTextVisible());
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), QStringLiteral("0"));
    EXPECT_TRUE(find<QLineEdit>("T1VALUE")->isReadOnly());
    EXPECT_EQ(find<QLineEdit>("systeminfomation")->text(),
              QString::fromStdString(SystemDecimalSep()));
    auto* axis = chartPart<QValueAxis>("LeftAxis");
    EXPECT_EQ(axis->min(), -20000);
    EXPECT_EQ(axis->max(), 20000);
    EXPECT_EQ(find<QPushButton>("Bt10")->text(), QStringLiteral("1"));
    EXPECT_FALSE(find<QTimer>("Timer1")->isActive());
    EXPECT_EQ(find<QTimer>("Timer1")->interval(), 1000);
    EXPECT_EQ(w.lastGoodHigh(), "6000");
    EXPECT_EQ(w.lastGoodLow(), "-6000");
    EXPECT_EQ(w.readingLog().RecordLimit, 10000);
}

// --- Frames on screen ----------------------------------------------------------

TEST_F(Window, FramesDriveTheLcdTheValueAndTheVerdict) {
    frame("123451120");  // 1.2345 V DC
    const char* digits[] = {"LcdD0", "LcdDa", "LcdDb", "LcdDc", "LcdDd"};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(caption(digits[i]), QString::number(i + 1));
    EXPECT_TRUE(shown("LcdP0"));
    EXPECT_TRUE(shown("LcdV"));
    EXPECT_TRUE(shown("LcdDc1"));
    EXPECT_FALSE(shown("LcdFH"));
    EXPECT_TRUE(shown("CONok"));
    EXPECT_FALSE(shown("CONokN"));
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), "1" + sep() + "2345");
    const QColor green(0, 128, 0), red(255, 0, 0);
    EXPECT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Pass"));
    EXPECT_EQ(find("judge")->palette().color(QPalette::Window), green);
    EXPECT_EQ(find("Shape1")->palette().color(QPalette::Window), green);
    EXPECT_EQ(find("T1VALUE")->palette().color(QPalette::Base), green);
    EXPECT_EQ(find<QProgressBar>("PBar2")->value(), 12);
    // The area rendering was chosen by the first frame.
    EXPECT_TRUE(chartPart<QAreaSeries>("Series2")->isVisible());
    EXPECT_FALSE(chartPart<QLineSeries>("Series1")->isVisible());

    // Another function: nothing of the first stays lit.
    frame("002530600");  // 0025.3 degrees Celsius
    EXPECT_FALSE(shown("LcdV"));
    EXPECT_FALSE(shown("LcdDc1"));
    EXPECT_FALSE(shown("LcdP0"));
    EXPECT_TRUE(shown("LCDCS"));
    EXPECT_TRUE(shown("LcdP3"));
    EXPECT_EQ(chartPart<QValueAxis>("LeftAxis")->max(), 1000);

    // A lower high limit fails the same reading.
    find<QLineEdit>("T1HI")->setText(QStringLiteral("10"));
    frame("002530600");
    EXPECT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Fail"));
    EXPECT_EQ(find("judge")->palette().color(QPalette::Window), red);
    EXPECT_EQ(find("Shape1")->palette().color(QPalette::Window), red);
    EXPECT_EQ(find("T1VALUE")->palette().color(QPalette::Base), red);
}

// With a live line the display is drawn at most once an interval: a frame that
// follows closely is recorded at once and shown, verdict and all, when the
// interval is up. A long interval keeps a slow machine from passing it.
TEST_F(Window, DisplayKeepsItsPaceWhileEveryFrameIsRecorded) {
    w.setLcdRefreshInterval(1000);
    find<QLineEdit>("T1HI")->setText(QStringLiteral("1"));
    frame("000101120");  // 0.0010 V, within the limits
    ASSERT_TRUE(WaitFor([&] { return find<QLabel>("judge")->text() == QStringLiteral("Pass"); }));
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), "0" + sep() + "0010");
    EXPECT_EQ(caption("LcdDc"), QStringLiteral("1"));

    frame("123451120");  // 1.2345 V, too high
    EXPECT_EQ(w.table().size(), 2u);
    EXPECT_EQ(field(1, Field::Auto), QStringLiteral("Fail"));
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), "0" + sep() + "0010");
    EXPECT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Pass"));
    EXPECT_EQ(caption("LcdDa"), QStringLiteral("0"));

    ASSERT_TRUE(WaitFor([&] { return find<QLabel>("judge")->text() == QStringLiteral("Fail"); }));
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), "1" + sep() + "2345");
    EXPECT_EQ(caption("LcdDa"), QStringLiteral("2"));
    EXPECT_EQ(find("T1VALUE")->palette().color(QPalette::Base), QColor(255, 0, 0));
    EXPECT_EQ(find<QProgressBar>("PBar2")->value(), 12);
}

TEST_F(Window, BarGraphStaysWithinItsRange) {
    frame("A00001400");  // ohms overload: the bar shows full scale
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), "0" + sep() + "L");
    EXPECT_EQ(find<QProgressBar>("PBar2")->value(), 20);
    frame("123451120");
    EXPECT_EQ(find<QProgressBar>("PBar2")->value(), 12);
    frame("9876A2110");  // the leading digits point past the end of the bar
    EXPECT_EQ(find<QProgressBar>("PBar2")->value(), 20);
}

TEST_F(Window, GridCatchesUpInBatches) {
    auto* grid = find<QTableView>("DBGrid1");
    auto* timer = find<QTimer>("GridTimer");
    EXPECT_FALSE(timer->isActive());
    frame("123451120");
    frame("123461120");
    frame("123471120");
    EXPECT_EQ(w.table().size(), 3u);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(gridRows(), 0);  // not one update per frame
    syncGrid();
    EXPECT_EQ(gridRows(), 3);
    EXPECT_EQ(grid->currentIndex().row(), 2);
    EXPECT_FALSE(timer->isActive());

    QStringList titles;
    std::vector<int> widths;
    for (int c = 0; c < ReadingTableModel::ColumnCount; ++c) {
        if (grid->isColumnHidden(c))
            continue;
        titles << grid->model()->headerData(c, Qt::Horizontal).toString();
        widths.push_back(grid->columnWidth(c));
    }
    EXPECT_EQ(titles, QStringList({"no.", "time", "Function", "value", "unit", "Judge"}));
    EXPECT_EQ(widths, std::vector<int>({53, 53, 54, 56, 35, 35}));
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(grid->verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
    EXPECT_EQ(grid->font().pixelSize(), 12);

    // The unit column alone shows symbols for its letters.
    auto* units =
        qobject_cast<QStyledItemDelegate*>(grid->itemDelegateForColumn(ReadingTableModel::Unit));
    auto* values = qobject_cast<QStyledItemDelegate*>(grid->itemDelegate());
    ASSERT_TRUE(units && values);
    EXPECT_EQ(units->displayText(QStringLiteral("k*"), QLocale()), SymbolText("k*"));
    EXPECT_NE(SymbolText("k*"), QStringLiteral("k*"));
    EXPECT_EQ(values->displayText(QStringLiteral("k*"), QLocale()), QStringLiteral("k*"));
}

TEST_F(Window, BadFrameReachesTheErrorHandlerAndTheNextFrameDecodes) {
    // Range field "C" is not decimal: decoding stops there.
    RunAsEvent(&w, [this] { frame("12345C122"); });
    QMessageBox* box = Errors().box();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), QStringLiteral("'C' is not a valid integer value"));
    EXPECT_EQ(caption("LcdDd"), QStringLiteral("5"));  // the steps before it are shown
    CloseErrorBox();
    EXPECT_FALSE(Errors().box());

    frame("543211120");
    EXPECT_EQ(find<QLineEdit>("T1VALUE")->text(), "5" + sep() + "4321");
    EXPECT_EQ(w.table().size(), 1u);
}

// --- The general error handler ---------------------------------------------------

TEST_F(Window, ErrorBurstShowsOneBoxWithTheCount) {
    for (int i = 1; i <= 50; ++i) {
        QMetaObject::invokeMethod(
            &w, [i] { throw ConversionError("error " + std::to_string(i)); }, Qt::QueuedConnection);
    }
    QCoreApplication::processEvents();
    int boxes = 0;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(top) && top->isVisible())
            ++boxes;
    }
    EXPECT_EQ(boxes, 1);
    QMessageBox* box = Errors().box();
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text(), QStringLiteral("error 50"));
    EXPECT_EQ(box->informativeText(), QStringLiteral("(49 more errors)"));
    EXPECT_EQ(Errors().pendingCount(), 49);

    // Once closed, the next error opens a fresh box.
    CloseErrorBox();
    RunAsEvent(&w, [] { throw std::runtime_error("again"); });
    ASSERT_TRUE(Errors().box());
    EXPECT_EQ(Errors().box()->text(), QStringLiteral("again"));
    EXPECT_TRUE(Errors().box()->informativeText().isEmpty());
    EXPECT_EQ(Errors().pendingCount(), 0);
}

TEST(ErrorHandlerText, CountsMoreErrors) {
    EXPECT_EQ(ErrorHandler::MoreErrorsText(0), QString());
    EXPECT_EQ(ErrorHandler::MoreErrorsText(1), QStringLiteral("(1 more error)"));
    EXPECT_EQ(ErrorHandler::MoreErrorsText(3), QStringLiteral("(3 more errors)"));
}

// --- Recording -----------------------------------------------------------------

TEST_F(Window, RepeatSwitchDropsIdenticalReadings) {
    find<QCheckBox>("RepeatSet")->click();
    EXPECT_FALSE(find<QCheckBox>("RepeatSet")->isChecked());
    for (const char* f : {"123451120", "123451120", "123451120", "543211120"})
        frame(f);
    ASSERT_EQ(w.table().size(), 2u);
    EXPECT_EQ(w.table().integer(0, Field::No), 1);
    EXPECT_EQ(w.table().integer(1, Field::No), 4);
    // The switch shares the chart's click handler, which re-applies the rendering.
    find<QCheckBox>("BtFill")->setChecked(false);
    find<QCheckBox>("RepeatSet")->click();
    EXPECT_TRUE(chartPart<QLineSeries>("Series1")->isVisible());
    EXPECT_FALSE(chartPart<QAreaSeries>("Series2")->isVisible());
    EXPECT_FALSE(find<QAction>("Fill")->isChecked());
}

TEST_F(Window, CapacityMenuLimitsRecording) {
    find<QAction>("N10001")->trigger();
    EXPECT_EQ(w.readingLog().RecordLimit, 1000);
    for (const CapacityItem& item : kCapacityItems)
        EXPECT_EQ(find<QAction>(std::string(item.name).c_str())->isChecked(),
                  item.name == "N10001");
    for (int i = 0; i < 1005; ++i)
        frame("123451120");
    EXPECT_EQ(w.table().size(), 1000u);
    // Told once that recording stopped; the readings go on showing.
    EXPECT_EQ(script.notices,
              std::vector<QString>{QStringLiteral(
                  "Information|Recording stopped: the table holds its limit of 1000 rows. "
                  "Choose a larger capacity in the Record menu.")});

    find<QAction>("limitess")->trigger();
    EXPECT_EQ(w.readingLog().RecordLimit, 10000000);
    EXPECT_FALSE(find<QAction>("N10001")->isChecked());
    EXPECT_TRUE(find<QAction>("limitess")->isChecked());
    frame("123451120");
    EXPECT_EQ(w.table().size(), 1001u);
}

TEST_F(Window, IntervalSamplingRecordsOnTimerTicks) {
    auto* timer = find<QTimer>("Timer1");
    auto* interval = find<QLineEdit>("RecordSITime");
    find<QCheckBox>("RecordSI")->click();
    EXPECT_TRUE(timer->isActive());
    frame("123451120");
    EXPECT_EQ(w.table().size(), 0u);  // frames add no rows of their own
    Fire(timer);
    Fire(timer);
    EXPECT_EQ(w.table().size(), 2u);
    find<QCheckBox>("RecordSI")->click();
    EXPECT_FALSE(timer->isActive());

    interval->setText(QStringLiteral("3"));
    EXPECT_EQ(timer->interval(), 3000);
    interval->setText(QStringLiteral("0"));
    EXPECT_EQ(interval->text(), QStringLiteral("1"));
    EXPECT_EQ(timer->interval(), 1000);
    interval->setText(QStringLiteral("7"));
    interval->setText(QString());
    EXPECT_EQ(interval->text(), QStringLiteral("1"));
    EXPECT_EQ(timer->interval(), 1000);
}

TEST_F(Window, DigitBoxesTakeDigitsAndEditingKeys) {
    auto* interval = find<QLineEdit>("RecordSITime");
    QTest::keyClicks(interval, "2a.5 ");
    EXPECT_EQ(interval->text(), QStringLiteral("125"));
    QTest::keyClick(interval, Qt::Key_Backspace);
    EXPECT_EQ(interval->text(), QStringLiteral("12"));
    QTest::keyClick(interval, Qt::Key_Left);
    QTest::keyClick(interval, Qt::Key_Delete);
    EXPECT_EQ(interval->text(), QStringLiteral("1"));

    auto* step = find<QLineEdit>("TimeInt");
    QTest::keyClicks(step, "x3-");
    EXPECT_EQ(step->text(), QStringLiteral("13"));
}

TEST_F(Window, ClearingAsksFirst) {
    frame("123451120");
    frame("123461120");
    syncGrid();
    script.answers = {false};
    find<QToolButton>("RecordNew")->click();
    ASSERT_EQ(script.questions.size(), 1u);
    EXPECT_EQ(script.questions[0], QStringLiteral("Information|Are you sure to delete the data?"));
    EXPECT_EQ(w.table().size(), 2u);
    EXPECT_EQ(w.readingLog().ReadingNo, 3);

    script.answers = {true};
    find<QToolButton>("RecordNew")->click();
    EXPECT_EQ(w.table().size(), 0u);
    EXPECT_EQ(gridRows(), 0);
    EXPECT_EQ(w.readingLog().ReadingNo, 1);
    EXPECT_EQ(w.readingLog().RecordedCount, 0);
    EXPECT_EQ(find<QPushButton>("Bt10")->text(), QStringLiteral("1"));
    frame("543211120");
    EXPECT_EQ(w.table().integer(0, Field::No), 1);
}

// --- Limits --------------------------------------------------------------------

TEST_F(Window, LimitBoxesFilterKeys) {
    auto* high = find<QLineEdit>("T1HI");
    high->clear();
    QTest::keyClicks(high, "1a2" + sep() + "x" + sep() + "5");
    EXPECT_EQ(high->text(), "12" + sep() + "5");
    auto* low = find<QLineEdit>("T1LO");
    low->clear();
    QTest::keyClicks(low, "-3q'");
    EXPECT_EQ(low->text(), QStringLiteral("-3'"));
    QTest::keyClick(low, Qt::Key_Backspace);
    EXPECT_EQ(low->text(), QStringLiteral("-3"));
}

TEST_F(Window, LimitBoxesPutBackTheLastGoodTextAfterTheDelay) {
    auto* high = find<QLineEdit>("T1HI");
    auto* timer = find<QTimer>("Timer3");
    high->setText(QStringLiteral("7000"));
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 1000);
    Fire(timer);
    EXPECT_FALSE(timer->isActive());
    EXPECT_EQ(w.lastGoodHigh(), "7000");
    high->setText(QStringLiteral("7'0"));
    Fire(timer);
    EXPECT_EQ(high->text(), QStringLiteral("7000"));
    high->setText(QStringLiteral("-999999"));
    Fire(timer);
    EXPECT_EQ(high->text(), QStringLiteral("7000"));

    // While the low box holds no number, verdicts stop and the last stays.
    frame("123451120");
    EXPECT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Pass"));
    auto* low = find<QLineEdit>("T1LO");
    low->clear();
    frame("A00001400");  // an overload would fail
    EXPECT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Pass"));
    Fire(find<QTimer>("Timer4"));
    EXPECT_EQ(low->text(), QStringLiteral("-6000"));
    frame("A00001400");
    EXPECT_EQ(find<QLabel>("judge")->text(), QStringLiteral("Fail"));
}

// --- Recall clock ------------------------------------------------------------------

TEST_F(Window, RecallClockStampsRowsFromMidnight) {
    auto* recall = find<QCheckBox>("RecallCheck");
    recall->click();
    EXPECT_EQ(find<QLineEdit>("TimeH")->text(), QStringLiteral("00"));
    EXPECT_EQ(find<QLineEdit>("TimeM")->text(), QStringLiteral("00"));
    EXPECT_EQ(find<QLineEdit>("TimeS")->text(), QStringLiteral("00"));
    frame("123451120");
    frame("123461120");
    frame("123471120");
    const QString t(QChar::fromLatin1(SystemTimeSep()));
    EXPECT_EQ(field(0, Field::Time), "00" + t + "00" + t + "01");
    EXPECT_EQ(field(1, Field::Time), "00" + t + "00" + t + "02");
    EXPECT_EQ(field(2, Field::Time), "00" + t + "00" + t + "03");

    recall->click();
    EXPECT_EQ(find<QLineEdit>("TimeH")->text(), QStringLiteral("23"));
    EXPECT_EQ(w.recallClock().RecallHour, 23);
    EXPECT_EQ(w.recallClock().RecallSecond, 59);
}

TEST_F(Window, RecallBoxesRefuseOutOfRangeTimes) {
    auto* seconds = find<QLineEdit>("TimeS");
    seconds->clear();
    QTest::keyClick(seconds, '7');
    EXPECT_TRUE(script.messages.empty());
    EXPECT_EQ(w.recallClock().RecallSecond, 7);
    QTest::keyClick(seconds, '5');
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].title, QStringLiteral("Information"));
    EXPECT_EQ(script.messages[0].text, QStringLiteral("Input error!"));
    EXPECT_EQ(seconds->text(), QStringLiteral("00"));
    EXPECT_EQ(w.recallClock().RecallSecond, 7);
}

TEST_F(Window, LeavingTheSwitchLoadsTheTypedStartTime) {
    find<QCheckBox>("RecallCheck")->click();
    find<QLineEdit>("TimeH")->setText(QStringLiteral("08"));
    find<QLineEdit>("TimeM")->setText(QStringLiteral("15"));
    find<QLineEdit>("TimeS")->setText(QStringLiteral("30"));
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QCoreApplication::sendEvent(find("RecallCheck"), &out);
    EXPECT_EQ(w.recallClock().RecallHour, 8);
    EXPECT_EQ(w.recallClock().RecallMinute, 15);
    EXPECT_EQ(w.recallClock().RecallSecond, 30);
}

TEST_F(Window, AnEmptiedStartBoxIsReportedByTheErrorHandler) {
    auto* hours = find<QLineEdit>("TimeH");
    hours->clear();
    QTest::keyClick(hours, Qt::Key_Backspace);
    ASSERT_TRUE(Errors().box());
    EXPECT_EQ(Errors().box()->text(), QStringLiteral("'' is not a valid integer value"));
}

// --- Data files ------------------------------------------------------------------

class DataFiles : public Window {
  protected:
    QString path(const char* name) { return dir.filePath(QString::fromLatin1(name)); }
    bool load(const QString& name) {
        script.openName = name;
        QSignalSpy done(&w, &TFCOMM::dataFileLoaded);
        find<QToolButton>("OpenDataFiles")->click();
        if (done.isEmpty() && !done.wait(30000)) {
            ADD_FAILURE() << "the load did not finish";
            return false;
        }
        return done.takeFirst().at(0).toBool();
    }
    QTemporaryDir dir;
};

TEST_F(DataFiles, TextTableRoundTrip) {
    frame("123451120");
    frame("123461125");
    frame("002530600");
    script.saveName = path("readings.txt");
    find<QToolButton>("saveas")->click();
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].title, QString());
    EXPECT_EQ(script.messages[0].text,
              "save table to specified file: " + script.saveName + " Scuss!");
    EXPECT_EQ(script.messages[0].icon, WindowDialogs::Icon::Information);
    QFile saved(script.saveName);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_TRUE(saved.readAll().startsWith("No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n"));

    EXPECT_TRUE(load(script.saveName));
    EXPECT_EQ(script.messages.size(), 1u);  // no message on success
    ASSERT_EQ(w.table().size(), 6u);
    EXPECT_EQ(gridRows(), 6);
    for (size_t i = 0; i < 3; ++i) {
        const RowData recorded = w.table().row(i);
        RowData loaded = w.table().row(i + 3);
        EXPECT_FALSE(loaded.nval.has_value());
        loaded.nval = recorded.nval;
        EXPECT_EQ(loaded, recorded) << i;
    }
    // Loaded rows leave the numbering alone.
    EXPECT_EQ(w.readingLog().ReadingNo, 4);
}

TEST_F(DataFiles, FailuresAreReportedWithTheirTexts) {
    frame("123451120");
    EXPECT_FALSE(load(path("missing.txt")));
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].title, QStringLiteral("Error"));
    EXPECT_EQ(script.messages[0].text,
              QStringLiteral("Failed to Load File!\ncannot open: No such file or directory"));
    EXPECT_EQ(script.messages[0].icon, WindowDialogs::Icon::Error);
    EXPECT_EQ(w.table().size(), 1u);

    script.saveName = path("no/such/folder/readings.xls");
    find<QToolButton>("saveas")->click();
    ASSERT_EQ(script.messages.size(), 2u);
    EXPECT_EQ(script.messages[1].title, QString());
    EXPECT_EQ(script.messages[1].text, "Could not save table to specified file: " +
                                           script.saveName + "\nNo such file or directory");
    EXPECT_EQ(script.messages[1].icon, WindowDialogs::Icon::Error);

    // A snapshot that cannot be written goes to the general error handler.
    script.saveName = path("no/such/folder/readings.xml");
    find<QToolButton>("saveas")->click();
    EXPECT_EQ(script.messages.size(), 2u);
    ASSERT_TRUE(Errors().box());
    EXPECT_FALSE(Errors().box()->text().isEmpty());
}

TEST_F(DataFiles, SnapshotReplacesTheTable) {
    frame("123451120");
    frame("123461120");
    script.saveName = path("readings.xml");
    find<QToolButton>("saveas")->click();
    EXPECT_TRUE(script.messages.empty());
    frame("123471120");
    ASSERT_EQ(w.table().size(), 3u);
    EXPECT_TRUE(load(script.saveName));
    ASSERT_EQ(w.table().size(), 2u);
    EXPECT_EQ(w.table().integer(1, Field::Nval), 12346);
    EXPECT_EQ(gridRows(), 2);
}

TEST_F(DataFiles, ReadingsArrivingDuringALoadAreKept) {
    frame("123451120");
    frame("123461120");
    script.saveName = path("readings.txt");
    find<QToolButton>("saveas")->click();

    script.openName = script.saveName;
    QSignalSpy done(&w, &TFCOMM::dataFileLoaded);
    find<QToolButton>("OpenDataFiles")->click();
    // The file is read on its own thread; the window goes on decoding.
    EXPECT_TRUE(w.loading());
    EXPECT_TRUE(w.findChild<QProgressDialog*>(QStringLiteral("LoadProgress")));
    EXPECT_FALSE(find("saveas")->isEnabled());
    frame("543211120");
    frame("543221120");
    ASSERT_TRUE(done.wait(30000));
    EXPECT_TRUE(done.at(0).at(0).toBool());
    EXPECT_FALSE(w.loading());
    EXPECT_FALSE(w.findChild<QProgressDialog*>(QStringLiteral("LoadProgress")));
    EXPECT_TRUE(find("saveas")->isEnabled());

    // As if the load had finished before those readings came.
    ASSERT_EQ(w.table().size(), 6u);
    const int32_t numbers[] = {1, 2, 1, 2, 3, 4};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(w.table().integer(i, Field::No), numbers[i]) << i;
    EXPECT_FALSE(w.table().integer(3, Field::Nval).has_value());
    EXPECT_EQ(w.table().integer(5, Field::Nval), 54322);
    EXPECT_EQ(gridRows(), 6);
}

TEST(DataFilesLoader, ClosingTheWindowDuringALoadStopsTheLoader) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    DialogScript script;
    script.saveName = dir.filePath(QStringLiteral("readings.txt"));
    script.openName = script.saveName;
    auto hid = std::make_shared<FakeHidBackend>();
    {
        TFCOMM writer(nullptr, hid);
        writer.setDialogs(std::make_unique<ScriptedDialogs>(script));
        const Bytes line = TarvoLine("123451120");
        for (int i = 0; i < 5000; ++i)
            writer.HTarvoRData(line.data(), int(line.size()));
        writer.saveasClick();
    }
    ASSERT_EQ(script.messages.size(), 1u);  // saved

    auto reader = std::make_unique<TFCOMM>(nullptr, hid);
    reader->setDialogs(std::make_unique<ScriptedDialogs>(script));
    reader->SpeedButton2Click();
    EXPECT_TRUE(reader->loading());
    reader.reset();
    QCoreApplication::processEvents();  // the loader's end finds no window
    EXPECT_EQ(script.messages.size(), 1u);
}

// A FIFO nobody writes to: the progress shows with a Cancel button, the rest
// of the window (Quit included) stays within reach, and Escape cancels the
// load, leaving the table as it was and saying nothing.
TEST_F(DataFiles, AStuckLoadCanBeCancelledAndQuitStaysWithinReach) {
    frame("123451120");
    const RowData held = w.table().row(0);
    script.openName = path("stuck.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(script.openName).constData(), 0600), 0);
    w.show();
    QSignalSpy done(&w, &TFCOMM::dataFileLoaded);
    find<QToolButton>("OpenDataFiles")->click();
    QProgressDialog* progress = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        progress = w.findChild<QProgressDialog*>(QStringLiteral("LoadProgress"));
        return progress && progress->isVisible();
    }));
    EXPECT_TRUE(progress->findChild<QPushButton*>());  // Cancel

    // Nothing blocks the window: Quit is answered while the read waits.
    EXPECT_EQ(QGuiApplication::modalWindow(), nullptr);
    script.answers = {false};
    QTest::mouseClick(find<QPushButton>("BitBtn1"), Qt::LeftButton);
    EXPECT_EQ(script.questions.size(), 1u);
    EXPECT_TRUE(w.loading());

    QTest::keyClick(progress, Qt::Key_Escape);
    ASSERT_TRUE(done.wait(10000) || !done.isEmpty());
    EXPECT_FALSE(done.at(0).at(0).toBool());
    EXPECT_FALSE(w.loading());
    ASSERT_EQ(w.table().size(), 1u);
    EXPECT_EQ(w.table().row(0), held);
    EXPECT_TRUE(script.messages.empty());
    EXPECT_TRUE(find("OpenDataFiles")->isEnabled());
}

// Every recorded row is in the journal until the table is saved whole.
TEST_F(DataFiles, RecordedRowsAreJournalledUntilASave) {
    w.StartJournal(path("journal"));
    ASSERT_TRUE(w.journal() && !w.journal()->failed()) << w.journal()->error();
    frame("123451120");
    frame("000421125");
    w.journal()->flush();
    ReadingTable journalled;
    ASSERT_TRUE(RestoreJournal(w.journal()->path(), journalled).ok);
    ASSERT_EQ(journalled.size(), 2u);
    EXPECT_EQ(journalled.row(0), w.table().row(0));
    EXPECT_EQ(journalled.row(1), w.table().row(1));

    script.saveName = path("saved.txt");
    find<QToolButton>("saveas")->click();
    w.journal()->flush();
    ReadingTable after;
    ASSERT_TRUE(RestoreJournal(w.journal()->path(), after).ok);
    EXPECT_TRUE(after.empty());
}

// A journal that a run left with rows is offered back at the next start; the
// rows come back exactly, recording numbers on from them, and the journal
// goes on in the same file.
TEST_F(DataFiles, AnUnsavedJournalIsOfferedBack) {
    const QString journals = path("journal");
    ReadingTable left;
    left.appendRecorded(7, "12:00:00", "DC", "1.2345", "V", "pass", 12345);
    left.appendRecorded(8, "12:00:01", "AC", "-0.0042", "V", "Fail", -42);
    QString file;
    {
        Journal earlier(journals);
        ASSERT_TRUE(earlier.open());
        earlier.append(left, 0, "AUTO");
        earlier.append(left, 1, "");
        earlier.flush();
        file = earlier.path();
    }
    script.answers = {true};
    w.StartJournal(journals);
    ASSERT_EQ(script.questions.size(), 1u);
    EXPECT_TRUE(script.questions[0].contains(QStringLiteral("2 readings, recorded between")))
        << script.questions[0].toStdString();
    ASSERT_EQ(w.table().size(), 2u);
    EXPECT_EQ(w.table().row(0), left.row(0));
    EXPECT_EQ(w.table().row(1), left.row(1));
    EXPECT_EQ(w.journal()->path(), file);
    frame("123461120");
    EXPECT_EQ(w.table().integer(2, Field::No), 9);
}

// Declined, the unsaved rows move aside and the message says where.
TEST_F(DataFiles, ADeclinedJournalIsKeptAside) {
    const QString journals = path("journal");
    {
        Journal left(journals);
        ASSERT_TRUE(left.open());
        ReadingTable t;
        t.appendRecorded(1, "12:00:00", "DC", "1.5", "V", "pass", 15);
        left.append(t, 0, "AUTO");
        left.flush();
    }
    script.answers = {false};
    w.StartJournal(journals);
    EXPECT_TRUE(w.table().empty());
    ASSERT_EQ(script.messages.size(), 1u);
    const QString kept = QDir(journals).filePath(QStringLiteral("kept"));
    EXPECT_EQ(script.messages[0].text, QStringLiteral("The readings were kept in %1.").arg(kept));
    EXPECT_EQ(QDir(kept).entryList(QDir::Files).size(), 1);
    EXPECT_TRUE(FindUnsavedJournals(journals).empty());
}

// --- Printing ---------------------------------------------------------------

TEST_F(Window, PrintPreviewKeepsRecordingAndTheGridCatchesUp) {
    for (int i = 0; i < 3; ++i)
        frame("000011120");
    auto* grid = find<QTableView>("DBGrid1");
    script.duringPreview = [&] {
        // The grid rests while the preview is open; frames still record.
        EXPECT_FALSE(grid->updatesEnabled());
        frame("000021120");
        frame("000031120");
    };
    find<QToolButton>("BtPrint")->click();
    ASSERT_EQ(script.previewedRows, std::vector<size_t>({3}));
    EXPECT_TRUE(grid->updatesEnabled());
    EXPECT_EQ(w.table().size(), 5u);
    EXPECT_EQ(gridRows(), 5);
    EXPECT_EQ(grid->currentIndex().row(), 4);  // the current row is the last
    // The next click lays the report out afresh.
    script.duringPreview = nullptr;
    find<QToolButton>("BtPrint")->click();
    EXPECT_EQ(script.previewedRows, std::vector<size_t>({3, 5}));
}

// --- Leaving -------------------------------------------------------------------------

TEST_F(Window, QuitAsksAndTheCloseBoxDoesNot) {
    w.show();
    script.answers = {false};
    find<QPushButton>("BitBtn1")->click();
    ASSERT_EQ(script.questions.size(), 1u);
    EXPECT_EQ(script.questions[0],
              QStringLiteral("Information|Are you sure that you want to quit this application?"));
    EXPECT_TRUE(w.isVisible());
    script.answers = {true};
    find<QPushButton>("BitBtn1")->click();
    EXPECT_FALSE(w.isVisible());

    w.show();
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(script.questions.size(), 2u);

    w.show();
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(find("BtExit"), &release);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(script.questions.size(), 2u);
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
