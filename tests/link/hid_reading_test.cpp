// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hid_test_support.h"
#include "link/hid_controller.h"
#include "link/hid_fake_backend.h"

namespace dmm {
namespace {

using test::HidTestApp;
using test::RunEventLoop;
using test::WaitUntil;

const std::string kCable = "/dev/hidraw0";

struct Report {
    TJvHidDevice* device;
    uint8_t id;
    std::vector<uint8_t> data;
    bool onWindowThread;
};

class HidReading : public ::testing::Test {
  protected:
    void SetUp() override {
        HidTestApp::instance().reset();
        FakeHidDevice cable;
        cable.path = kCable;
        cable.product = u"USB to Serial";
        backend->plugQuietly(cable);
        FakeHidDevice other = cable;
        other.path = "/dev/hidraw1";
        backend->plugQuietly(other);
        controller = std::make_unique<TJvHidDeviceController>(nullptr, backend);
    }
    void TearDown() override {
        for (TJvHidDevice* d : owned)
            delete d;
        controller.reset();
        // Nothing may be left to run against the objects just destroyed.
        RunEventLoop(20);
        EXPECT_EQ(backend->openConnections(), 0);
    }

    TJvHidDevice* Claim(int32_t idx = 0) {
        TJvHidDevice* d = nullptr;
        EXPECT_TRUE(controller->ClaimByIndex(d, idx));
        if (d)
            owned.push_back(d);
        return d;
    }
    void GiveBack(TJvHidDevice* d) {
        std::erase(owned, d);
        delete d;
    }

  public:
    void Data(TJvHidDevice* d, uint8_t id, const uint8_t* data, uint16_t size) {
        reports.push_back({d, id, std::vector<uint8_t>(data, data + size),
                           QThread::currentThread() == qApp->thread()});
        if (throwAt == reports.size())
            throw std::runtime_error("bad frame");
    }
    void Error(TJvHidDevice*, uint32_t code) {
        errors.push_back(code);
        errorsOnWindowThread = errorsOnWindowThread && QThread::currentThread() == qApp->thread();
    }
    TJvHidDataEvent data() { return {this, &HidReading::Data}; }
    TJvHidDataErrorEvent error() { return {this, &HidReading::Error}; }

    // Waits, without serving anything, until the device's reader has a
    // hand-over waiting for the window thread.
    static bool WaitForPendingHandOver(TJvHidDevice* d) {
        for (int i = 0; i < 20000 && !d->HandOverPending(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return d->HandOverPending();
    }

    std::shared_ptr<FakeHidBackend> backend = std::make_shared<FakeHidBackend>();
    std::unique_ptr<TJvHidDeviceController> controller;
    std::vector<TJvHidDevice*> owned;
    std::vector<Report> reports;
    size_t throwAt = 0;
    std::vector<uint32_t> errors;
    bool errorsOnWindowThread = true;
};

TEST_F(HidReading, ReportsArriveInOrderOnTheWindowThread) {
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(20);
    cable->SetDataHandler(data());
    ASSERT_TRUE(cable->IsReading());
    backend->queueReport(kCable, {0x00, 0x01, 0x3A});
    backend->queueReport(kCable, {0x05});
    backend->queueReport(kCable, {0x00, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    backend->queueReport(kCable, std::vector<uint8_t>(5000, 0x11));  // beyond hidraw's largest
    ASSERT_TRUE(WaitUntil([&] { return reports.size() == 4; }));
    EXPECT_EQ(reports[0].id, 0x00);
    EXPECT_EQ(reports[0].data, (std::vector<uint8_t>{0x01, 0x3A}));
    EXPECT_EQ(reports[1].id, 0x05);
    EXPECT_TRUE(reports[1].data.empty());
    EXPECT_EQ(reports[2].data, (std::vector<uint8_t>{0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reports[3].data,
              std::vector<uint8_t>(TJvHidDeviceReadThread::kReportCapacity - 1, 0x11));
    for (const Report& r : reports) {
        EXPECT_EQ(r.device, cable);
        EXPECT_TRUE(r.onWindowThread);
    }

    // Another handler takes over on the running thread.
    std::vector<uint8_t> seen;
    cable->SetDataHandler({this, [&](TJvHidDevice*, uint8_t, const uint8_t* d, uint16_t n) {
                               seen.assign(d, d + n);
                           }});
    EXPECT_TRUE(cable->IsReading());
    backend->queueReport(kCable, {0x00, 0x42});
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<uint8_t>{0x42});
    EXPECT_EQ(reports.size(), 4u);

    cable->SetDataHandler({});
    EXPECT_FALSE(cable->IsReading());
    backend->queueReport(kCable, {0x00, 0x43});
    RunEventLoop(50);
    EXPECT_EQ(seen, std::vector<uint8_t>{0x42});
    EXPECT_EQ(backend->pendingReports(kCable), 1u);
}

TEST_F(HidReading, ReadingNeedsAClaimedPresentDeviceWithAccess) {
    // A handler on an unclaimed device starts nothing; claiming starts it.
    controller->SetOnDeviceData(data());
    TJvHidDevice* cable = controller->DeviceList()[0];
    EXPECT_EQ(cable->DataHandler(), data());
    EXPECT_FALSE(cable->IsReading());
    ASSERT_EQ(Claim(0), cable);
    EXPECT_TRUE(cable->IsReading());
    cable->SetSleepTime(10);
    backend->queueReport(kCable, {0x00, 0x01});
    ASSERT_TRUE(WaitUntil([&] { return reports.size() == 1; }));

    // Queries only: never reads.
    FakeHidDevice limited;
    limited.path = "/dev/hidraw7";
    limited.readWriteAccess = false;
    backend->plug(limited);
    TJvHidDevice* d = Claim(2);
    ASSERT_EQ(d->InterfacePath(), "/dev/hidraw7");
    EXPECT_EQ(d->DataHandler(), data());
    EXPECT_FALSE(d->IsReading());

    // Unplugged before the handler comes: nothing starts either.
    TJvHidDevice* other = Claim(1);
    other->SetDataHandler({});
    other->MarkUnplugged();
    other->SetDataHandler(data());
    EXPECT_FALSE(other->IsReading());
}

TEST_F(HidReading, UnplugWhileReadingReportsErrorsUntilStopped) {
    controller->SetOnDeviceDataError(error());
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(10);
    cable->SetDataHandler(data());
    backend->streamReports(kCable, 1000000);
    ASSERT_TRUE(WaitUntil([&] { return reports.size() >= 50; }));

    backend->unplug(kCable);
    EXPECT_FALSE(cable->Present());
    EXPECT_TRUE(cable->IsReading());
    ASSERT_TRUE(WaitUntil([&] { return errors.size() >= 3; }));
    for (uint32_t code : errors)
        EXPECT_TRUE(code == ENODEV || code == EBADF) << code;
    EXPECT_TRUE(errorsOnWindowThread);
    const size_t received = reports.size();

    GiveBack(cable);
    const size_t errorsThen = errors.size();
    RunEventLoop(50);
    EXPECT_EQ(errors.size(), errorsThen);
    EXPECT_EQ(reports.size(), received);
    EXPECT_EQ(controller->DeviceList().size(), 1u);
}

TEST_F(HidReading, AFailedReadIsReportedOncePerSleepTime) {
    TJvHidDevice* cable = Claim();
    cable->SetDataErrorHandler(error());
    cable->SetSleepTime(50);
    backend->failReads(kCable, EIO, FakeHidBackend::kAlways);
    cable->SetDataHandler(data());
    QElapsedTimer clock;
    clock.start();
    RunEventLoop(1000);
    const auto elapsed = clock.elapsed();
    cable->SetDataHandler({});
    // One error per 50 ms: about 20 in a second. A reader that retried at
    // once would report thousands; a slow machine may manage fewer.
    EXPECT_GE(errors.size(), 3u);
    EXPECT_LE(errors.size(), static_cast<size_t>(elapsed / 50 + 2));
    for (uint32_t code : errors)
        EXPECT_EQ(code, uint32_t{EIO});

    // A few failures, then reading goes on.
    errors.clear();
    cable->SetSleepTime(10);
    backend->failReads(kCable, EPIPE, 3);
    backend->queueReport(kCable, {0x00, 0x07});
    cable->SetDataHandler(data());
    ASSERT_TRUE(WaitUntil([&] { return reports.size() == 1; }));
    EXPECT_EQ(errors, (std::vector<uint32_t>{EPIPE, EPIPE, EPIPE}));
    EXPECT_EQ(reports[0].data, std::vector<uint8_t>{0x07});
}

TEST_F(HidReading, AThrowingHandlerReachesTheEventLoopAndReadingGoesOn) {
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(10);
    cable->SetDataHandler(data());
    throwAt = 2;
    for (uint8_t i = 1; i <= 4; ++i)
        backend->queueReport(kCable, {0x00, i});
    ASSERT_TRUE(WaitUntil([&] { return reports.size() == 4; }));
    EXPECT_EQ(HidTestApp::instance().caught(), 1);
    EXPECT_EQ(HidTestApp::instance().lastError(), "bad frame");
    for (uint8_t i = 0; i < 4; ++i)
        EXPECT_EQ(reports[i].data, std::vector<uint8_t>{uint8_t(i + 1)});
    EXPECT_TRUE(cable->IsReading());
}

TEST_F(HidReading, StoppingServesAPendingHandOverWithoutDeadlock) {
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(10);
    cable->SetDataHandler(data());
    backend->queueReport(kCable, {0x00, 0x01});
    ASSERT_TRUE(WaitForPendingHandOver(cable));
    cable->SetDataHandler({});
    EXPECT_FALSE(cable->IsReading());
    ASSERT_EQ(reports.size(), 1u);  // served by the stop itself
    EXPECT_TRUE(reports[0].onWindowThread);
    RunEventLoop(30);
    EXPECT_EQ(reports.size(), 1u);  // the wake-up call finds nothing left

    // A handler that throws while being served by the stop: the stop ends
    // first, then the exception comes out.
    throwAt = 2;
    cable->SetDataHandler(data());
    backend->queueReport(kCable, {0x00, 0x02});
    ASSERT_TRUE(WaitForPendingHandOver(cable));
    try {
        cable->SetDataHandler({});
        ADD_FAILURE() << "the handler's exception was lost";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "bad frame");
    }
    EXPECT_FALSE(cable->IsReading());
    EXPECT_FALSE(cable->DataHandler());
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(HidTestApp::instance().caught(), 0);
}

TEST_F(HidReading, GivingBackWithAHandOverPending) {
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(10);
    cable->SetDataHandler(data());
    backend->queueReport(kCable, {0x00, 0x01});
    ASSERT_TRUE(WaitForPendingHandOver(cable));
    GiveBack(cable);
    EXPECT_EQ(reports.size(), 1u);
    RunEventLoop(30);
    EXPECT_EQ(reports.size(), 1u);

    // From a destructor the exception cannot be thrown: it goes to the event
    // loop instead.
    throwAt = 2;
    cable = Claim();
    cable->SetDataHandler(data());
    backend->queueReport(kCable, {0x00, 0x02});
    ASSERT_TRUE(WaitForPendingHandOver(cable));
    GiveBack(cable);
    EXPECT_EQ(reports.size(), 2u);
    ASSERT_TRUE(WaitUntil([] { return HidTestApp::instance().caught() == 1; }));
    EXPECT_EQ(HidTestApp::instance().lastError(), "bad frame");
}

TEST_F(HidReading, AHandlerMayStopOrGiveBackItsOwnDevice) {
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(10);
    int calls = 0;
    cable->SetDataHandler({this, [&](TJvHidDevice* d, uint8_t, const uint8_t*, uint16_t) {
                               ++calls;
                               d->SetDataHandler({});
                           }});
    backend->queueReport(kCable, {0x00, 0x01});
    backend->queueReport(kCable, {0x00, 0x02});
    ASSERT_TRUE(WaitUntil([&] { return calls == 1; }));
    EXPECT_FALSE(cable->IsReading());
    RunEventLoop(30);
    EXPECT_EQ(calls, 1);

    cable->SetDataHandler({this, [&](TJvHidDevice* d, uint8_t, const uint8_t* data, uint16_t) {
                               ++calls;
                               EXPECT_EQ(data[0], 0x02);
                               GiveBack(d);
                           }});
    ASSERT_TRUE(WaitUntil([&] { return calls == 2; }));
    RunEventLoop(30);
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(controller->DeviceList().size(), 2u);
    EXPECT_FALSE(controller->DeviceList()[0]->Claimed());
}

TEST_F(HidReading, ReadingOutlivesTheController) {
    TJvHidDevice* cable = Claim();
    cable->SetSleepTime(10);
    cable->SetDataErrorHandler(error());
    cable->SetDataHandler(data());
    backend->queueReport(kCable, {0x00, 0x01});
    ASSERT_TRUE(WaitUntil([&] { return reports.size() == 1; }));
    controller.reset();
    EXPECT_FALSE(cable->Present());
    // Its handle counts as closed: every read fails until the owner stops it.
    ASSERT_TRUE(WaitUntil([&] { return errors.size() >= 2; }));
    EXPECT_EQ(errors[0], uint32_t{EBADF});
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_TRUE(cable->IsReading());
}

}  // namespace
}  // namespace dmm
