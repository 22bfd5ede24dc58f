// SPDX-License-Identifier: GPL-3.0-or-later
// The trend chart with a long recording, offscreen.
//   chart_append_ratio     time per recorded reading (decoding, the reading log,
//                          the pager and the visible chart catching up and
//                          painting as at the line rate, every 11 readings) with 10,000,000 points
//                          held, divided by the same with 1,000 points held
//   chart_bytes_per_point  resident memory that the chart side (the pager and
//                          the chart with its series) holds per point at
//                          10,000,000 points
//   chart_page_ms_10m      in the window, the slowest click of First, Next and
//                          Last with 10,000,000 readings held, until the
//                          chart has painted
// An optional argument gives the points held in place of 10,000,000.

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QLineSeries>
#include <QTimer>
#include <QToolButton>
#include <QValueAxis>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "app/trend_chart.h"
#include "bench_support.h"
#include "chart/chart_pager.h"
#include "decode/frame_assembly.h"

namespace {

using Clock = std::chrono::steady_clock;
using dmm::bench::Seconds;

constexpr size_t kMeasured = 20000;

double ThreadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
// At 22 frames a second the grid and the chart catch up every 11 readings.
constexpr size_t kCatchUpEvery = 11;

// The chart as the window builds it: the two series on a value axis and a
// page axis, in a view of the window's chart size.
struct ChartView {
    ChartView() {
        chart = new QChart();
        area = new QAreaSeries(chart);
        area->setUpperSeries(new QLineSeries(area));
        line = new QLineSeries(chart);
        auto* left = new QValueAxis(chart);
        left->setRange(-20000, 20000);
        bottom = new QValueAxis(chart);
        bottom->setRange(1, 100);
        chart->addSeries(area);
        chart->addSeries(line);
        chart->addAxis(left, Qt::AlignLeft);
        chart->addAxis(bottom, Qt::AlignBottom);
        for (QAbstractSeries* s : chart->series()) {
            s->attachAxis(left);
            s->attachAxis(bottom);
        }
        view.setChart(chart);
        view.resize(377, 286);
        view.show();
        QCoreApplication::processEvents();
    }
    QChartView view;
    QChart* chart = nullptr;
    QAreaSeries* area = nullptr;
    QLineSeries* line = nullptr;
    QValueAxis* bottom = nullptr;
};

// Decoding and the reading log as in the window, each recorded reading handed
// to the pager.
class ChartHost : public dmm::bench::LogHost {
  public:
    ChartHost(dmm::MeterState& state, dmm::TChartControl& pager) : LogHost(state) {
        onRecorded = [this, &pager](size_t) { pager.AddPoint(this->state.Reading.ReadingValue); };
    }
};

struct Figures {
    double usPerReading = 0;
};

// Records pointsHeld readings, then measures kMeasured more, the chart
// catching up and painting as it does at the line rate.
Figures Measure(size_t pointsHeld) {
    ChartView chart;
    dmm::app::TrendChart trend(chart.area, chart.line, chart.bottom);
    dmm::TChartControl pager(trend, 100);
    dmm::MeterState state;
    ChartHost host(state, pager);
    dmm::FrameReceiver receiver(state, host);
    auto catchUp = [&] {
        trend.flush();
        chart.view.repaint();
    };
    constexpr size_t kChunk = 1000000;
    for (size_t held = 0; held < pointsHeld; held += kChunk) {
        const auto fill = dmm::bench::TarvoStream(std::min(kChunk, pointsHeld - held), 7);
        // Each stream starts with the LF that the one before ended with.
        const size_t skip = held == 0 ? 0 : 1;
        receiver.HTarvoRData(fill.data() + skip, int(fill.size() - skip));
        catchUp();
    }

    Figures figures;
    const auto live = dmm::bench::TarvoStream(kMeasured, 9);
    // Processor time of this thread, so that other work on the machine does
    // not count.
    const double t0 = ThreadSeconds();
    for (size_t i = 0; i < kMeasured; ++i) {
        receiver.HTarvoRData(live.data() + 1 + i * 11, 11);
        if (i % kCatchUpEvery == 0)
            catchUp();
    }
    figures.usPerReading = (ThreadSeconds() - t0) * 1e6 / double(kMeasured);
    if (host.table.size() < pointsHeld + kMeasured)
        std::fprintf(stderr, "chart_bench: only %zu rows\n", host.table.size());
    return figures;
}

// Paging in the window itself: the click, the page label and the chart
// painted.
double PageMs(size_t pointsHeld) {
    dmm::app::TFCOMM w;
    w.show();
    w.limitessClick();
    constexpr size_t kChunk = 1000000;
    for (size_t held = 0; held < pointsHeld; held += kChunk) {
        const auto fill = dmm::bench::TarvoStream(std::min(kChunk, pointsHeld - held), 7);
        w.HTarvoRData(fill.data(), int(fill.size()));
    }
    QCoreApplication::processEvents();
    auto* view = w.findChild<QChartView*>(QStringLiteral("Chtshow"));
    double slowest = 0;
    for (const char* name : {"BtFirst", "BtNext", "BTlast", "BtNext", "BtFirst", "BtNext"}) {
        auto* button = w.findChild<QToolButton*>(QString::fromLatin1(name));
        const auto p0 = Clock::now();
        button->click();
        view->repaint();
        slowest = std::max(slowest, Seconds(Clock::now() - p0) * 1e3);
    }
    return slowest;
}

// The chart side alone: a chart with its two series, the compact store and
// the pager, fed points as the reading log hands them over.
double ChartBytesPerPoint(size_t points) {
    auto* chart = new QChart();
    auto* area = new QAreaSeries(chart);
    area->setUpperSeries(new QLineSeries(area));
    auto* line = new QLineSeries(chart);
    auto* left = new QValueAxis(chart);
    auto* bottom = new QValueAxis(chart);
    bottom->setRange(1, 100);
    chart->addSeries(area);
    chart->addSeries(line);
    chart->addAxis(left, Qt::AlignLeft);
    chart->addAxis(bottom, Qt::AlignBottom);
    QChartView view(chart);
    view.resize(377, 286);
    view.show();
    QCoreApplication::processEvents();

    const size_t before = dmm::bench::ResidentBytes();
    {
        dmm::app::TrendChart trend(area, line, bottom);
        dmm::TChartControl pager(trend, 100);
        for (size_t i = 0; i < points; ++i) {
            pager.AddPoint(double(int(i % 40000) - 20000));
            if (i % 100000 == 0) {
                trend.flush();
                QCoreApplication::processEvents();
            }
        }
        trend.flush();
        QCoreApplication::processEvents();
        const size_t after = dmm::bench::ResidentBytes();
        return double(after > before ? after - before : 0) / double(points);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    dmm::app::Application app(argc, argv);
    const size_t large = argc > 1 ? size_t(std::strtoull(argv[1], nullptr, 10)) : 10000000;

    std::printf("chart_bytes_per_point %.2f B\n", ChartBytesPerPoint(large));
    Measure(1000);  // warms up the fonts and the chart's caches
    // The small case before and after the large one, so that a change in the
    // machine's load in between shows rather than skews the ratio.
    const Figures before = Measure(1000);
    const Figures big = Measure(large);
    const Figures after = Measure(1000);
    const Figures small{(before.usPerReading + after.usPerReading) / 2};
    std::printf("chart_append_us_1k_before %.2f us\n", before.usPerReading);
    std::printf("chart_append_us_1k_after %.2f us\n", after.usPerReading);
    std::printf("chart_append_us_1k %.2f us\n", small.usPerReading);
    std::printf("chart_append_us_10m %.2f us\n", big.usPerReading);
    std::printf("chart_append_ratio %.2f ratio\n", big.usPerReading / small.usPerReading);
    std::printf("chart_page_ms_10m %.1f ms\n", PageMs(large));
    return 0;
}
