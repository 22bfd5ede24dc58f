// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>
#include <cerrno>
#include <memory>
#include <vector>

#include "hid_test_support.h"
#include "link/hid_controller.h"
#include "link/hid_hidapi_backend.h"

namespace dmm {
namespace {

bool UsesIds(const std::vector<uint8_t>& d) {
    return ReportDescriptorUsesIds(d.data(), d.size());
}

TEST(HidReportDescriptor, FindsAReportIdItem) {
    // Vendor page, one 8-byte input and one 8-byte feature report, unnumbered.
    const std::vector<uint8_t> plain = {0x06, 0xA0, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01,
                                        0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08,
                                        0x81, 0x02, 0x09, 0x02, 0xB1, 0x02, 0xC0};
    EXPECT_FALSE(UsesIds(plain));
    std::vector<uint8_t> numbered = plain;
    numbered.insert(numbered.begin() + 7, {0x85, 0x01});
    EXPECT_TRUE(UsesIds(numbered));
    // 0x85 as the data of another item is no Report ID.
    EXPECT_FALSE(UsesIds({0x26, 0x85, 0x00, 0x75, 0x08}));
    EXPECT_FALSE(UsesIds({0x27, 0x00, 0x00, 0x85, 0x00, 0x75, 0x08}));  // 4-byte data
    // Long items are skipped whole.
    EXPECT_FALSE(UsesIds({0xFE, 0x02, 0x10, 0x85, 0x01, 0xC0}));
    EXPECT_TRUE(UsesIds({0xFE, 0x01, 0x10, 0x00, 0x85, 0x02}));
    // Cut short or empty: no crash, no IDs.
    EXPECT_FALSE(UsesIds({0x26, 0xFF}));
    EXPECT_FALSE(UsesIds({0xFE}));
    EXPECT_FALSE(UsesIds({}));
    EXPECT_FALSE(ReportDescriptorUsesIds(nullptr, 4));
}

// A node that is there but cannot be opened for reading and writing, as a
// cable's hidraw node is for a user without the udev rule: the cable can
// still be described, but not set up or read. The stand-in node is a folder
// in a scratch folder, which no one, root included, opens for writing (a
// plain file would be opened, and hidapi 0.13 crashes on a file that is no
// hidraw device).
TEST(HidapiBackend, ANodeHidapiCannotOpenServesQueriesOnly) {
    auto backend = std::make_shared<HidapiBackend>();
    EXPECT_EQ(backend->open({"/dev/no-such-hidraw", 1, 2, 3}), nullptr);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString node = dir.filePath(QStringLiteral("hidraw7"));
    ASSERT_TRUE(QDir().mkdir(node));
    const std::unique_ptr<HidConnection> connection =
        backend->open({node.toStdString(), 0x1A86, 0xE008, 0x0100});
    ASSERT_NE(connection, nullptr);
    EXPECT_FALSE(connection->readWriteAccess());
    const auto attributes = connection->attributes();
    ASSERT_TRUE(attributes.has_value());
    EXPECT_EQ(attributes->vendorId, 0x1A86);
    EXPECT_EQ(attributes->productId, 0xE008);
    EXPECT_EQ(attributes->versionNumber, 0x0100);
    EXPECT_FALSE(connection->productString().has_value());  // never listed by a scan
    const uint8_t setup[6] = {0x00, 0x60, 0x09, 0x00, 0x00, 0x03};
    EXPECT_FALSE(connection->sendFeatureReport(setup, sizeof setup));
    EXPECT_EQ(connection->featureReportError(), uint32_t(EACCES));
    uint8_t buffer[16] = {};
    EXPECT_EQ(connection->read(buffer, sizeof buffer, 10).error, uint32_t(EBADF));
}

// The machine's own devices, whatever they are (none on a build machine):
// each node listed once, the controller holding no more than were listed, and
// one change notice for the first handler.
TEST(HidapiBackend, TheMachinesDevicesAreListedOnceEach) {
    auto backend = std::make_shared<HidapiBackend>();
    TJvHidDeviceController controller(nullptr, backend);
    const auto present = backend->enumerate();
    EXPECT_LE(controller.DeviceList().size(), present.size());
    for (size_t i = 0; i < present.size(); ++i) {
        for (size_t j = i + 1; j < present.size(); ++j)
            EXPECT_NE(present[i].path, present[j].path);
    }
    int changes = 0;
    controller.SetOnDeviceChange({&changes, [&](QObject*) { ++changes; }});
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(controller.EnumerateDevices(),
              static_cast<int32_t>(controller.DeviceList().size() > 0));
}

}  // namespace
}  // namespace dmm
