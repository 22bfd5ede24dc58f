// SPDX-License-Identifier: GPL-3.0-or-later
// The window under a long recording: offscreen, connected on COM1 to a
// pseudo-terminal that metersim feeds byte by byte at the serial line's own
// 2400 baud (about 22 Tarvo frames a second), recording every frame with the
// "limitless" capacity. Half an hour by default.
//
//   soak [--minutes M | --seconds S] [--seed N]
//   soak --flood [--seconds S] [--seed N]      metersim as fast as the window reads
//
// Figures (name value unit):
//   soak_frames_sent / flood_frames_sent   frames metersim sent, as it says itself
//   soak_rows / flood_rows                 rows in the table once the line has drained
//   soak_errors / flood_errors             errors the general error handler reported
//   soak_misdecoded_rows / flood_...       rows that differ from what the core makes of
//                                          the same seeded stream (missing rows count)
//   soak_table_bytes_per_row               the table's own memory per row added
//   soak_rss_growth_bytes_per_row          resident memory growth per row added
//   soak_cpu_pct                           processor time, share of one core
//   flood_frames_per_s                     frames recorded per second
//   flood_max_stall_ms                     the event loop's longest stretch without
//                                          a turn (10 ms timer probe)
// Memory is compared over the run after a warm-up, so that one-time costs
// (fonts, the first grid and chart paint) do not count as growth; resident
// memory is the anonymous part, what the program allocates, without the
// pages of fonts and libraries that new drawing paths map in.
//
// Exit status 0 when every check holds: rows == frames, no error, no row
// misdecoded, memory growth at most the table's own plus a small allowance,
// CPU under 2 % (soak), longest stall under 100 ms (flood); 1 otherwise; 2 on
// bad usage or when the meter cannot be started.

#include <sys/resource.h>

#include <fstream>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "link/hid_fake_backend.h"
#include "link/serial_port_driver.h"
#include "record/journal.h"
#include "support/metersim_harness.h"

namespace {

using dmm::metersim::HeldMeter;

// 8N1 at 2400 baud: 240 bytes a second, 11 bytes a Tarvo frame.
constexpr double kLineBytesPerSecond = 240;
constexpr double kFrameBytes = 11;
// What the window may keep per row beyond the table itself (the chart's
// compact value list, the grid's row header), and a fixed slack for the heap's
// own steps, so that a short run is not judged by one heap extension.
constexpr double kAllowedBytesPerRow = 32;
constexpr double kAllowedSlackBytes = 1024 * 1024;
constexpr double kCpuTargetPct = 2;
constexpr double kStallTargetMs = 100;

struct Options {
    bool flood = false;
    double seconds = 30 * 60;
    uint32_t seed = 1;
};

std::optional<double> Number(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value <= 0)
        return std::nullopt;
    return value;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    bool timeGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--flood") {
            options.flood = true;
            continue;
        }
        if (i + 1 >= argc)
            return std::nullopt;
        const auto value = Number(argv[++i]);
        if (!value)
            return std::nullopt;
        if (arg == "--minutes") {
            options.seconds = *value * 60;
            timeGiven = true;
        } else if (arg == "--seconds") {
            options.seconds = *value;
            timeGiven = true;
        } else if (arg == "--seed" && *value == std::floor(*value) && *value <= UINT32_MAX) {
            options.seed = uint32_t(*value);
        } else {
            return std::nullopt;
        }
    }
    if (options.flood && !timeGiven)
        options.seconds = 30;
    return options;
}

// Anonymous resident memory in bytes: the heap, stacks and private mappings.
double AnonymousResidentBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("RssAnon:", 0) == 0)
            return double(std::stoll(line.substr(8))) * 1024;
    }
    return 0;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// Runs the event loop until done() holds or ms have passed; true when it held.
// It looks only a few times a second, so that the looking costs the window
// next to nothing.
bool RunUntil(const std::function<bool()>& done, double ms) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || double(clock.elapsed()) >= ms)
            loop.quit();
    });
    check.start(200);
    if (!done())
        loop.exec();
    return done();
}

// The table's memory in use: the chunks it holds, less the rows of its last
// chunk not filled yet (never touched, so never resident). The chunk's size in
// rows and bytes is measured through the table's own account of its memory.
class TableMemory {
  public:
    TableMemory() {
        dmm::ReadingTable table;
        table.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
        const size_t one = table.bytes();
        while (table.bytes() == one)
            table.appendRecorded(1, "12:00:00", "DC", "1.000", "V", "pass", 1000);
        chunkRows_ = table.size() - 1;
        rowBytes_ = double(table.bytes() - one - sizeof(void*)) / double(chunkRows_);
    }
    double inUse(const dmm::ReadingTable& table) const {
        const size_t rows = table.size();
        const size_t unfilled = (chunkRows_ - rows % chunkRows_) % chunkRows_;
        return double(table.bytes()) - double(unfilled) * rowBytes_;
    }

  private:
    size_t chunkRows_ = 1;
    double rowBytes_ = 0;
};

struct Sample {
    size_t rows = 0;
    double rss = 0;
    double table = 0;
};

class Soak {
  public:
    explicit Soak(const Options& options)
        : options_(options), prefix_(options.flood ? "flood" : "soak") {}

    int run() {
        QStringList args = {QStringLiteral("--seed"), QString::number(options_.seed)};
        const uint64_t count =
            uint64_t(std::llround(options_.seconds * kLineBytesPerSecond / kFrameBytes));
        if (options_.flood) {
            args << QStringLiteral("--flood");
        } else {
            args << QStringLiteral("--baud") << QStringLiteral("2400") << QStringLiteral("--count")
                 << QString::number(count);
        }
        if (!meter_.open(args)) {
            std::fprintf(stderr, "soak: %s\n", qPrintable(meter_.errorText()));
            return 2;
        }

        dmm::app::TFCOMM w(nullptr, std::make_shared<dmm::FakeHidBackend>());
        w.show();
        // Recording as the program does it: every row journalled.
        QTemporaryDir journals;
        w.StartJournal(journals.path());
        if (!w.journal() || w.journal()->failed()) {
            std::fprintf(stderr, "soak: no journal in %s\n", qPrintable(journals.path()));
            return 2;
        }
        w.limitessClick();
        w.comm2().setPortNameResolver(
            [terminal = meter_.terminal()](dmm::TComPortNumber) { return terminal; });
        auto* connect = w.findChild<QPushButton*>(QStringLiteral("COMCon"));
        connect->click();
        if (!w.comm2().IsPortOpen()) {
            std::fprintf(stderr, "soak: the window cannot open %s\n",
                         qPrintable(meter_.terminal()));
            return 2;
        }
        const auto frames = talk(w);
        connect->click();
        if (meter_.release() != 0)
            fail("metersim did not end cleanly");
        if (!frames) {
            fail("metersim never said how many frames it sent");
            return 1;
        }
        report(w, *frames);
        return failed_ ? 1 : 0;
    }

  private:
    // Lets the meter talk, and returns the frames it sent once the window has
    // read them all.
    std::optional<uint64_t> talk(dmm::app::TFCOMM& w) {
        const double warmUpMs = std::clamp(options_.seconds * 100, 5000.0, 60000.0);
        // The probe's own ticks would show in the processor share.
        std::optional<dmm::metersim::StallProbe> probe;
        if (options_.flood)
            probe.emplace();
        QElapsedTimer wall;
        meter_.start();
        wall.start();
        const double cpu0 = CpuSeconds();
        if (!options_.flood) {
            RunUntil([] { return false; }, std::min(warmUpMs, options_.seconds * 500));
            base_ = sample(w);
            RunUntil([&] { return meter_.framesSent().has_value(); },
                     options_.seconds * 1000 + 60000);
        } else {
            probe->restart();
            RunUntil([] { return false; }, options_.seconds * 1000);
            meter_.stop();
            RunUntil([&] { return meter_.framesSent().has_value(); }, 20000);
        }
        cpuSeconds_ = CpuSeconds() - cpu0;
        wallSeconds_ = double(wall.nsecsElapsed()) / 1e9;
        stallMs_ = probe ? probe->longestGapMs() : 0;
        const auto frames = meter_.framesSent();
        if (!frames)
            return std::nullopt;
        // What is still on the line comes in at the window's own pace; a row
        // count that stops growing short of it stays short.
        size_t last = 0;
        while (w.table().size() < *frames && w.table().size() != last) {
            last = w.table().size();
            RunUntil([&] { return w.table().size() >= *frames; }, 3000);
        }
        return frames;
    }

    Sample sample(const dmm::app::TFCOMM& w) const {
        return {w.table().size(), AnonymousResidentBytes(), memory_.inUse(w.table())};
    }

    void report(const dmm::app::TFCOMM& w, uint64_t frames) {
        // Memory is sampled before the reference rows below are made: they
        // are the bench's own, not the window's.
        const Sample end = sample(w);
        const size_t rows = w.table().size();
        const long long errors = dmm::app::Application::Errors()->reportedCount();
        const auto reference = dmm::metersim::ReferenceRows(
            dmm::metersim::Family::Tarvo, options_.seed, frames, w.meterState().DecimalSep);
        const auto misdecodes = dmm::metersim::CompareWithReference(w.table(), reference);

        figure("seconds", wallSeconds_, "s", 1);
        figure("frames_sent", double(frames), "frames", 0);
        figure("rows", double(rows), "rows", 0);
        figure("errors", double(errors), "errors", 0);
        figure("misdecoded_rows", double(misdecodes.rows), "rows", 0);
        check(rows == frames, "rows differ from the frames sent");
        check(errors == 0, "errors were reported");
        check(misdecodes.rows == 0, "misdecoded: " + misdecodes.first);
        checkJournal(w);

        if (options_.flood) {
            figure("frames_per_s", double(rows) / wallSeconds_, "frames/s", 0);
            figure("max_stall_ms", stallMs_, "ms", 1);
            check(stallMs_ < kStallTargetMs, "the event loop stalled too long");
            return;
        }
        const double added = double(std::max<size_t>(end.rows - base_.rows, 1));
        const double tablePerRow = (end.table - base_.table) / added;
        const double rssPerRow = (end.rss - base_.rss) / added;
        const double cpuPct = cpuSeconds_ / wallSeconds_ * 100;
        figure("table_bytes_per_row", tablePerRow, "bytes", 1);
        figure("rss_growth_bytes_per_row", rssPerRow, "bytes", 1);
        figure("cpu_pct", cpuPct, "%", 2);
        check(end.rss - base_.rss <=
                  end.table - base_.table + kAllowedBytesPerRow * added + kAllowedSlackBytes,
              "resident memory grew faster than the table");
        check(cpuPct < kCpuTargetPct, "processor share above target");
    }

    // The journal holds exactly the table: every row, as recorded.
    void checkJournal(const dmm::app::TFCOMM& w) {
        w.journal()->flush();
        dmm::ReadingTable journalled;
        const dmm::LoadOutcome back = dmm::RestoreJournal(w.journal()->path(), journalled);
        size_t differing = journalled.size() == w.table().size() ? 0 : 1;
        for (size_t i = 0; differing == 0 && i < journalled.size(); ++i)
            differing += journalled.row(i) == w.table().row(i) ? 0 : 1;
        figure("journal_rows", double(journalled.size()), "rows", 0);
        check(back.ok && !w.journal()->failed(), "the journal could not be read back");
        check(differing == 0, "the journal differs from the table");
    }

    void figure(const char* name, double value, const char* unit, int decimals) const {
        std::printf("%s_%s %.*f %s\n", prefix_, name, decimals, value, unit);
        std::fflush(stdout);
    }
    void check(bool holds, const std::string& what) {
        if (holds)
            return;
        fail(what);
    }
    void fail(const std::string& what) {
        std::fprintf(stderr, "soak: check failed: %s\n", what.c_str());
        failed_ = true;
    }

    const Options options_;
    const char* const prefix_;
    HeldMeter meter_;
    const TableMemory memory_;
    Sample base_;
    double cpuSeconds_ = 0;
    double wallSeconds_ = 0;
    double stallMs_ = 0;
    bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: soak [--minutes M | --seconds S] [--seed N]\n"
                     "       soak --flood [--seconds S] [--seed N]\n");
        return 2;
    }
    dmm::app::Application app(argc, argv);
    return Soak(*options).run();
}
