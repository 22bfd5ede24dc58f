// SPDX-License-Identifier: GPL-3.0-or-later
// pipeline_frames_per_s: Tarvo bytes through frame assembly, the decoder and
// the reading log, on one core, with no widgets.

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bench_support.h"
#include "decode/frame_assembly.h"
#include "decode/model_config.h"

int main() {
    using namespace dmm;
    const size_t frames = 2000000;
    const auto bytes = bench::TarvoStream(frames);
    double best = 0;
    for (int run = 0; run < 3; ++run) {
        MeterState state;
        ApplyStartup(state, true, ".", NowDateTime());
        bench::LogHost host(state);
        FrameReceiver receiver(state, host);
        const auto start = std::chrono::steady_clock::now();
        // The serial driver hands over what arrived in each poll: a few bytes.
        for (size_t pos = 0; pos < bytes.size(); pos += 64) {
            const size_t n = std::min<size_t>(64, bytes.size() - pos);
            receiver.HTarvoRData(bytes.data() + pos, int32_t(n));
        }
        const double s = bench::Seconds(std::chrono::steady_clock::now() - start);
        if (host.table.size() != frames) {
            std::fprintf(stderr, "pipeline: %zu rows for %zu frames\n", host.table.size(), frames);
            return 1;
        }
        best = std::max(best, double(frames) / s);
    }
    std::printf("pipeline_frames_per_s %.0f frames/s\n", best);
    return 0;
}
