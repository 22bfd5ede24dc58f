// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/hid_controller.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "link/link_logging.h"

namespace dmm {

namespace {

QDebug operator<<(QDebug out, const TJvHidDevice& device) {
    const QDebugStateSaver saver(out);
    out.nospace().noquote() << QString::fromStdString(device.InterfacePath()) << " ("
                            << QStringLiteral("%1:%2")
                                   .arg(device.VendorID(), 4, 16, QLatin1Char('0'))
                                   .arg(device.ProductID(), 4, 16, QLatin1Char('0'))
                            << ')';
    return out;
}

// Controllers alive; touched on the window thread only.
int g_controllers = 0;

// Sets a device's BeingOffered for the length of one offer, and clears it
// afterwards unless the handler destroyed the device meanwhile.
class OfferScope {
  public:
    OfferScope(bool& flag, std::weak_ptr<char> watch) : flag_(flag), watch_(std::move(watch)) {
        flag_ = true;
    }
    ~OfferScope() {
        if (!watch_.expired())
            flag_ = false;
    }
    OfferScope(const OfferScope&) = delete;
    OfferScope& operator=(const OfferScope&) = delete;

  private:
    bool& flag_;
    std::weak_ptr<char> watch_;
};

}  // namespace

TJvHidDeviceController::TJvHidDeviceController(QObject* owner, std::shared_ptr<HidBackend> backend)
    : QObject(owner), backend_(std::move(backend)) {
    if (g_controllers > 0)
        throw EControllerError("Only one TJvHidDeviceController allowed per program");
    ++g_controllers;
    try {
        for (DeviceOwner& device : ListPresentDevices())
            deviceList_.push_back(device.release());
    } catch (...) {
        --g_controllers;
        for (TJvHidDevice* device : deviceList_) {
            device->controller_ = nullptr;
            delete device;
        }
        throw;
    }
    availableCount_ = static_cast<int32_t>(deviceList_.size());
    if (backend_)
        backend_->setChangeCallback([this] { DeviceChange(); });
}

TJvHidDeviceController::~TJvHidDeviceController() {
    --g_controllers;
    if (backend_)
        backend_->setChangeCallback({});
    onDeviceChange_ = {};
    onEnumerate_ = {};
    std::exception_ptr failure;
    try {
        // Through the assignment rule, so that the devices still holding the
        // controller's unplug handler do not call it while everything closes.
        SetOnDeviceUnplug({});
    } catch (...) {
        failure = std::current_exception();
    }
    const std::vector<TJvHidDevice*> devices = std::exchange(deviceList_, {});
    for (TJvHidDevice* device : devices) {
        device->controller_ = nullptr;
        if (!device->Claimed()) {
            delete device;
            continue;
        }
        // The application still owns the object and deletes it later.
        try {
            device->MarkUnplugged();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    PostToEventLoop(failure);
}

std::vector<TJvHidDeviceController::DeviceOwner> TJvHidDeviceController::ListPresentDevices() {
    std::vector<DeviceOwner> list;
    if (!backend_)
        return list;
    for (const HidDeviceInfo& info : backend_->enumerate()) {
        try {
            list.emplace_back(new TJvHidDevice(info, *this, backend_));
        } catch (const EControllerError& e) {
            // Cannot be opened or identified: the application never sees it.
            qCDebug(lcHid).noquote()
                << QString::fromStdString(info.path) << "is passed over:" << e.what();
        }
    }
    return list;
}

void TJvHidDeviceController::DeviceChange() {
    // A notification raised from inside one of the scan's own events is
    // answered by one more scan once this one is through, not by a scan in
    // the middle of it.
    if (scanning_) {
        rescan_ = true;
        return;
    }
    struct Scanning {
        bool& flag;
        ~Scanning() { flag = false; }
    } scanning{scanning_};
    scanning_ = true;
    do {
        rescan_ = false;
        Scan();
    } while (rescan_);
}

void TJvHidDeviceController::Scan() {
    std::vector<DeviceOwner> fresh = ListPresentDevices();
    const auto inFresh = [&fresh](const TJvHidDevice* device) {
        return std::any_of(fresh.begin(), fresh.end(), [device](const DeviceOwner& f) {
            return f->InterfacePath() == device->InterfacePath();
        });
    };
    bool changed = false;
    try {
        // Removals. The handlers may give devices back, so the list is looked
        // at afresh after each call.
        for (size_t i = deviceList_.size(); i-- > 0;) {
            if (i >= deviceList_.size())
                continue;
            TJvHidDevice* device = deviceList_[i];
            if (device->Present() && inFresh(device))
                continue;
            changed = true;
            qCDebug(lcHid) << "removal of" << *device;
            const std::weak_ptr<char> watch = device->LifeWatch();
            device->MarkUnplugged();
            if (watch.expired())
                continue;
            Offer(device, onRemoval_);
            if (watch.expired() || device->Claimed())
                continue;
            std::erase(deviceList_, device);
            device->controller_ = nullptr;
            delete device;
        }
        // A fresh object for hardware the list already holds is a duplicate.
        std::erase_if(fresh, [this](const DeviceOwner& f) {
            const bool known =
                std::any_of(deviceList_.begin(), deviceList_.end(), [&f](TJvHidDevice* device) {
                    return device->Present() && device->InterfacePath() == f->InterfacePath();
                });
            if (known)
                f->controller_ = nullptr;
            return known;
        });
        // Arrivals.
        for (DeviceOwner& f : fresh) {
            TJvHidDevice* device = f.release();
            deviceList_.push_back(device);
            changed = true;
            qCDebug(lcHid) << "arrival of" << *device;
            Offer(device, onArrival_);
        }
    } catch (...) {
        Recount();
        throw;
    }
    Recount();
    if ((changed || !changeNotified_) && onDeviceChange_) {
        const TNotifyEvent handler = onDeviceChange_;
        handler(this);
    }
}

void TJvHidDeviceController::Offer(TJvHidDevice* device, const TJvHidPlugEvent& event) {
    if (!event)
        return;
    // A copy: the handler may assign the controller's event while it runs.
    const TJvHidPlugEvent handler = event;  // NOLINT(performance-unnecessary-copy-initialization)
    OfferScope offer(device->beingOffered_, device->LifeWatch());
    handler(device);
}

void TJvHidDeviceController::Recount() {
    int32_t claimed = 0;
    int32_t unplugged = 0;
    for (const TJvHidDevice* device : deviceList_) {
        claimed += device->Claimed() ? 1 : 0;
        unplugged += device->Present() ? 0 : 1;
    }
    availableCount_ = static_cast<int32_t>(deviceList_.size()) - claimed;
    unpluggedCount_ = unplugged;
    claimedCount_ = claimed - unplugged;
}

int32_t TJvHidDeviceController::EnumerateDevices() {
    int32_t offered = 0;
    for (size_t i = 0; i < deviceList_.size(); ++i) {
        TJvHidDevice* device = deviceList_[i];
        if (!device->Present())
            continue;
        ++offered;
        bool more = false;
        if (onEnumerate_) {
            const TJvHidEnumerateEvent handler = onEnumerate_;
            const std::weak_ptr<char> watch = device->LifeWatch();
            {
                OfferScope offer(device->beingOffered_, watch);
                more = handler(device, static_cast<int32_t>(i));
            }
            // Only a claimed device keeps its handles open.
            if (!watch.expired() && !device->Claimed())
                device->CloseHandles();
        }
        if (!more)
            break;
    }
    return offered;
}

bool TJvHidDeviceController::ClaimByIndex(TJvHidDevice*& HidDev, int32_t Idx) {
    HidDev = nullptr;
    if (Idx < 0 || static_cast<size_t>(Idx) >= deviceList_.size())
        return false;
    TJvHidDevice* device = deviceList_[static_cast<size_t>(Idx)];
    if (device->Claimed())
        return false;
    device->claimed_.store(true);
    ++claimedCount_;
    --availableCount_;
    HidDev = device;
    device->StartReading();
    return true;
}

template <class Step>
void TJvHidDeviceController::ForEachDevice(Step step) {
    // A step may serve a pending hand-over, whose handler may change the list.
    std::vector<std::pair<TJvHidDevice*, std::weak_ptr<char>>> devices;
    devices.reserve(deviceList_.size());
    for (TJvHidDevice* device : deviceList_)
        devices.emplace_back(device, device->LifeWatch());
    std::exception_ptr failure;
    for (auto& [device, watch] : devices) {
        if (watch.expired())
            continue;
        try {
            step(*device);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TJvHidDeviceController::SetOnDeviceChange(const TNotifyEvent& handler) {
    if (handler == onDeviceChange_)
        return;
    onDeviceChange_ = handler;
    struct Notified {
        bool& flag;
        ~Notified() { flag = true; }
    } notified{changeNotified_};
    DeviceChange();
}

void TJvHidDeviceController::SetOnDeviceData(const TJvHidDataEvent& handler) {
    if (handler == onDeviceData_)
        return;
    const TJvHidDataEvent previous = std::exchange(onDeviceData_, handler);
    ForEachDevice([&](TJvHidDevice& device) {
        if (device.DataHandler() == previous)
            device.SetDataHandler(handler);
    });
}

void TJvHidDeviceController::SetOnDeviceDataError(const TJvHidDataErrorEvent& handler) {
    if (handler == onDeviceDataError_)
        return;
    const TJvHidDataErrorEvent previous = std::exchange(onDeviceDataError_, handler);
    ForEachDevice([&](TJvHidDevice& device) {
        if (device.DataErrorHandler() == previous)
            device.SetDataErrorHandler(handler);
    });
}

void TJvHidDeviceController::SetOnDeviceUnplug(const TJvHidPlugEvent& handler) {
    if (handler == onDeviceUnplug_)
        return;
    const TJvHidPlugEvent previous = std::exchange(onDeviceUnplug_, handler);
    ForEachDevice([&](TJvHidDevice& device) {
        if (device.UnplugHandler() == previous)
            device.SetUnplugHandler(handler);
    });
}

void TJvHidDeviceController::SetDevThreadSleepTime(int32_t ms) {
    if (ms == devThreadSleepTime_)
        return;
    const int32_t previous = std::exchange(devThreadSleepTime_, ms);
    ForEachDevice([&](TJvHidDevice& device) {
        if (device.SleepTime() == previous)
            device.SetSleepTime(ms);
    });
}

void TJvHidDeviceController::GiveBack(TJvHidDevice* device, const TJvHidDataEvent& dataHandler,
                                      const TJvHidPlugEvent& unplugHandler) {
    const auto it = std::find(deviceList_.begin(), deviceList_.end(), device);
    if (it == deviceList_.end())
        return;
    if (!device->Present()) {
        deviceList_.erase(it);
        --unpluggedCount_;
        return;
    }
    try {
        DeviceOwner replacement(new TJvHidDevice(device->pnp_, *this, backend_));
        // Not claimed, so no thread starts.
        replacement->dataHandler_ = dataHandler;
        replacement->unplugHandler_ = unplugHandler;
        replacement->SetSleepTime(device->SleepTime());
        *it = replacement.release();
        if (device->Claimed()) {
            --claimedCount_;
            ++availableCount_;
        }
    } catch (const EControllerError&) {
        // The hardware went between the last scan and now: the object leaves
        // the list, and the coming notification finds nothing more to do.
        deviceList_.erase(it);
        --(device->Claimed() ? claimedCount_ : availableCount_);
    }
}

}  // namespace dmm
