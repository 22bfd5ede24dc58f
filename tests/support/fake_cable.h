// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The cable as the tests plug it into the fake HID backend: named "USB to
// Serial", no serial number.

#include <string>

#include "link/hid_fake_backend.h"

namespace dmm::test {

inline const char* const kCablePath = "/dev/hidraw3";

inline FakeHidDevice Cable(const std::string& path = kCablePath) {
    FakeHidDevice cable;
    cable.path = path;
    cable.vendorId = 0x1A86;
    cable.productId = 0xE008;
    cable.product = u"USB to Serial";
    return cable;
}

}  // namespace dmm::test
