// SPDX-License-Identifier: GPL-3.0-or-later
// The window under a flood: metersim sends as fast as the window reads, on
// COM1 through a pseudo-terminal, for a few seconds. Every frame sent must be a
// row, read as the meter meant it, with no error and no long stall of the
// event loop. The long runs and the figures are the soak bench's.

#include <QElapsedTimer>
#include <QThread>
#include <functional>

#include "support/metersim_harness.h"
#include "window_fixture.h"

namespace dmm::app {
namespace {

constexpr int kFloodMs = 5000;
constexpr uint32_t kSeed = 20240611;
// Generous for a loaded machine; the bench holds the real target.
constexpr double kStallLimitMs = 250;

class Flood : public Window {};

TEST_F(Flood, EveryFrameIsARowReadAsSentWithoutAStall) {
    metersim::HeldMeter meter;
    ASSERT_TRUE(
        meter.open({QStringLiteral("--flood"), QStringLiteral("--seed"), QString::number(kSeed)}))
        << meter.errorText().toStdString();
    w.limitessClick();
    w.comm2().setPortNameResolver(
        [terminal = meter.terminal()](TComPortNumber) { return terminal; });
    find<QPushButton>("COMCon")->click();
    ASSERT_TRUE(w.comm2().IsPortOpen());
    const long long errorsBefore = Errors().reportedCount();

    metersim::StallProbe probe;
    meter.start();
    WaitFor([] { return false; }, kFloodMs);
    meter.stop();
    ASSERT_TRUE(WaitFor([&] { return meter.framesSent().has_value(); }, 20000));
    const double stallMs = probe.longestGapMs();
    const uint64_t frames = *meter.framesSent();
    // The frames still on the line come in at the window's pace.
    WaitFor([&] { return w.table().size() >= frames; }, 30000);
    find<QPushButton>("COMCon")->click();
    EXPECT_EQ(meter.release(), 0);

    EXPECT_GT(frames, 1000u) << "the flood hardly flowed";
    EXPECT_EQ(w.table().size(), frames);
    EXPECT_EQ(Errors().reportedCount(), errorsBefore);
    const auto misdecodes = metersim::CompareWithReference(
        w.table(),
        metersim::ReferenceRows(metersim::Family::Tarvo, kSeed, frames, w.meterState().DecimalSep));
    EXPECT_EQ(misdecodes.rows, 0u) << misdecodes.first;
    EXPECT_LT(stallMs, kStallLimitMs);
    RecordProperty("frames", std::to_string(frames));
    RecordProperty("max_stall_ms", std::to_string(stallMs));
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
