// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzzes one path of frame assembly and its family's decoder with arbitrary
// meter bytes. Built once per family and path (FUZZ_FAMILY, FUZZ_REPORTS).
// The first input bytes choose how the rest is cut into chunks or reports, so
// frames arrive split in every way a link can split them.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "support/recording_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dmm;
    MeterState state;
    ApplyStartup(state, true, size > 0 && (data[0] & 0x80) ? "," : ".", 0);
    test::RecordingHost host(state);
    host.repeat = size > 1 && (data[1] & 1);
    host.recall = size > 1 && (data[1] & 2);
    FrameReceiver receiver(state, host);
    const Family family = Family::FUZZ_FAMILY;

    size_t pos = size > 2 ? 2 : size;
    while (pos < size) {
        const size_t want = data[pos++] % 40;
        const size_t n = want < size - pos ? want : size - pos;
        try {
#ifdef FUZZ_REPORTS
            if (n == 0) {
                receiver.feedReport(family, 0, nullptr, 0);
            } else {
                receiver.feedReport(family, data[pos], data + pos + 1, uint16_t(n - 1));
            }
#else
            receiver.feed(family, data + pos, int32_t(n));
            if (receiver.consumed() != n) abort();
#endif
        } catch (const ConversionError&) {
            // A frame with a field that is not decimal: reported, the link goes on.
        }
        pos += n;
        if (receiver.serial().lowNibbles().size() > SerialCollector::kKept) abort();
        if (receiver.reports().reportHexText().size() > 2 * ReportCollector::kKeptBytes) abort();
    }
    // Every offered reading was recorded (repeat on) or counted.
    if (host.repeat && host.table.size() != size_t(host.offered)) abort();
    if (host.log.ReadingNo != host.offered + 1) abort();
    return 0;
}
