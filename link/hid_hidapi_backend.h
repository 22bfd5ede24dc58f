// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The HID backend of a real machine: hidapi over hidraw for the devices, and
// a udev monitor on the hidraw subsystem for plug and unplug. Without udev
// (containers, build machines) the devices hid_enumerate finds still work;
// only the notifications are missing.

#include <QSocketNotifier>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/hid_backend.h"

struct udev;
struct udev_monitor;

namespace dmm {

class HidapiBackend : public HidBackend {
  public:
    // On the window thread, before any device is read.
    HidapiBackend();
    ~HidapiBackend() override;
    HidapiBackend(const HidapiBackend&) = delete;
    HidapiBackend& operator=(const HidapiBackend&) = delete;

    std::vector<HidDeviceInfo> enumerate() override;
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device) override;
    void setChangeCallback(std::function<void()> callback) override;

    // The udev monitor is running, so plug and unplug are noticed.
    bool watchesChanges() const { return notifier_ != nullptr; }

  private:
    // The strings udev gave at the last scan: a device opened for queries
    // only has no hidapi handle to ask.
    struct Strings {
        std::optional<std::u16string> product;
        std::optional<std::u16string> serial;
    };

    void startMonitor();
    void udevEvent();

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::function<void()> callback_;
    std::map<std::string, Strings> strings_;
};

// Whether a HID report descriptor declares report IDs (a Report ID item),
// that is whether hidraw puts the report ID in front of each input report.
bool ReportDescriptorUsesIds(const uint8_t* descriptor, size_t size);

}  // namespace dmm
