// SPDX-License-Identifier: GPL-3.0-or-later
// journal_append_us: the cost of journalling one recorded row on the
// recording thread, the journal's file on this machine's disk (a folder
// beside the working directory, or the one given). journal_append_max_us:
// the slowest single append of the run, and the 99th percentile. journal_restore_rows_per_s:
// reading the journal back into a table.

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "record/journal.h"

namespace {

using namespace dmm;
using Clock = std::chrono::steady_clock;

// Recorded rows as a live reading gives them: the time changes every 22 rows.
ReadingTable RecordedRows(size_t rows) {
    ReadingTable table;
    int value = 12345;
    for (size_t i = 0; i < rows; ++i) {
        value = (value * 7 + 13) % 20000;
        char time[16], text[16];
        std::snprintf(time, sizeof time, "%02zu:%02zu:%02zu", i / 22 / 3600 % 24, i / 22 / 60 % 60,
                      i / 22 % 60);
        std::snprintf(text, sizeof text, "%d.%04d", value / 10000, value % 10000);
        table.appendRecorded(int32_t(i + 1), time, "DC", text, "V", "pass", value);
    }
    return table;
}

bool PipelineWithJournal(const QString& folder) {
    constexpr size_t kFrames = 1000000;
    const auto bytes = bench::TarvoStream(kFrames);
    MeterState state;
    ApplyStartup(state, true, ".", NowDateTime());
    bench::LogHost host(state);
    Journal& journal = host.StartJournal(folder);
    if (!host.OpenJournal())
        return false;
    FrameReceiver receiver(state, host);
    const auto start = Clock::now();
    for (size_t pos = 0; pos < bytes.size(); pos += 64) {
        const size_t n = std::min<size_t>(64, bytes.size() - pos);
        receiver.HTarvoRData(bytes.data() + pos, int32_t(n));
    }
    const double s = bench::Seconds(Clock::now() - start);
    journal.flush();
    if (host.table.size() != kFrames || journal.failed())
        return false;
    std::printf("pipeline_frames_per_s_journal %.0f frames/s\n", kFrames / s);
    journal.restart();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QTemporaryDir dir(base + QStringLiteral("/journal_bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "journal_bench: cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    constexpr size_t kRows = 200000;
    const ReadingTable table = RecordedRows(kRows);

    Journal journal(dir.path());
    if (!journal.open()) {
        std::fprintf(stderr, "journal_bench: %s\n", journal.error().c_str());
        return 1;
    }
    std::vector<float> each(kRows);
    const auto start = Clock::now();
    for (size_t i = 0; i < kRows; ++i) {
        const auto before = Clock::now();
        journal.append(table, i, "AUTO");
        each[i] = float(bench::Seconds(Clock::now() - before));
    }
    const double appending = bench::Seconds(Clock::now() - start);
    journal.flush();
    if (journal.failed()) {
        std::fprintf(stderr, "journal_bench: %s\n", journal.error().c_str());
        return 1;
    }
    std::printf("journal_append_us %.3f us\n", appending / kRows * 1e6);
    std::sort(each.begin(), each.end());
    std::printf("journal_append_p99_us %.1f us\n", each[kRows * 99 / 100] * 1e6);
    std::printf("journal_append_max_us %.1f us\n", each.back() * 1e6);

    ReadingTable restored;
    const auto restoreStart = Clock::now();
    const LoadOutcome out = RestoreJournal(journal.path(), restored);
    const double restoring = bench::Seconds(Clock::now() - restoreStart);
    if (!out.ok || restored.size() != kRows) {
        std::fprintf(stderr, "journal_bench: restore: %s\n", out.detail.c_str());
        return 1;
    }
    std::printf("journal_restore_rows_per_s %.0f rows/s\n", kRows / restoring);
    journal.restart();

    if (!PipelineWithJournal(dir.path())) {
        std::fprintf(stderr, "journal_bench: the pipeline lost rows\n");
        return 1;
    }
    return 0;
}
