// SPDX-License-Identifier: GPL-3.0-or-later
// table_bytes_per_row: resident memory of the reading table at ten million
// realistic rows. append_ratio: time per recorded reading with ten million
// rows held divided by the time with a thousand held.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "bench_support.h"

namespace {

using namespace dmm;

// A recorded reading that changes like a live one: about 22 a second, so the
// time text changes every 22 rows and wraps each day.
struct ReadingWalk {
    std::mt19937 rng{3};
    CurrentReading reading;
    int value = 12345;
    long n = 0;
    const CurrentReading& next() {
        value += int(rng() % 21) - 10;
        if (value < -19999 || value > 19999)
            value = 0;
        char text[16];
        std::snprintf(text, sizeof text, "%s%d.%04d", value < 0 ? "-" : "", std::abs(value) / 10000,
                      std::abs(value) % 10000);
        reading.ValueText = text;
        reading.ReadingValue = value;
        reading.FunctionText = "DC";
        reading.UnitText = (n / 100000) % 2 ? "mV" : "V";
        reading.AutoText = "AUTO";
        reading.JudgeText = "pass";
        reading.ReadingTime = double(n / 22 % 86400) / 86400.0;
        ++n;
        return reading;
    }
};

double NsPerAppend(ReadingLog& log, ReadingWalk& walk, int count) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        log.INDataToTable(walk.next(), true, true);
    return bench::Seconds(std::chrono::steady_clock::now() - start) * 1e9 / count;
}

}  // namespace

int main() {
    const size_t rows = 10000000;
    const int sample = 200000;

    // Time with a thousand rows held: fresh tables, best of a few.
    double small = 1e30;
    for (int run = 0; run < 5; ++run) {
        ReadingTable table;
        ReadingLog log(table);
        log.RecordLimit = 100000000;
        ReadingWalk walk;
        for (int i = 0; i < 1000; ++i)
            log.INDataToTable(walk.next(), true, true);
        small = std::min(small, NsPerAppend(log, walk, sample));
    }

    const size_t before = bench::ResidentBytes();
    ReadingTable table;
    ReadingLog log(table);
    log.RecordLimit = 100000000;
    ReadingWalk walk;
    for (size_t i = 0; i < rows; ++i)
        log.INDataToTable(walk.next(), true, true);
    const size_t after = bench::ResidentBytes();

    double large = 1e30;
    for (int run = 0; run < 5; ++run)
        large = std::min(large, NsPerAppend(log, walk, sample));

    std::printf("table_bytes_per_row %.1f bytes\n", double(after - before) / double(rows));
    std::printf("table_accounted_bytes_per_row %.1f bytes\n",
                double(table.bytes()) / double(table.size()));
    std::printf("append_ns_1k %.1f ns\n", small);
    std::printf("append_ns_10m %.1f ns\n", large);
    std::printf("append_ratio %.2f ratio\n", large / small);
    return 0;
}
