// SPDX-License-Identifier: GPL-3.0-or-later
// The trend chart and its toolbar, driven through the window.

#include "window_fixture.h"

namespace dmm::app {
namespace {

TEST_F(Window, RecordedReadingsPageTheChart) {
    auto* bt10 = find<QPushButton>("Bt10");
    auto* line = chartPart<QLineSeries>("Series1");
    for (int i = 0; i < 100; ++i)
        frame("000011120");
    EXPECT_EQ(bt10->text(), QStringLiteral("2"));
    EXPECT_EQ(line->count(), 0);  // the chart catches up with the grid
    syncGrid();
    EXPECT_EQ(line->count(), 100);  // readings 1 .. 100 in the window X 1 .. 100
    frame("000021120");
    syncGrid();
    EXPECT_EQ(bt10->text(), QStringLiteral("2"));
    // The window moved to X 101 .. 200: the chart holds only what it shows.
    ASSERT_EQ(line->count(), 1);
    EXPECT_EQ(line->at(0).x(), 101);
    EXPECT_NEAR(line->at(0).y(), 0.0002, 1e-9);  // 0.0002 V as displayed
    EXPECT_EQ(w.chartPager().CurrentPage, 2);

    script.answers = {true};
    find<QToolButton>("RecordNew")->click();
    EXPECT_EQ(bt10->text(), QStringLiteral("1"));
    EXPECT_EQ(w.chartPager().PageCount, 2);  // stale until the next reading
}

TEST_F(Window, PageButtonsAndPageSize) {
    auto* bt10 = find<QPushButton>("Bt10");
    auto* bottom = qobject_cast<QValueAxis*>(
        find<QChartView>("Chtshow")->chart()->axes(Qt::Horizontal).value(0));
    ASSERT_NE(bottom, nullptr);
    for (int i = 0; i < 120; ++i)
        frame("000011120");
    EXPECT_EQ(bt10->text(), QStringLiteral("2"));
    find<QToolButton>("BtFirst")->click();
    EXPECT_EQ(bt10->text(), QStringLiteral("1"));
    EXPECT_EQ(bottom->min(), 1);
    // The hidden menu's items run the same handlers.
    auto* last = w.menuBar()->findChild<QAction*>(QStringLiteral("Last"));
    ASSERT_NE(last, nullptr);
    last->trigger();
    EXPECT_EQ(bt10->text(), QStringLiteral("2"));
    EXPECT_EQ(bottom->min(), 101);

    // Typing a page size takes effect when Timer2 fires: 121 points at 50 a
    // page put the window on page 3, X 101 .. 150.
    auto* box = find<QLineEdit>("Maxrecord");
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, "5x0");  // the key filter drops the letter
    EXPECT_EQ(box->text(), QStringLiteral("50"));
    auto* timer2 = find<QTimer>("Timer2");
    EXPECT_TRUE(timer2->isActive());
    Fire(timer2);
    EXPECT_EQ(bt10->text(), QStringLiteral("3"));
    EXPECT_EQ(bottom->min(), 101);
    EXPECT_EQ(bottom->max(), 150);
    // An emptied box comes back as "100".
    box->clear();
    Fire(timer2);
    EXPECT_EQ(box->text(), QStringLiteral("100"));
    EXPECT_EQ(w.chartPager().PageSize, 100);
}

TEST_F(Window, FillChoiceShowsOneRendering) {
    auto* area = chartPart<QAreaSeries>("Series2");
    auto* line = chartPart<QLineSeries>("Series1");
    auto* fill = find<QCheckBox>("BtFill");
    QAction* fillItem = w.menuBar()->findChild<QAction*>(QStringLiteral("Fill"));
    ASSERT_TRUE(fillItem);
    // Until the first choice both renderings are drawn.
    EXPECT_TRUE(area->isVisible());
    EXPECT_TRUE(line->isVisible());

    fill->click();
    EXPECT_FALSE(fill->isChecked());
    EXPECT_FALSE(fillItem->isChecked());
    EXPECT_FALSE(area->isVisible());
    EXPECT_TRUE(line->isVisible());

    // The repeat switch re-applies the choice and changes nothing on the chart.
    find<QCheckBox>("RepeatSet")->click();
    EXPECT_FALSE(area->isVisible());
    EXPECT_TRUE(line->isVisible());

    // The hidden menu's item toggles the check box and the rendering.
    fillItem->trigger();
    EXPECT_TRUE(fill->isChecked());
    EXPECT_TRUE(fillItem->isChecked());
    EXPECT_TRUE(area->isVisible());
    EXPECT_FALSE(line->isVisible());
    fillItem->trigger();
    EXPECT_FALSE(fill->isChecked());
    EXPECT_FALSE(fillItem->isChecked());
    EXPECT_TRUE(line->isVisible());
    EXPECT_FALSE(area->isVisible());

    // The hidden drop-down list shows the series of its item.
    auto* combo = find<QComboBox>("ComboBox1");
    combo->setCurrentIndex(0);
    emit combo->activated(0);
    EXPECT_TRUE(area->isVisible());
    EXPECT_FALSE(line->isVisible());
}

TEST_F(Window, NewChartKeepsOneSamplePointAndLeavesThePagerAlone) {
    for (int i = 0; i < 150; ++i)
        frame("000011120");
    ASSERT_EQ(w.chartPager().PageCount, 2);
    auto* combo = find<QComboBox>("ComboBox1");
    combo->setCurrentIndex(1);
    find<QCheckBox>("BtFill")->click();  // the line rendering
    QAction* item = w.menuBar()->findChild<QAction*>(QStringLiteral("New"));
    ASSERT_TRUE(item);
    item->trigger();
    EXPECT_EQ(combo->currentIndex(), 0);
    // The fill choice is applied after the area was shown: the line stays.
    EXPECT_TRUE(chartPart<QLineSeries>("Series1")->isVisible());
    EXPECT_FALSE(chartPart<QAreaSeries>("Series2")->isVisible());
    EXPECT_EQ(w.chartPager().PageCount, 2);
    EXPECT_EQ(w.chartPager().CurrentPage, 2);
    // The next reading is the chart's second point.
    frame("000021120");
    EXPECT_EQ(w.chartPager().PageCount, 1);
}

TEST_F(Window, ChartSavedAsBitmap) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    w.show();
    for (int i = 0; i < 30; ++i)
        frame(i % 2 ? "000011120" : "000091120");
    auto* save = find<QToolButton>("BtSave");

    // Cancelled: no file, no message.
    save->click();
    EXPECT_TRUE(script.messages.empty());
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());

    const QString path = dir.filePath(QStringLiteral("trend.bmp"));
    script.pictureName = path;
    save->click();
    ASSERT_EQ(script.messages.size(), 1u);
    EXPECT_EQ(script.messages[0].text, QStringLiteral("Graphic has saved on ") + path);
    EXPECT_EQ(script.messages[0].title, QStringLiteral("Information"));
    EXPECT_EQ(script.messages[0].icon, WindowDialogs::Icon::Information);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.read(2), QByteArray("BM"));
    file.close();
    const QImage picture(path, "bmp");
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.size(), find<QChartView>("Chtshow")->size());
    // The plot shows the recorded values: the line's pen colour is in the picture.
    bool lineDrawn = false;
    for (int y = 0; y < picture.height() && !lineDrawn; ++y)
        for (int x = 0; x < picture.width() && !lineDrawn; ++x)
            lineDrawn = picture.pixelColor(x, y) == QColor(0, 128, 255) ||
                        picture.pixelColor(x, y) == QColor(255, 255, 128);
    EXPECT_TRUE(lineDrawn);

    // The same item of the hidden menu; the file is replaced.
    QAction* item = w.menuBar()->findChild<QAction*>(QStringLiteral("Save"));
    ASSERT_TRUE(item);
    item->trigger();
    EXPECT_EQ(script.messages.size(), 2u);

    // A file that cannot be written is an error, without the confirmation.
    script.pictureName = dir.filePath(QStringLiteral("missing/trend.bmp"));
    RunAsEvent(&w, [&] { save->click(); });
    ASSERT_TRUE(Errors().box());
    EXPECT_TRUE(Errors().box()->text().contains(QStringLiteral("missing/trend.bmp")));
    EXPECT_EQ(script.messages.size(), 2u);
}

TEST_F(Window, EnlargeAndRestoreTheChart) {
    w.show();
    QCoreApplication::processEvents();
    auto* chart = find<QChartView>("Chtshow");
    auto* toolbar = find("Panel19");
    const QRect normal = chart->geometry();
    EXPECT_EQ(normal, QRect(336, 187, 377, 286));
    EXPECT_TRUE(shown("TbFd"));
    EXPECT_FALSE(shown("TbSx"));

    find<QToolButton>("TbFd")->click();
    const QRect outer = w.frameGeometry();
    EXPECT_EQ(chart->geometry(), QRect(2, 28, outer.width() - 12, outer.height() - 75));
    EXPECT_FALSE(shown("TbFd"));
    EXPECT_TRUE(shown("TbSx"));
    EXPECT_FALSE(shown("Panel4"));
    EXPECT_FALSE(shown("Panel6"));
    EXPECT_EQ(toolbar->pos(), QPoint(4, 2));
    // The margins follow the chart's size.
    EXPECT_EQ(chart->chart()->margins().left(), (chart->width() + 50) / 100);

    find<QToolButton>("TbSx")->click();
    EXPECT_EQ(chart->geometry(), normal);
    EXPECT_TRUE(shown("TbFd"));
    EXPECT_FALSE(shown("TbSx"));
    EXPECT_TRUE(shown("Panel4"));
    EXPECT_TRUE(shown("Panel6"));
    EXPECT_EQ(toolbar->pos(), QPoint(337, 152));  // not its design-time 339
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
