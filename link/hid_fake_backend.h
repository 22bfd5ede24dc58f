// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// An in-memory HID backend for tests: devices are scripted, plugged and
// pulled at will, and what the program sends them is kept for inspection.
// Reads may come from any thread; everything else is meant for the window
// thread, like the real backend.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/hid_backend.h"

namespace dmm {

// One scripted device.
struct FakeHidDevice {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0;
    std::optional<std::u16string> product;  // nullopt: the device has no product string
    std::optional<std::u16string> serial;   // nullopt: no serial string
    std::optional<std::vector<uint16_t>> languages =
        std::vector<uint16_t>{0x0409};  // nullopt: unreadable
    bool readWriteAccess = true;        // false: opens for queries only
    bool openable = true;               // false: cannot be opened at all
    bool identifiable = true;           // false: opens but will not give its numbers
    bool acceptsFeatureReports = true;
    uint32_t featureReportError = EPIPE;  // how a refused report fails
};

class FakeHidBackend : public HidBackend {
  public:
    // Every read failure from now on, until cleared with failReads(path, 0, 0).
    static constexpr int kAlways = -1;

    FakeHidBackend();
    ~FakeHidBackend() override;

    // HidBackend
    std::vector<HidDeviceInfo> enumerate() override;
    std::unique_ptr<HidConnection> open(const HidDeviceInfo& device) override;
    void setChangeCallback(std::function<void()> callback) override;

    // Plugs a device in (replacing one on the same path) and raises the change
    // notification.
    void plug(const FakeHidDevice& device);
    // Pulls a device out: its open connections fail from now on. Raises the
    // change notification.
    void unplug(const std::string& path);
    // A change notification with nothing changed.
    void notifyChange();
    // Plug and unplug without notifying: a scan sees the change all the same.
    void plugQuietly(const FakeHidDevice& device);
    void unplugQuietly(const std::string& path);

    // Input reports for the reader (byte 0 is the report ID).
    void queueReport(const std::string& path, std::vector<uint8_t> report);
    // count reports made on the reader's demand, each the report ID followed
    // by a 32-bit little-endian sequence number counting from first.
    void streamReports(const std::string& path, uint32_t count, uint8_t reportId = 0,
                       uint32_t first = 0);
    // Reports queued or streamed but not read yet.
    size_t pendingReports(const std::string& path) const;
    // The next count reads (kAlways: every read) fail at once with error.
    void failReads(const std::string& path, uint32_t error, int count);

    // What the program did to a device (the one plugged on path now).
    std::vector<std::vector<uint8_t>> featureReports(const std::string& path) const;
    int productQueries(const std::string& path) const;
    int readsDone(const std::string& path) const;
    // Connections open now, over all devices, pulled ones included.
    int openConnections() const;

  private:
    struct Unit;
    struct Shared;
    class Connection;

    std::shared_ptr<Unit> find(const std::string& path) const;
    void change();

    std::shared_ptr<Shared> shared_;
    std::function<void()> callback_;
};

}  // namespace dmm
