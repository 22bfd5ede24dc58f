// SPDX-License-Identifier: GPL-3.0-or-later
// The USB interface cable as the window and dmmlog share it: the rule that
// finds it, its set-up, the watchdog, and the cable read and taken up again
// without a window (dmmlog --usb --reconnect), over the scripted backend.

#include "link/meter_cable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "decode/date_time.h"
#include "decode/decoder_host.h"
#include "decode/frame_assembly.h"
#include "decode/model_config.h"
#include "hid_test_support.h"
#include "link/hid_controller.h"
#include "link/hid_device.h"
#include "link/hid_fake_backend.h"
#include "support/fake_cable.h"

namespace dmm {
namespace {

using test::WaitUntil;

using test::Cable;
using test::kCablePath;

FakeHidDevice Other(const std::string& path, const char16_t* product) {
    FakeHidDevice d;
    d.path = path;
    if (product)
        d.product = product;
    return d;
}

// A Tarvo frame as the cable delivers it (see tests/app/window_fixture.h).
std::vector<std::vector<uint8_t>> CableFrame(std::string_view nine) {
    std::vector<uint8_t> meter;
    for (char c : nine)
        meter.push_back(uint8_t(0x30 | (c - '0')));
    meter.push_back(0x0D);
    meter.push_back(0x0A);
    std::vector<uint8_t> first = {0x00, 0xF8};
    first.insert(first.end(), meter.begin(), meter.begin() + 8);
    std::vector<uint8_t> second = {0x00, 0xF3};
    second.insert(second.end(), meter.begin() + 8, meter.end());
    return {first, second, {0x00, 0xF0}};
}

TEST(MeterCable, TheLastCableWithoutASerialNumberIsTheCable) {
    auto backend = std::make_shared<FakeHidBackend>();
    backend->plugQuietly(Other("/dev/hidraw0", nullptr));
    backend->plugQuietly(Cable("/dev/hidraw1"));
    FakeHidDevice numbered = Cable("/dev/hidraw2");
    numbered.serial = u"A9X";
    backend->plugQuietly(numbered);
    backend->plugQuietly(Other("/dev/hidraw4", u"Keyboard"));
    backend->plugQuietly(Cable("/dev/hidraw5"));
    TJvHidDeviceController controller(nullptr, backend);
    {
        MeterCable cables(controller);
        cables.claimAll();
        ASSERT_EQ(cables.size(), 5u);
        EXPECT_EQ(controller.ClaimedCount(), 5);
        // Of two cables the later one; the one with a serial number is none.
        EXPECT_EQ(cables.cableIndex(), 4);
        ASSERT_NE(cables.cable(), nullptr);
        EXPECT_EQ(cables.cable()->InterfacePath(), "/dev/hidraw5");

        // Unplugged, the earlier cable is the cable.
        backend->unplug("/dev/hidraw5");
        ASSERT_NE(cables.cable(), nullptr);
        EXPECT_EQ(cables.cable()->InterfacePath(), "/dev/hidraw1");

        cables.keepCableOnly();
        EXPECT_EQ(cables.size(), 1u);
        EXPECT_EQ(controller.ClaimedCount(), 1);
        EXPECT_EQ(cables.cable()->InterfacePath(), "/dev/hidraw1");
    }
    // Gone with the holder, and the one with a serial number alone is no cable.
    EXPECT_EQ(controller.ClaimedCount(), 0);
    backend->unplug("/dev/hidraw1");
    MeterCable cables(controller);
    cables.claimAll();
    EXPECT_EQ(cables.cableIndex(), -1);
    EXPECT_EQ(cables.cable(), nullptr);
}

TEST(MeterCable, AFailedSetUpSaysWhy) {
    auto backend = std::make_shared<FakeHidBackend>();
    FakeHidDevice refusing = Cable();
    refusing.acceptsFeatureReports = false;
    backend->plugQuietly(refusing);
    {
        TJvHidDeviceController controller(nullptr, backend);
        MeterCable cables(controller);
        cables.claimAll();
        ASSERT_NE(cables.cable(), nullptr);
        const CableSetup setup = SetUpCable(*cables.cable());
        EXPECT_FALSE(setup.ok);
        EXPECT_EQ(setup.error, uint32_t(EPIPE));
        EXPECT_EQ(setup.reason, HidErrorText(EPIPE));
    }
    // The reader will not start on it, and says why.
    CableReader reader(backend, false, 0, {});
    QString detail;
    EXPECT_EQ(reader.start(detail), CableReader::Start::SetUpFailed);
    EXPECT_EQ(detail, HidErrorText(EPIPE));
    EXPECT_TRUE(reader.ended());
}

TEST(CableWatchdog, TheWindowsRuleAndTheSilentLimit) {
    CableWatchdog window;
    int32_t ticks = 0;
    int32_t idle = 0;
    using V = CableWatchdog::Verdict;
    EXPECT_EQ(window.tick(ticks, idle), V::Quiet);
    EXPECT_EQ(window.tick(ticks, idle), V::Quiet);
    EXPECT_EQ(window.tick(ticks, idle), V::LinkSilent);
    EXPECT_EQ(ticks, 0);
    idle = CableWatchdog::kIdleReportLimit;
    window.tick(ticks, idle);
    window.tick(ticks, idle);
    EXPECT_EQ(window.tick(ticks, idle), V::MeterSilent);
    EXPECT_EQ(idle, 0);
    for (int i = 0; i < 200; ++i)
        EXPECT_NE(window.tick(ticks, idle), V::CableSilent);

    // One second: the tenth tick without a frame, then again ten ticks later.
    CableWatchdog logger(1000);
    ticks = 0;
    int silent = 0;
    for (int i = 1; i <= 20; ++i) {
        if (logger.tick(ticks, idle) == V::CableSilent) {
            EXPECT_TRUE(i == 10 || i == 20) << i;
            ++silent;
        }
    }
    EXPECT_EQ(silent, 2);
    // A frame (the decoders reset the count) starts the count afresh.
    ticks = 0;
    EXPECT_EQ(logger.tick(ticks, idle), V::Quiet);
    EXPECT_TRUE(logger.frameSeen());
    for (int i = 1; i <= 9; ++i) {
        EXPECT_NE(logger.tick(ticks, idle), V::CableSilent) << i;
        EXPECT_FALSE(logger.frameSeen());
    }
    EXPECT_EQ(logger.tick(ticks, idle), V::CableSilent);
}

// Counts the rows the decoders hand over.
class Rows : public DecoderHost {
  public:
    bool BtFillChecked() override { return false; }
    bool RecordSIChecked() override { return false; }
    bool IFDralinChecked() override { return true; }
    std::string T1HIText() override { return "2"; }
    std::string T1LOText() override { return "-2"; }
    void SetValueAxis(double, double) override {}
    void ShowSeries(int) override {}
    void SetMeasuredValue(const std::string&) override {}
    void ShowVerdict(Verdict) override {}
    double AdvanceRecallClock() override { return 0; }
    void INDataToTable(int) override { ++rows; }
    void SetBarPosition(int) override {}
    void Beep() override {}
    int rows = 0;
};

class Reading : public ::testing::Test {
  protected:
    void SetUp() override { ApplyStartup(state, true, ".", NowDateTime()); }

    std::unique_ptr<CableReader> makeReader(bool reconnect) {
        CableReader::Handlers handlers;
        handlers.report = [this](uint8_t id, const uint8_t* data, uint16_t size) {
            receiver.feedReport(Family::Tarvo, id, data, size);
        };
        handlers.event = [this](CableReader::Event e, const QString& detail) {
            events.emplace_back(e, detail);
        };
        return std::make_unique<CableReader>(backend, reconnect, 1000, handlers);
    }
    void sendFrame(std::string_view nine) {
        for (auto& report : CableFrame(nine))
            backend->queueReport(kCablePath, report);
    }
    bool rowsReach(int n) {
        return WaitUntil([&] { return host.rows >= n; });
    }
    void tick(int n) {
        for (int i = 0; i < n; ++i)
            reader->tick(state.NoFrameTicks, receiver.reports().IdleReportCount);
    }
    std::vector<CableReader::Event> kinds() const {
        std::vector<CableReader::Event> out;
        for (const auto& e : events)
            out.push_back(e.first);
        return out;
    }

    std::shared_ptr<FakeHidBackend> backend = std::make_shared<FakeHidBackend>();
    MeterState state;
    Rows host;
    FrameReceiver receiver{state, host};
    std::vector<std::pair<CableReader::Event, QString>> events;
    std::unique_ptr<CableReader> reader;
};

using E = CableReader::Event;

TEST_F(Reading, ACablePluggedBackIsSetUpAndReadAgain) {
    backend->plugQuietly(Cable());
    reader = makeReader(true);
    QString detail;
    ASSERT_EQ(reader->start(detail), CableReader::Start::Reading);
    EXPECT_EQ(backend->featureReports(kCablePath).size(), 1u);
    sendFrame("123451120");
    ASSERT_TRUE(rowsReach(1));

    backend->unplug(kCablePath);
    EXPECT_TRUE(reader->waiting());
    EXPECT_EQ(kinds(), std::vector<E>({E::Lost}));
    tick(3);  // nothing there yet
    EXPECT_TRUE(reader->waiting());

    backend->plug(Cable());
    EXPECT_TRUE(reader->reading());
    EXPECT_EQ(kinds(), std::vector<E>({E::Lost, E::Back}));
    EXPECT_EQ(backend->featureReports(kCablePath).size(), 1u);  // the new cable's
    sendFrame("000071120");
    ASSERT_TRUE(rowsReach(2));

    // Silent for the limit: said once, set up again, back at the next frame.
    tick(10);
    EXPECT_EQ(kinds(), std::vector<E>({E::Lost, E::Back, E::Silent}));
    EXPECT_EQ(backend->featureReports(kCablePath).size(), 2u);
    EXPECT_TRUE(reader->reading());
    sendFrame("000081120");
    ASSERT_TRUE(rowsReach(3));
    for (int i = 0; i < 3 && kinds().size() < 4; ++i)
        tick(1);
    EXPECT_EQ(kinds(), std::vector<E>({E::Lost, E::Back, E::Silent, E::Back}));

    // Back, but refusing its set-up: said once, tried again at the limit.
    backend->unplug(kCablePath);
    FakeHidDevice refusing = Cable();
    refusing.acceptsFeatureReports = false;
    backend->plug(refusing);
    EXPECT_TRUE(reader->waiting());
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[5].first, E::SetUpFailed);
    EXPECT_EQ(events[5].second, HidErrorText(EPIPE));
    backend->plugQuietly(Cable());
    tick(10);
    EXPECT_TRUE(reader->reading());
    EXPECT_EQ(events.back().first, E::Back);
    sendFrame("000091120");
    EXPECT_TRUE(rowsReach(4));
}

TEST_F(Reading, WithoutReconnectALossOrASilenceEndsTheReading) {
    backend->plugQuietly(Cable());
    reader = makeReader(false);
    QString detail;
    ASSERT_EQ(reader->start(detail), CableReader::Start::Reading);
    sendFrame("123451120");
    ASSERT_TRUE(rowsReach(1));
    tick(10);
    EXPECT_EQ(kinds(), std::vector<E>({E::Silent}));
    EXPECT_TRUE(reader->ended());
    ASSERT_NE(reader->cable(), nullptr);
    EXPECT_FALSE(reader->cable()->IsReading());

    reader.reset();
    events.clear();
    reader = makeReader(false);
    ASSERT_EQ(reader->start(detail), CableReader::Start::Reading);
    backend->unplug(kCablePath);
    EXPECT_EQ(kinds(), std::vector<E>({E::Lost}));
    EXPECT_TRUE(reader->ended());
    backend->plug(Cable());
    EXPECT_TRUE(reader->ended());
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(Reading, NoCableOrNoAccessIsSaid) {
    reader = makeReader(true);
    QString detail;
    EXPECT_EQ(reader->start(detail), CableReader::Start::NoCable);
    reader.reset();
    FakeHidDevice locked = Cable();
    locked.readWriteAccess = false;
    backend->plugQuietly(locked);
    reader = makeReader(true);
    EXPECT_EQ(reader->start(detail), CableReader::Start::NoAccess);
    EXPECT_EQ(detail, QString::fromStdString(kCablePath));
}

}  // namespace
}  // namespace dmm
