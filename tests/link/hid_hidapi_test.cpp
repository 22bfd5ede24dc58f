// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

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

TEST(HidapiBackend, WorksWithWhateverTheMachineHas) {
    auto backend = std::make_shared<HidapiBackend>();
    EXPECT_EQ(backend->open({"/dev/no-such-hidraw", 1, 2, 3}), nullptr);
    TJvHidDeviceController controller(nullptr, backend);
    const auto present = backend->enumerate();
    // Every listed device is one hidapi found; a node is listed once.
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
