// SPDX-License-Identifier: GPL-3.0-or-later
// The window under a flood: metersim sends a few thousand frames as fast as
// the window reads, on COM1 through a pseudo-terminal. Every frame sent must
// be a row, read as the meter meant it, with no error. How fast, and how long
// the event loop may stall meanwhile, are the soak bench's (soak --flood).

#include <functional>

#include "support/metersim_harness.h"
#include "window_fixture.h"

namespace dmm::app {
namespace {

constexpr uint64_t kFrames = 3000;
constexpr uint32_t kSeed = 20240611;
// Deadlines for a loaded machine under AddressSanitizer, not speed limits.
constexpr int kPatienceMs = 180000;

class Flood : public Window {};

TEST_F(Flood, EveryFrameIsARowReadAsSent) {
    metersim::HeldMeter meter;
    ASSERT_TRUE(
        meter.open({QStringLiteral("--flood"), QStringLiteral("--seed"), QString::number(kSeed),
                    QStringLiteral("--count"), QString::number(kFrames)}))
        << meter.errorText().toStdString();
    w.limitessClick();
    w.comm2().setPortNameResolver(
        [terminal = meter.terminal()](TComPortNumber) { return terminal; });
    find<QPushButton>("COMCon")->click();
    ASSERT_TRUE(w.comm2().IsPortOpen());
    const long long errorsBefore = Errors().reportedCount();

    meter.start();
    ASSERT_TRUE(WaitFor([&] { return meter.framesSent().has_value(); }, kPatienceMs));
    const uint64_t frames = *meter.framesSent();
    // The frames still on the line come in at the window's pace.
    WaitFor([&] { return w.table().size() >= frames; }, kPatienceMs);
    find<QPushButton>("COMCon")->click();
    EXPECT_EQ(meter.release(), 0);

    EXPECT_EQ(frames, kFrames);
    EXPECT_EQ(w.table().size(), frames);
    EXPECT_EQ(Errors().reportedCount(), errorsBefore);
    const auto misdecodes = metersim::CompareWithReference(
        w.table(),
        metersim::ReferenceRows(metersim::Family::Tarvo, kSeed, frames, w.meterState().DecimalSep));
    EXPECT_EQ(misdecodes.rows, 0u) << misdecodes.first;
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
