// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The HID controller: keeps the list of HID interfaces attached to the
// machine, follows plug and unplug notifications and hands devices to the
// application, which claims the ones it wants.
//
// Everything here runs on the window thread. Only one controller may exist
// at a time.

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/hid_backend.h"
#include "link/hid_device.h"
#include "link/hid_events.h"

namespace dmm {

class TJvHidDeviceController : public QObject {
    Q_OBJECT
  public:
    // Scans the present devices and listens for changes. A null backend gives
    // a controller with no devices and no notifications. A second controller
    // throws EControllerError "Only one TJvHidDeviceController allowed per
    // program".
    TJvHidDeviceController(QObject* owner, std::shared_ptr<HidBackend> backend);
    // Unclaimed devices are destroyed; claimed ones are marked unplugged and
    // stay the application's to delete.
    ~TJvHidDeviceController() override;

    // Re-scans: removals (OnRemoval), then arrivals (OnArrival), then
    // OnDeviceChange when something changed or it has never fired.
    void DeviceChange();
    // Offers each present device to OnEnumerate, in list order, until one
    // offer yields false; returns the number offered.
    int32_t EnumerateDevices();
    // The unclaimed device at Idx, now claimed (reading starts if it has a
    // data handler); false and null otherwise.
    bool ClaimByIndex(TJvHidDevice*& HidDev, int32_t Idx);

    const TJvHidPlugEvent& OnArrival() const { return onArrival_; }
    void SetOnArrival(const TJvHidPlugEvent& handler) { onArrival_ = handler; }
    const TJvHidPlugEvent& OnRemoval() const { return onRemoval_; }
    void SetOnRemoval(const TJvHidPlugEvent& handler) { onRemoval_ = handler; }
    const TJvHidEnumerateEvent& OnEnumerate() const { return onEnumerate_; }
    void SetOnEnumerate(const TJvHidEnumerateEvent& handler) { onEnumerate_ = handler; }
    // A new handler runs DeviceChange at once.
    const TNotifyEvent& OnDeviceChange() const { return onDeviceChange_; }
    void SetOnDeviceChange(const TNotifyEvent& handler);
    // The three device handlers below pass on to every listed device that
    // still has the controller's previous one.
    const TJvHidDataEvent& OnDeviceData() const { return onDeviceData_; }
    void SetOnDeviceData(const TJvHidDataEvent& handler);
    const TJvHidDataErrorEvent& OnDeviceDataError() const { return onDeviceDataError_; }
    void SetOnDeviceDataError(const TJvHidDataErrorEvent& handler);
    const TJvHidPlugEvent& OnDeviceUnplug() const { return onDeviceUnplug_; }
    void SetOnDeviceUnplug(const TJvHidPlugEvent& handler);

    bool ChangeNotified() const { return changeNotified_; }
    // Passed on to every device whose SleepTime is the old value.
    int32_t DevThreadSleepTime() const { return devThreadSleepTime_; }
    void SetDevThreadSleepTime(int32_t ms);
    QString Version() const { return QStringLiteral("1.0.22"); }
    void SetVersion(const QString&) {}

    // Every device object the controller knows, claimed or not.
    const std::vector<TJvHidDevice*>& DeviceList() const { return deviceList_; }
    int32_t AvailableCount() const { return availableCount_; }
    int32_t ClaimedCount() const { return claimedCount_; }
    int32_t UnpluggedCount() const { return unpluggedCount_; }

  private:
    friend class TJvHidDevice;
    using DeviceOwner = std::unique_ptr<TJvHidDevice>;

    std::vector<DeviceOwner> ListPresentDevices();
    void Scan();
    void Recount();
    void Offer(TJvHidDevice* device, const TJvHidPlugEvent& event);
    // A device is being destroyed (the application giving it back).
    void GiveBack(TJvHidDevice* device, const TJvHidDataEvent& dataHandler,
                  const TJvHidPlugEvent& unplugHandler);
    // Runs step for every listed device, also when one step throws; the first
    // exception comes out at the end.
    template <class Step>
    void ForEachDevice(Step step);

    std::shared_ptr<HidBackend> backend_;
    TJvHidPlugEvent onArrival_;
    TNotifyEvent onDeviceChange_;
    TJvHidEnumerateEvent onEnumerate_;
    TJvHidDataEvent onDeviceData_;
    TJvHidDataErrorEvent onDeviceDataError_;
    TJvHidPlugEvent onDeviceUnplug_;
    TJvHidPlugEvent onRemoval_;
    bool changeNotified_ = false;
    int32_t devThreadSleepTime_ = TJvHidDevice::kDefaultSleepTime;
    // Owns the devices that are not claimed; claimed ones belong to the
    // application.
    std::vector<TJvHidDevice*> deviceList_;
    int32_t availableCount_ = 0;
    int32_t claimedCount_ = 0;
    int32_t unpluggedCount_ = 0;
    bool scanning_ = false;
    bool rescan_ = false;
};

}  // namespace dmm
