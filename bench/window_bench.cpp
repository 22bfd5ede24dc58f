// SPDX-License-Identifier: GPL-3.0-or-later
// The window at the serial line's full rate, offscreen.
//   window_start_ms      program start to the window's first paint
//   window_cpu_pct_1k    CPU share of one core while 22 Tarvo frames a second
//   window_cpu_pct_1m    are decoded and recorded for 20 seconds, with 1,000
//                        and with 1,000,000 rows already in the table

#include <sys/resource.h>
#include <unistd.h>

#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "bench_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds since this process was started by the kernel (its start time
// is kept in clock ticks since boot), so the figure includes loading the
// libraries before main.
double MsSinceProcessStart() {
    unsigned long long startTicks = 0;
    if (FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buf[1024];
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        // Field 22; the command name (field 2) may hold blanks, so count from its ')'.
        const char* p = std::strrchr(buf, ')');
        for (int field = 2; p && field < 22; ++field)
            p = std::strchr(p + 1, ' ');
        if (p)
            startTicks = std::strtoull(p + 1, nullptr, 10);
    }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = double(now.tv_sec) * 1e3 + double(now.tv_nsec) * 1e-6;
    return nowMs - double(startTicks) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

class FirstPaint : public QObject {
  public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

// Runs the event loop (sleeping while idle) for ms.
void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double CpuPercentAtLineRate(size_t rowsHeld, int seconds) {
    dmm::app::TFCOMM w;
    w.show();
    w.limitessClick();
    const auto fill = dmm::bench::TarvoStream(rowsHeld, 7);
    w.HTarvoRData(fill.data(), int(fill.size()));
    Settle(1500);  // the grid catches up with the rows held

    const auto live = dmm::bench::TarvoStream(size_t(seconds) * 22 + 50, 9);
    size_t pos = 1;  // after the stream's opening LF, which the table already ended with
    QTimer meter;
    meter.setTimerType(Qt::PreciseTimer);
    QObject::connect(&meter, &QTimer::timeout, [&] {
        if (pos + 11 <= live.size()) {
            w.HTarvoRData(live.data() + pos, 11);
            pos += 11;
        }
    });
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    meter.start(1000 / 22);
    Settle(seconds * 1000);
    meter.stop();
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    if (w.table().size() < rowsHeld + size_t(seconds) * 20) {
        std::fprintf(stderr, "window_bench: only %zu rows\n", w.table().size());
    }
    return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    dmm::app::Application app(argc, argv);
    {
        dmm::app::TFCOMM w;
        FirstPaint probe;
        w.installEventFilter(&probe);
        w.show();
        while (!probe.painted)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::printf("window_start_ms %.0f ms\n", MsSinceProcessStart());
    }
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    const double small = CpuPercentAtLineRate(1000, seconds);
    std::printf("window_cpu_pct_1k %.2f %%\n", small);
    const double large = CpuPercentAtLineRate(1000000, seconds);
    std::printf("window_cpu_pct_1m %.2f %%\n", large);
    std::printf("window_cpu_ratio %.2f ratio\n", large / small);
    return 0;
}
