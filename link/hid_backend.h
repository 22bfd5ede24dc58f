// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the HID controller and its devices need from the system, behind one
// small interface: hidapi over hidraw on a real machine, a scripted in-memory
// set of devices in the tests.
//
// Threads: every call runs on the window thread, except HidConnection::read,
// which the device's read thread makes on a connection of its own.

#include <QString>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dmm {

// One present HID interface. The path is its identity across scans: a device
// keeps its node for as long as it stays plugged in.
struct HidDeviceInfo {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0;
};

// The numbers a device gives when it is identified.
struct HidAttributes {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0;
};

// One read: size 0 and error 0 is a timeout with nothing to read.
struct HidReadResult {
    size_t size = 0;     // bytes in the buffer; byte 0 is the report ID
    uint32_t error = 0;  // errno-style code when the read failed
};

// An open device; closed when destroyed.
class HidConnection {
  public:
    virtual ~HidConnection() = default;

    // Whether the open obtained read and write access (else queries only).
    virtual bool readWriteAccess() const = 0;
    // The vendor, product and version numbers; nullopt when the device will
    // not say.
    virtual std::optional<HidAttributes> attributes() = 0;
    // nullopt when the device has no such string or the query fails.
    virtual std::optional<std::u16string> productString() = 0;
    virtual std::optional<std::u16string> serialString() = 0;
    // The device's language-ID list (string index 0); nullopt when it cannot
    // be read.
    virtual std::optional<std::vector<uint16_t>> languageIds() = 0;
    // data[0] is the report ID. True when the device accepted the report.
    virtual bool sendFeatureReport(const uint8_t* data, size_t size) = 0;
    // The errno-style code of the last sendFeatureReport that failed.
    virtual uint32_t featureReportError() const { return EIO; }
    // Waits up to timeoutMs for one input report and copies it to buffer
    // (byte 0 always the report ID, 0 for a device without numbered reports).
    // The only call made off the window thread.
    virtual HidReadResult read(uint8_t* buffer, size_t capacity, int timeoutMs) = 0;
};

class HidBackend {
  public:
    virtual ~HidBackend() = default;

    // Every present HID interface, in a stable order.
    virtual std::vector<HidDeviceInfo> enumerate() = 0;
    // Opens with read and write access, else for queries only; null when the
    // device cannot be opened at all.
    virtual std::unique_ptr<HidConnection> open(const HidDeviceInfo& device) = 0;
    // Called on the window thread whenever devices may have come or gone; an
    // empty function stops the calls.
    virtual void setChangeCallback(std::function<void()> callback) = 0;
};

// The system's message for an errno-style code, as the read-error log line
// shows it.
QString HidErrorText(uint32_t code);

}  // namespace dmm
