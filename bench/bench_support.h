// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared pieces of the benchmarks: the recording session with nothing drawn, a realistic Tarvo byte
// stream, and resident memory.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "decode/date_time.h"
#include "decode/meter_state.h"
#include "record/recording_session.h"

namespace dmm::bench {

// The recording session as a front end without a display sets it up, with
// room for every row.
class LogHost : public RecordingSession {
  public:
    explicit LogHost(MeterState& state)
        : RecordingSession(state),
          state(state),
          table(RecordingSession::table()),
          log(RecordingSession::log()) {
        setCapacity(100000000);
    }
    MeterState& state;
    ReadingTable& table;
    ReadingLog& log;
};

// Tarvo frames on the line: a reading that wanders like a real one in a few
// ranges, LF first so the first frame is whole.
inline std::vector<uint8_t> TarvoStream(size_t frames, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(frames * 11 + 1);
    out.push_back(0x0A);
    int value = 12345;
    for (size_t i = 0; i < frames; ++i) {
        value += int(rng() % 21) - 10;
        if (value < 0)
            value = -value;
        if (value > 19999)
            value = 19999 - (value - 19999);
        const char range = char('1' + (i / 5000) % 3);
        const char status = (rng() % 50 == 0) ? '5' : '1';
        char digits[16];
        std::snprintf(digits, sizeof digits, "%05d", value);
        const char fields[9] = {digits[0], digits[1], digits[2], digits[3], digits[4],
                                range,     '1',       '2',       status};
        for (char c : fields)
            out.push_back(uint8_t(0x30 | (c - '0')));
        out.push_back(0x0D);
        out.push_back(0x0A);
    }
    return out;
}

inline double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Resident memory of this process in bytes.
inline size_t ResidentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return size_t(resident) * 4096;
}

}  // namespace dmm::bench
