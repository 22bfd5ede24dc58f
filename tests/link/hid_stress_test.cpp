// SPDX-License-Identifier: GPL-3.0-or-later
// Connects, streams thousands of reports, disconnects, over and over: the
// run that the thread checker watches for races between the reader and the
// window thread.

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>

#include "hid_test_support.h"
#include "link/hid_controller.h"
#include "link/hid_fake_backend.h"

namespace dmm {
namespace {

using test::WaitUntil;

struct Sequence {
    uint32_t next = 0;
    uint32_t outOfOrder = 0;
    uint32_t errors = 0;

    void Data(TJvHidDevice*, uint8_t id, const uint8_t* data, uint16_t size) {
        if (id != 0x00 || size != 4) {
            ++outOfOrder;
            return;
        }
        const uint32_t n = data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24;
        outOfOrder += n == next ? 0 : 1;
        next = n + 1;
    }
    void Error(TJvHidDevice*, uint32_t) { ++errors; }
};

FakeHidDevice Cable() {
    FakeHidDevice d;
    d.path = "/dev/hidraw0";
    d.product = u"USB to Serial";
    return d;
}

TEST(HidStress, ConnectStreamDisconnectRepeatedly) {
    auto backend = std::make_shared<FakeHidBackend>();
    backend->plugQuietly(Cable());
    TJvHidDeviceController controller(nullptr, backend);
    Sequence seq;
    constexpr uint32_t kReports = 3000;
    uint32_t first = 0;
    for (int round = 0; round < 6; ++round) {
        TJvHidDevice* cable = nullptr;
        ASSERT_TRUE(controller.ClaimByIndex(cable, 0));
        cable->SetSleepTime(10);
        cable->SetDataErrorHandler({&seq, &Sequence::Error});
        const uint8_t setup[10] = {0x00, 0x60, 0x09, 0x00, 0x00, 0x03};
        EXPECT_TRUE(cable->SendFeatureReport(setup, sizeof setup));
        seq.next = first;
        cable->SetDataHandler({&seq, &Sequence::Data});
        backend->streamReports("/dev/hidraw0", kReports, 0x00, first);
        ASSERT_TRUE(WaitUntil([&] { return seq.next == first + kReports; }))
            << "round " << round << " stopped at " << seq.next - first;
        first += kReports;
        if (round % 2 == 1) {
            // Disconnect as the window does: detach, then give the device back.
            cable->SetDataHandler({});
            delete cable;
        } else {
            // Pulled out in the middle of a stream, then given back.
            backend->streamReports("/dev/hidraw0", kReports, 0x00, first);
            backend->unplug("/dev/hidraw0");
            ASSERT_TRUE(WaitUntil([&] { return seq.errors > 0; }));
            delete cable;
            backend->plug(Cable());
            first = seq.next;
        }
        EXPECT_EQ(seq.outOfOrder, 0u) << "round " << round;
        seq.errors = 0;
    }
    EXPECT_EQ(backend->openConnections(), 0);
}

}  // namespace
}  // namespace dmm
