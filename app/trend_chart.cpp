// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/trend_chart.h"

#include <QAreaSeries>
#include <QLineSeries>
#include <QValueAxis>
#include <algorithm>
#include <cmath>

namespace dmm::app {
namespace {

// About four intervals across the page, each a round whole number of
// readings (1, 2, 5, 10, 20, 25, 50, 100, ...).
double TickInterval(double width) {
    const double wanted = std::max(1.0, width / 4);
    for (double decade = 1;; decade *= 10) {
        for (double step : {1.0, 2.0, 2.5, 5.0}) {
            const double interval = step * decade;
            if (interval >= wanted && (step != 2.5 || decade >= 10))
                return interval;
        }
    }
}

}  // namespace

TrendChart::TrendChart(QAreaSeries* area, QLineSeries* line, QValueAxis* bottom)
    : area_(area), upper_(area->upperSeries()), line_(line), bottom_(bottom) {
    minimum_ = bottom_->min();
    maximum_ = bottom_->max();
}

void TrendChart::AppendPoint(double value) {
    const auto x = int64_t(values_.size());
    values_.push_back(float(value));
    if (inWindow(x))
        dirty_ = true;
}

void TrendChart::ClearPoints() {
    values_.clear();
    dirty_ = true;
}

void TrendChart::ReplacePointsWithSample() {
    values_ = {0.0f};
    dirty_ = true;
}

void TrendChart::SetBottomRange(double minimum, double maximum) {
    // The axis follows in flush(): while readings pour in, the window may
    // move many times between two paints, and each move of the axis lays the
    // chart out again.
    minimum_ = minimum;
    maximum_ = maximum;
    dirty_ = true;
}

void TrendChart::MoveBottomAxis() {
    if (bottom_->min() == minimum_ && bottom_->max() == maximum_)
        return;
    const double interval = TickInterval(maximum_ - minimum_);
    if (bottom_->tickInterval() != interval)
        bottom_->setTickInterval(interval);
    // Widen before narrowing, so the axis never sees its minimum above its
    // maximum on the way.
    if (minimum_ > bottom_->max()) {
        bottom_->setMax(maximum_);
        bottom_->setMin(minimum_);
    } else {
        bottom_->setMin(minimum_);
        bottom_->setMax(maximum_);
    }
}

void TrendChart::ActivateFirstSeries() {
    area_->setVisible(true);
}

void TrendChart::flush() {
    if (!dirty_)
        return;
    dirty_ = false;
    MoveBottomAxis();
    scratch_.clear();
    const int64_t count = int64_t(values_.size());
    const int64_t first = std::max<int64_t>(0, int64_t(std::ceil(minimum_)));
    const int64_t last = std::min<int64_t>(count - 1, int64_t(std::floor(maximum_)));
    for (int64_t x = first; x <= last; ++x)
        scratch_.append(QPointF(double(x), double(values_[size_t(x)])));
    upper_->replace(scratch_);
    line_->replace(scratch_);
}

}  // namespace dmm::app
