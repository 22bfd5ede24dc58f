// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/hid_hidapi_backend.h"

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libudev.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace dmm {

namespace {

std::optional<std::u16string> FromWide(const wchar_t* text) {
    if (!text)
        return std::nullopt;
    return QString::fromWCharArray(text).toStdU16String();
}

// The report descriptor of an open device: hidapi gives it from 0.14 on;
// before that it is read where the kernel publishes it.
std::vector<uint8_t> ReportDescriptor([[maybe_unused]] hid_device* device,
                                      const std::string& path) {
#if HID_API_VERSION >= HID_API_MAKE_VERSION(0, 14, 0)
    std::vector<uint8_t> descriptor(HID_API_MAX_REPORT_DESCRIPTOR_SIZE);
    const int n = hid_get_report_descriptor(device, descriptor.data(), descriptor.size());
    if (n >= 0) {
        descriptor.resize(static_cast<size_t>(n));
        return descriptor;
    }
#endif
    const std::string node = path.substr(path.find_last_of('/') + 1);
    std::ifstream file("/sys/class/hidraw/" + node + "/device/report_descriptor", std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class HidapiConnection : public HidConnection {
  public:
    // device null: opened for queries only.
    HidapiConnection(hid_device* device, const HidDeviceInfo& info,
                     const std::optional<std::u16string>& product,
                     const std::optional<std::u16string>& serial)
        : device_(device), info_(info), product_(product), serial_(serial) {
        if (device_) {
            const std::vector<uint8_t> descriptor = ReportDescriptor(device_, info_.path);
            numbered_ = ReportDescriptorUsesIds(descriptor.data(), descriptor.size());
        }
    }
    ~HidapiConnection() override {
        if (device_)
            hid_close(device_);
    }
    HidapiConnection(const HidapiConnection&) = delete;
    HidapiConnection& operator=(const HidapiConnection&) = delete;

    bool readWriteAccess() const override { return device_ != nullptr; }

    std::optional<HidAttributes> attributes() override {
        return HidAttributes{info_.vendorId, info_.productId, info_.versionNumber};
    }

    std::optional<std::u16string> productString() override {
        return deviceString(hid_get_product_string, product_);
    }

    std::optional<std::u16string> serialString() override {
        return deviceString(hid_get_serial_number_string, serial_);
    }

    // hidapi has no way to ask for string descriptor 0.
    std::optional<std::vector<uint16_t>> languageIds() override { return std::nullopt; }

    bool sendFeatureReport(const uint8_t* data, size_t size) override {
        if (!device_) {
            featureError_ = EACCES;  // opened for queries only
            return false;
        }
        errno = 0;
        if (hid_send_feature_report(device_, data, size) >= 0)
            return true;
        featureError_ = errno != 0 ? static_cast<uint32_t>(errno) : uint32_t{EIO};
        return false;
    }

    uint32_t featureReportError() const override { return featureError_; }

    HidReadResult read(uint8_t* buffer, size_t capacity, int timeoutMs) override {
        if (!device_ || capacity < 2)
            return {0, EBADF};
        // hidraw leaves the report ID out when the device numbers no reports;
        // the caller always finds it in byte 0.
        uint8_t* target = numbered_ ? buffer : buffer + 1;
        const size_t room = numbered_ ? capacity : capacity - 1;
        errno = 0;
        const int n = hid_read_timeout(device_, target, room, timeoutMs);
        if (n < 0) {
            // hidapi reports a hang-up (device pulled) as -1 without errno.
            return {0, errno != 0 ? static_cast<uint32_t>(errno) : uint32_t{ENODEV}};
        }
        if (n == 0)
            return {};
        if (!numbered_)
            buffer[0] = 0;
        return {static_cast<size_t>(n) + (numbered_ ? 0 : 1), 0};
    }

  private:
    using StringCall = int (*)(hid_device*, wchar_t*, size_t);

    std::optional<std::u16string> deviceString(StringCall call,
                                               const std::optional<std::u16string>& scanned) {
        if (!device_)
            return scanned;
        wchar_t text[256] = {};
        if (call(device_, text, std::size(text) - 1) != 0)
            return std::nullopt;
        return FromWide(text);
    }

    hid_device* device_;
    HidDeviceInfo info_;
    std::optional<std::u16string> product_;
    std::optional<std::u16string> serial_;
    bool numbered_ = false;
    uint32_t featureError_ = 0;
};

}  // namespace

bool ReportDescriptorUsesIds(const uint8_t* descriptor, size_t size) {
    if (!descriptor)
        return false;
    size_t i = 0;
    while (i < size) {
        const uint8_t prefix = descriptor[i];
        if (prefix == 0xFE) {
            // Long item: size byte, tag byte, then the data.
            if (i + 1 >= size)
                return false;
            i += 3 + descriptor[i + 1];
            continue;
        }
        // Short item: global item tag 8 is Report ID.
        if ((prefix & 0xFC) == 0x84)
            return true;
        const size_t dataSize = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
        i += 1 + dataSize;
    }
    return false;
}

HidapiBackend::HidapiBackend() {
    static const bool initialised = hid_init() == 0;
    (void)initialised;
    startMonitor();
}

HidapiBackend::~HidapiBackend() {
    notifier_.reset();
    if (monitor_)
        udev_monitor_unref(monitor_);
    if (udev_)
        udev_unref(udev_);
}

void HidapiBackend::startMonitor() {
    udev_ = udev_new();
    if (!udev_)
        return;
    // The "udev" source rather than the kernel's: its events come after the
    // rules have run, when the node exists with its permissions.
    monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
    if (!monitor_)
        return;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_) < 0) {
        udev_monitor_unref(monitor_);
        monitor_ = nullptr;
        return;
    }
    const int fd = udev_monitor_get_fd(monitor_);
    if (fd < 0)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     [this] { udevEvent(); });
}

void HidapiBackend::udevEvent() {
    // One notification for a burst: a device with several interfaces brings
    // several nodes at once, and one scan sees them all.
    bool relevant = false;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
            relevant = true;
        udev_device_unref(device);
    }
    if (relevant && callback_) {
        const std::function<void()> callback = callback_;
        callback();
    }
}

void HidapiBackend::setChangeCallback(std::function<void()> callback) {
    callback_ = std::move(callback);
}

std::vector<HidDeviceInfo> HidapiBackend::enumerate() {
    std::vector<HidDeviceInfo> list;
    strings_.clear();
    hid_device_info* all = hid_enumerate(0, 0);
    for (const hid_device_info* d = all; d; d = d->next) {
        if (!d->path)
            continue;
        const std::string path = d->path;
        // hidapi lists a node once per top-level usage; the node is the
        // interface.
        if (strings_.count(path))
            continue;
        strings_[path] = {FromWide(d->product_string), FromWide(d->serial_number)};
        list.push_back({path, d->vendor_id, d->product_id, d->release_number});
    }
    hid_free_enumeration(all);
    return list;
}

std::unique_ptr<HidConnection> HidapiBackend::open(const HidDeviceInfo& device) {
    const Strings& strings = strings_[device.path];
    if (hid_device* handle = hid_open_path(device.path.c_str()))
        return std::make_unique<HidapiConnection>(handle, device, strings.product, strings.serial);
    // No read and write access: the device can still be described, provided
    // its node is there.
    const int fd = ::open(device.path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    ::close(fd);
    return std::make_unique<HidapiConnection>(nullptr, device, strings.product, strings.serial);
}

}  // namespace dmm
