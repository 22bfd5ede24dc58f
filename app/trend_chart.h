// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The trend chart as the pager sees it. Every recorded value is kept in one
// compact list: 4 bytes a point, in blocks that never move, so a long
// recording neither copies the list nor leaves old copies behind. The chart's
// two series only ever hold the points inside the bottom axis's window, so
// appending and paging cost the same with ten readings held as with ten
// million. The series catch up in flush(), which the window calls a few times
// a second rather than at every reading: each change of a series repaints the
// chart.

#include <QPointF>
#include <QVector>
#include <deque>

#include "chart/chart_pager.h"

class QAreaSeries;
class QLineSeries;
class QValueAxis;

namespace dmm::app {

class TrendChart : public PagedChart {
  public:
    // area: the area rendering (series index 0); line: the line rendering.
    TrendChart(QAreaSeries* area, QLineSeries* line, QValueAxis* bottom);

    void AppendPoint(double value) override;
    void ClearPoints() override;
    int64_t PointCount() const override { return int64_t(values_.size()); }
    double BottomMinimum() const override { return minimum_; }
    double BottomMaximum() const override { return maximum_; }
    void SetBottomRange(double minimum, double maximum) override;
    void ActivateFirstSeries() override;

    // Every series gets one sample point in place of all its points; the
    // pager is not told.
    void ReplacePointsWithSample();

    double valueAt(int64_t x) const { return values_[size_t(x)]; }
    // Moves the bottom axis to the window and gives the series the points
    // in it, when anything changed.
    void flush();

  private:
    void MoveBottomAxis();
    bool inWindow(int64_t x) const { return double(x) >= minimum_ && double(x) <= maximum_; }

    QAreaSeries* area_;
    QLineSeries* upper_;
    QLineSeries* line_;
    QValueAxis* bottom_;
    std::deque<float> values_;
    double minimum_ = 0, maximum_ = 0;
    QVector<QPointF> scratch_;
    bool dirty_ = false;
};

}  // namespace dmm::app
