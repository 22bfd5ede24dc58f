// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <vector>

#include "chart/chart_pager.h"

namespace dmm {
namespace {

// A chart that keeps its points and refuses a minimum above its maximum, as
// a real axis does.
class FakeChart : public PagedChart {
  public:
    std::vector<double> points;
    double minimum = 0, maximum = 10;
    int rangeChanges = 0;
    bool firstActive = false;

    void AppendPoint(double v) override { points.push_back(v); }
    void ClearPoints() override { points.clear(); }
    int64_t PointCount() const override { return int64_t(points.size()); }
    double BottomMinimum() const override { return minimum; }
    double BottomMaximum() const override { return maximum; }
    void SetBottomRange(double mn, double mx) override {
        ASSERT_LE(mn, mx);
        minimum = mn;
        maximum = mx;
        ++rangeChanges;
    }
    void ActivateFirstSeries() override { firstActive = true; }
};

TEST(ChartPager, FollowsTheNewestReading) {
    FakeChart chart;
    TChartControl pager(chart, 100);
    EXPECT_EQ(pager.CurrentPage, 1);
    EXPECT_EQ(pager.PageCount, 1);
    EXPECT_EQ(chart.points, std::vector<double>{0});  // the placeholder
    EXPECT_TRUE(chart.firstActive);
    EXPECT_EQ(chart.minimum, 1);
    EXPECT_EQ(chart.maximum, 100);

    for (int i = 1; i <= 99; ++i)
        EXPECT_EQ(pager.AddPoint(i), 1);
    EXPECT_EQ(chart.maximum, 100);
    // The 100th reading makes a second page, but no point lies beyond the window.
    EXPECT_EQ(pager.AddPoint(100), 2);
    EXPECT_EQ(chart.minimum, 1);
    EXPECT_EQ(chart.maximum, 100);
    // The 101st moves the window.
    EXPECT_EQ(pager.AddPoint(101), 2);
    EXPECT_EQ(chart.minimum, 101);
    EXPECT_EQ(chart.maximum, 200);
}

TEST(ChartPager, BrowsingHoldsThePage) {
    FakeChart chart;
    TChartControl pager(chart, 100);
    for (int i = 1; i <= 100; ++i)
        pager.AddPoint(i);
    // Back from the boundary state: only the placeholder lies there.
    EXPECT_EQ(pager.PreviousPage(), 1);
    EXPECT_EQ(chart.minimum, -99);
    EXPECT_EQ(chart.maximum, 0);
    EXPECT_TRUE(pager.Browsing);
    EXPECT_EQ(pager.PreviousPage(), 1);  // ignored on page 1

    for (int i = 0; i < 250; ++i)
        pager.AddPoint(i);
    EXPECT_EQ(pager.CurrentPage, 1);
    EXPECT_EQ(pager.PageCount, 4);
    EXPECT_EQ(chart.maximum, 0);

    // Next from an early page keeps browsing; from the second-to-last it ends.
    EXPECT_EQ(pager.NextPage(), 2);
    EXPECT_EQ(chart.minimum, 1);
    EXPECT_TRUE(pager.Browsing);
    EXPECT_EQ(pager.NextPage(), 3);
    EXPECT_TRUE(pager.Browsing);
    EXPECT_EQ(pager.NextPage(), 4);
    EXPECT_FALSE(pager.Browsing);
    EXPECT_EQ(chart.minimum, 201);
    EXPECT_EQ(pager.NextPage(), 4);  // ignored on the last page
}

TEST(ChartPager, LastFirstAndPageSize) {
    FakeChart chart;
    TChartControl pager(chart, 100);
    for (int i = 1; i <= 350; ++i)
        pager.AddPoint(i);  // 351 points: 4 pages, window 301 .. 400
    EXPECT_EQ(pager.PageCount, 4);
    EXPECT_EQ(chart.minimum, 301);
    EXPECT_EQ(pager.FirstPage(), 1);
    EXPECT_EQ(chart.minimum, 1);
    EXPECT_TRUE(pager.Browsing);
    pager.AddPoint(1);
    EXPECT_EQ(pager.CurrentPage, 1);
    EXPECT_EQ(pager.LastPage(), 4);
    EXPECT_EQ(chart.minimum, 301);
    EXPECT_FALSE(pager.Browsing);

    // 120 readings at page size 50: page 3, window 101 .. 150.
    FakeChart c2;
    TChartControl p2(c2, 100);
    for (int i = 1; i <= 120; ++i)
        p2.AddPoint(i);
    p2.SetPageSize(50);
    EXPECT_EQ(p2.CurrentPage, 3);
    EXPECT_EQ(c2.minimum, 101);
    EXPECT_EQ(c2.maximum, 150);
    const int changes = c2.rangeChanges;
    p2.SetPageSize(0);  // refused: nothing changes
    p2.SetPageSize(-5);
    EXPECT_EQ(p2.PageSize, 50);
    EXPECT_EQ(c2.rangeChanges, changes);
}

TEST(ChartPager, ClearLeavesThePageCountStale) {
    FakeChart chart;
    TChartControl pager(chart, 10);
    for (int i = 1; i <= 45; ++i)
        pager.AddPoint(i);
    EXPECT_EQ(pager.PageCount, 5);
    EXPECT_EQ(pager.Clear(), 1);
    EXPECT_EQ(chart.points, std::vector<double>{0});
    EXPECT_FALSE(pager.Browsing);
    EXPECT_EQ(pager.PageCount, 5);
    // A Next before the next reading still counts up, though the window stays.
    const double mn = chart.minimum;
    EXPECT_EQ(pager.NextPage(), 2);
    EXPECT_EQ(chart.minimum, mn);
}

TEST(ChartPager, ManyPagesMoveInOneStep) {
    FakeChart chart;
    TChartControl pager(chart, 1);
    for (int i = 0; i < 100000; ++i)
        pager.AddPoint(i);
    pager.FirstPage();
    const int before = chart.rangeChanges;
    pager.LastPage();
    EXPECT_EQ(chart.rangeChanges, before + 1);
    EXPECT_EQ(chart.maximum, 100000);
    pager.SetPageSize(7);
    EXPECT_EQ(pager.PageCount, 14286);
    EXPECT_EQ(chart.maximum, 100002);  // the last page's window holds X 100000
}

}  // namespace
}  // namespace dmm
