// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The chart pager: shows the trend chart a fixed number of readings at a
// time. It appends each recorded value to the chart, counts the pages, moves
// the chart's horizontal window by whole pages, and either follows the newest
// reading or holds an older page while the user browses.
//
// Points sit at X = 0, 1, 2, ...: a placeholder of value 0 at X = 0 (put in
// at creation and after clearing), the readings after it, so page k is the
// window X = (k - 1) * PageSize + 1 .. k * PageSize.

#include <cstdint>

namespace dmm {

// What the pager needs of a chart. Every series receives the same points; a
// point's X is the number of points its series held before it.
class PagedChart {
  public:
    virtual ~PagedChart() = default;
    // Appends the value to every series (blue, no label).
    virtual void AppendPoint(double value) = 0;
    // Removes every point of every series.
    virtual void ClearPoints() = 0;
    // Points in the first series.
    virtual int64_t PointCount() const = 0;
    // The bottom axis's window. SetBottomRange sets both ends together, in the
    // order that never puts the minimum above the maximum.
    virtual double BottomMinimum() const = 0;
    virtual double BottomMaximum() const = 0;
    virtual void SetBottomRange(double minimum, double maximum) = 0;
    // The first series (the area rendering) becomes active.
    virtual void ActivateFirstSeries() = 0;
};

class TChartControl {
  public:
    TChartControl(PagedChart& chart, int32_t pageSize);

    int32_t AddPoint(double value);
    int32_t FirstPage();
    int32_t PreviousPage();
    int32_t NextPage();
    int32_t LastPage();
    // A size below 1 is ignored: the window could not hold a page.
    void SetPageSize(int32_t n);
    int32_t Clear();

    int32_t CurrentPage = 0;
    int32_t PageSize = 0;
    int32_t PageCount = 0;
    bool Browsing = false;

  private:
    void RecountPages();
    // Makes count guarded moves of the window by step points: each moves it
    // only when some point lies beyond it that way. Worked out at once and
    // applied as one change of the axis, however many pages it spans.
    void GuardedMoves(int64_t count, double step);

    PagedChart& Chart;
};

}  // namespace dmm
