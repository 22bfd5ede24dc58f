// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/hid_fake_backend.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

namespace dmm {

// One plugged-in device. A device plugged in again on the same path is a new
// unit: connections to the old one stay pulled out.
struct FakeHidBackend::Unit {
    FakeHidDevice script;
    bool present = true;
    std::deque<std::vector<uint8_t>> reports;
    uint32_t streamLeft = 0;
    uint32_t streamNext = 0;
    uint8_t streamId = 0;
    int failLeft = 0;
    uint32_t failError = 0;
    std::vector<std::vector<uint8_t>> featureReports;
    int productQueries = 0;
    int readsDone = 0;
};

// Outlives the backend while connections remain.
struct FakeHidBackend::Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<Unit>> units;  // present units, in plug order
    int openConnections = 0;
};

class FakeHidBackend::Connection : public HidConnection {
  public:
    Connection(std::shared_ptr<Shared> shared, std::shared_ptr<Unit> unit, bool readWrite)
        : shared_(std::move(shared)), unit_(std::move(unit)), readWrite_(readWrite) {
        std::lock_guard lock(shared_->mutex);
        ++shared_->openConnections;
    }
    ~Connection() override {
        std::lock_guard lock(shared_->mutex);
        --shared_->openConnections;
    }

    bool readWriteAccess() const override { return readWrite_; }

    std::optional<HidAttributes> attributes() override {
        std::lock_guard lock(shared_->mutex);
        const FakeHidDevice& d = unit_->script;
        if (!unit_->present || !d.identifiable)
            return std::nullopt;
        return HidAttributes{d.vendorId, d.productId, d.versionNumber};
    }

    std::optional<std::u16string> productString() override {
        std::lock_guard lock(shared_->mutex);
        ++unit_->productQueries;
        return unit_->present ? unit_->script.product : std::nullopt;
    }

    std::optional<std::u16string> serialString() override {
        std::lock_guard lock(shared_->mutex);
        return unit_->present ? unit_->script.serial : std::nullopt;
    }

    std::optional<std::vector<uint16_t>> languageIds() override {
        std::lock_guard lock(shared_->mutex);
        return unit_->present ? unit_->script.languages : std::nullopt;
    }

    bool sendFeatureReport(const uint8_t* data, size_t size) override {
        std::lock_guard lock(shared_->mutex);
        if (!unit_->present || !readWrite_ || !unit_->script.acceptsFeatureReports) {
            featureError_ = !unit_->present ? ENODEV
                            : !readWrite_   ? EACCES
                                            : unit_->script.featureReportError;
            return false;
        }
        unit_->featureReports.emplace_back(data, data + size);
        return true;
    }

    uint32_t featureReportError() const override { return featureError_; }

    HidReadResult read(uint8_t* buffer, size_t capacity, int timeoutMs) override {
        std::unique_lock lock(shared_->mutex);
        Unit& u = *unit_;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
        for (;;) {
            if (!readWrite_)
                return {0, EBADF};
            if (u.failLeft != 0) {
                if (u.failLeft > 0)
                    --u.failLeft;
                return {0, u.failError};
            }
            if (!u.present)
                return {0, ENODEV};
            if (!u.reports.empty()) {
                const std::vector<uint8_t> report = std::move(u.reports.front());
                u.reports.pop_front();
                ++u.readsDone;
                const size_t n = std::min(report.size(), capacity);
                std::copy_n(report.begin(), n, buffer);
                return {n, 0};
            }
            if (u.streamLeft > 0) {
                --u.streamLeft;
                ++u.readsDone;
                const uint8_t report[5] = {u.streamId, uint8_t(u.streamNext),
                                           uint8_t(u.streamNext >> 8), uint8_t(u.streamNext >> 16),
                                           uint8_t(u.streamNext >> 24)};
                ++u.streamNext;
                const size_t n = std::min(sizeof report, capacity);
                std::memcpy(buffer, report, n);
                return {n, 0};
            }
            if (shared_->changed.wait_until(lock, deadline) == std::cv_status::timeout)
                return {};
        }
    }

  private:
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<Unit> unit_;
    bool readWrite_;
    uint32_t featureError_ = 0;  // window thread only
};

FakeHidBackend::FakeHidBackend() : shared_(std::make_shared<Shared>()) {}

FakeHidBackend::~FakeHidBackend() = default;

std::vector<HidDeviceInfo> FakeHidBackend::enumerate() {
    std::lock_guard lock(shared_->mutex);
    std::vector<HidDeviceInfo> list;
    for (const auto& unit : shared_->units) {
        const FakeHidDevice& d = unit->script;
        list.push_back({d.path, d.vendorId, d.productId, d.versionNumber});
    }
    return list;
}

std::unique_ptr<HidConnection> FakeHidBackend::open(const HidDeviceInfo& device) {
    const std::shared_ptr<Unit> unit = find(device.path);
    if (!unit || !unit->script.openable)
        return nullptr;
    return std::make_unique<Connection>(shared_, unit, unit->script.readWriteAccess);
}

void FakeHidBackend::setChangeCallback(std::function<void()> callback) {
    callback_ = std::move(callback);
}

std::shared_ptr<FakeHidBackend::Unit> FakeHidBackend::find(const std::string& path) const {
    std::lock_guard lock(shared_->mutex);
    for (const auto& unit : shared_->units) {
        if (unit->script.path == path)
            return unit;
    }
    return nullptr;
}

void FakeHidBackend::change() {
    // A copy: the callback may replace itself (a controller going away).
    const std::function<void()> callback = callback_;
    if (callback)
        callback();
}

void FakeHidBackend::plugQuietly(const FakeHidDevice& device) {
    unplugQuietly(device.path);
    auto unit = std::make_shared<Unit>();
    unit->script = device;
    std::lock_guard lock(shared_->mutex);
    shared_->units.push_back(std::move(unit));
}

void FakeHidBackend::unplugQuietly(const std::string& path) {
    {
        std::lock_guard lock(shared_->mutex);
        auto& units = shared_->units;
        for (auto it = units.begin(); it != units.end();) {
            if ((*it)->script.path == path) {
                (*it)->present = false;
                it = units.erase(it);
            } else {
                ++it;
            }
        }
    }
    shared_->changed.notify_all();
}

void FakeHidBackend::plug(const FakeHidDevice& device) {
    plugQuietly(device);
    change();
}

void FakeHidBackend::unplug(const std::string& path) {
    unplugQuietly(path);
    change();
}

void FakeHidBackend::notifyChange() {
    change();
}

void FakeHidBackend::queueReport(const std::string& path, std::vector<uint8_t> report) {
    if (const auto unit = find(path)) {
        {
            std::lock_guard lock(shared_->mutex);
            unit->reports.push_back(std::move(report));
        }
        shared_->changed.notify_all();
    }
}

void FakeHidBackend::streamReports(const std::string& path, uint32_t count, uint8_t reportId,
                                   uint32_t first) {
    if (const auto unit = find(path)) {
        {
            std::lock_guard lock(shared_->mutex);
            unit->streamLeft = count;
            unit->streamNext = first;
            unit->streamId = reportId;
        }
        shared_->changed.notify_all();
    }
}

size_t FakeHidBackend::pendingReports(const std::string& path) const {
    const auto unit = find(path);
    std::lock_guard lock(shared_->mutex);
    return unit ? unit->reports.size() + unit->streamLeft : 0;
}

void FakeHidBackend::failReads(const std::string& path, uint32_t error, int count) {
    if (const auto unit = find(path)) {
        {
            std::lock_guard lock(shared_->mutex);
            unit->failError = error;
            unit->failLeft = count;
        }
        shared_->changed.notify_all();
    }
}

std::vector<std::vector<uint8_t>> FakeHidBackend::featureReports(const std::string& path) const {
    const auto unit = find(path);
    std::lock_guard lock(shared_->mutex);
    return unit ? unit->featureReports : std::vector<std::vector<uint8_t>>{};
}

int FakeHidBackend::productQueries(const std::string& path) const {
    const auto unit = find(path);
    std::lock_guard lock(shared_->mutex);
    return unit ? unit->productQueries : 0;
}

int FakeHidBackend::readsDone(const std::string& path) const {
    const auto unit = find(path);
    std::lock_guard lock(shared_->mutex);
    return unit ? unit->readsDone : 0;
}

int FakeHidBackend::openConnections() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->openConnections;
}

}  // namespace dmm
