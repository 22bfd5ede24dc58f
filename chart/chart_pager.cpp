// SPDX-License-Identifier: GPL-3.0-or-later
#include "chart/chart_pager.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace dmm {

TChartControl::TChartControl(PagedChart& chart, int32_t pageSize) : Chart(chart) {
    SetPageSize(pageSize < 1 ? 1 : pageSize);
    Chart.SetBottomRange(1, PageSize);
    PageCount = 1;
    CurrentPage = 1;
    Chart.AppendPoint(0);  // the placeholder
    Chart.ActivateFirstSeries();
}

void TChartControl::RecountPages() {
    const int64_t p = Chart.PointCount();
    const int64_t pages = p / PageSize + (p % PageSize > 0 ? 1 : 0);
    PageCount = pages > INT32_MAX ? INT32_MAX : int32_t(pages);
}

void TChartControl::GuardedMoves(int64_t count, double step) {
    const int64_t points = Chart.PointCount();
    if (count <= 0 || points <= 0 || step == 0)
        return;
    const double mn = Chart.BottomMinimum(), mx = Chart.BottomMaximum();
    // The points sit at X = 0 .. points - 1. A move forward needs a point
    // beyond the maximum, a move back one below the minimum (the
    // placeholder at 0, when the minimum is above it).
    const double room = step > 0 ? double(points - 1) - mx : mn;
    if (room <= 0)
        return;
    const auto possible = int64_t(std::ceil(room / std::fabs(step)));
    const int64_t moves = std::min(count, possible);
    const double shift = double(moves) * step;
    Chart.SetBottomRange(mn + shift, mx + shift);
}

int32_t TChartControl::AddPoint(double value) {
    Chart.AppendPoint(value);
    RecountPages();
    if (!Browsing) {
        GuardedMoves(1, PageSize);
        CurrentPage = PageCount;
    }
    return CurrentPage;
}

int32_t TChartControl::FirstPage() {
    if (PageCount > 1 && CurrentPage != 1) {
        GuardedMoves(int64_t(CurrentPage) - 1, -PageSize);
        CurrentPage = 1;
        Browsing = true;
    }
    return CurrentPage;
}

int32_t TChartControl::LastPage() {
    if (PageCount > 1 && CurrentPage != PageCount) {
        GuardedMoves(int64_t(PageCount) - CurrentPage, PageSize);
        CurrentPage = PageCount;
        Browsing = false;
    }
    return CurrentPage;
}

int32_t TChartControl::NextPage() {
    if (PageCount > 1 && CurrentPage != PageCount) {
        GuardedMoves(1, PageSize);
        CurrentPage += 1;
        Browsing = CurrentPage != PageCount;
    }
    return CurrentPage;
}

int32_t TChartControl::PreviousPage() {
    if (CurrentPage > 1) {
        GuardedMoves(1, -PageSize);
        CurrentPage -= 1;
        Browsing = true;
    }
    return CurrentPage;
}

void TChartControl::SetPageSize(int32_t n) {
    if (n == PageSize || n < 1)
        return;
    PageSize = n;
    Chart.SetBottomRange(1, n);
    RecountPages();
    GuardedMoves(int64_t(PageCount) - 1, n);
    CurrentPage = PageCount;
    Browsing = false;
}

int32_t TChartControl::Clear() {
    FirstPage();
    Chart.ClearPoints();
    Chart.AppendPoint(0);
    Browsing = false;
    return CurrentPage;
}

}  // namespace dmm
