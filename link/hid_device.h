// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// One HID interface found by the controller, and the thread that reads its
// input reports.
//
// A device object is available (in the controller's DeviceList), claimed (the
// application holds it; still in the list) or unplugged. The application gives
// a claimed device back by deleting it: a present one is replaced in the list
// by a fresh available object for the same hardware, an unplugged one leaves
// the list.
//
// Reading. A claimed, present device with read and write access and a data
// handler has one read thread. The thread never runs a handler itself: it
// hands each report (or read error) to the window thread and waits until the
// handler there has returned, so handlers see the window's state as they would
// in any other event. A read that fails is reported once, and the thread then
// sleeps one SleepTime before it tries again.

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "link/hid_backend.h"
#include "link/hid_events.h"

namespace dmm {

class TJvHidDeviceController;
class TJvHidDevice;
struct HidHandOverState;

// Lives on the window thread and receives the reader's wake-up call there.
// The call goes by name so that nothing the reader allocates crosses over
// outside our own mutex.
class HidHandOverRelay : public QObject {
    Q_OBJECT
  public:
    explicit HidHandOverRelay(std::shared_ptr<HidHandOverState> state) : state_(std::move(state)) {}

  public slots:
    void serve();

  private:
    std::shared_ptr<HidHandOverState> state_;
};

class TJvHidDeviceReadThread {
  public:
    // Starts reading at once. readHandle (null when it could not be opened)
    // stays open until the thread has ended, whatever the device says of it:
    // the device only marks it closed, so that a read under way never loses
    // its connection.
    TJvHidDeviceReadThread(TJvHidDevice& device, std::unique_ptr<HidConnection> readHandle);
    ~TJvHidDeviceReadThread();
    TJvHidDeviceReadThread(const TJvHidDeviceReadThread&) = delete;
    TJvHidDeviceReadThread& operator=(const TJvHidDeviceReadThread&) = delete;

    // Window thread: asks the thread to end and waits for it, serving the
    // hand-overs it makes meanwhile. Never throws: a handler's exception is
    // kept until the thread has ended and returned here.
    std::exception_ptr stop();

    // A report or error is waiting for the window thread.
    bool handOverPending() const;

    // Largest input report hidraw delivers, plus the report ID put in front
    // for devices without numbered reports.
    static constexpr size_t kReportCapacity = 4097;

  private:
    void execute();
    // False when the thread is asked to end instead.
    bool handOverData(size_t bytes);
    bool handOverError(uint32_t error);
    bool handOver();
    bool terminating();

    TJvHidDevice& device_;
    std::unique_ptr<HidConnection> readHandle_;
    std::shared_ptr<HidHandOverState> state_;
    std::unique_ptr<HidHandOverRelay> relay_;
    std::thread thread_;
};

class TJvHidDevice {
  public:
    // Gives the device back to its controller (see above).
    ~TJvHidDevice();
    TJvHidDevice(const TJvHidDevice&) = delete;
    TJvHidDevice& operator=(const TJvHidDevice&) = delete;

    TJvHidDeviceController* Controller() const { return controller_; }
    // Where the device lives: InterfacePath is its path.
    const HidDeviceInfo& PnPInfo() const { return pnp_; }
    const std::string& InterfacePath() const { return pnp_.path; }

    bool Present() const { return present_.load(); }
    bool Claimed() const { return claimed_.load(); }
    bool BeingOffered() const { return beingOffered_; }

    uint16_t VendorID() const { return attributes_.vendorId; }
    uint16_t ProductID() const { return attributes_.productId; }
    uint16_t VersionNumber() const { return attributes_.versionNumber; }
    // The last open obtained read and write access.
    bool ReadWriteAccess() const { return readWriteAccess_; }

    // Asked of the device while it is claimed or offered; cached once known.
    QString ProductText();
    // Empty when the device gives none, or only repeats its language list.
    QString SerialText();

    // report[0] is the report ID. False when the device is not reachable or
    // refused the report.
    bool SendFeatureReport(const uint8_t* report, size_t size);
    // Why the last SendFeatureReport failed (errno-style): ENODEV when the
    // device was not reachable, EINVAL for no report, else the system's code.
    uint32_t FeatureReportError() const { return featureReportError_; }

    const TJvHidDataEvent& DataHandler() const { return dataHandler_; }
    // An empty handler stops reading; a handler starts it when the device can
    // read. Replacing one handler by another keeps the thread running. An
    // exception of a handler served while stopping comes out here once the
    // thread has ended.
    void SetDataHandler(const TJvHidDataEvent& handler);
    const TJvHidDataErrorEvent& DataErrorHandler() const { return dataErrorHandler_; }
    void SetDataErrorHandler(const TJvHidDataErrorEvent& handler) { dataErrorHandler_ = handler; }
    const TJvHidPlugEvent& UnplugHandler() const { return unplugHandler_; }
    void SetUnplugHandler(const TJvHidPlugEvent& handler) { unplugHandler_ = handler; }

    // Milliseconds per wait of the read thread, 10 to 10000; others ignored.
    int32_t SleepTime() const { return sleepTime_.load(); }
    void SetSleepTime(int32_t ms);
    static constexpr int32_t kMinSleepTime = 10;
    static constexpr int32_t kMaxSleepTime = 10000;
    static constexpr int32_t kDefaultSleepTime = 100;

    // The hardware is gone: handles closed, Present false, UnplugHandler
    // called once. A running read thread goes on, reporting failed reads,
    // until its owner stops it.
    void MarkUnplugged();

    // A read thread runs.
    bool IsReading() const { return thread_ != nullptr; }
    // A report or error from the read thread waits for the window thread.
    bool HandOverPending() const { return thread_ && thread_->handOverPending(); }

  private:
    friend class TJvHidDeviceController;
    friend class TJvHidDeviceReadThread;
    friend struct HidHandOverState;

    // Opens the device to identify it; EControllerError "device cannot be
    // opened" / "device cannot be identified" when it will not.
    TJvHidDevice(const HidDeviceInfo& pnp, TJvHidDeviceController& controller,
                 std::shared_ptr<HidBackend> backend);

    bool IsReachable() const { return Present() && (Claimed() || beingOffered_); }
    std::unique_ptr<HidConnection> Open();
    bool OpenMainHandle();
    void CloseMainHandle() { mainHandle_.reset(); }
    void CloseHandles();
    void StartReading();
    // Stops the read thread and closes its handle; the exception of a handler
    // served meanwhile is returned, not thrown.
    std::exception_ptr StopReadThread();

    // For the controller's own bookkeeping while it scans.
    std::weak_ptr<char> LifeWatch() const { return life_; }

    TJvHidDeviceController* controller_;
    std::shared_ptr<HidBackend> backend_;
    HidDeviceInfo pnp_;
    std::atomic<bool> present_{true};
    std::atomic<bool> claimed_{false};
    bool beingOffered_ = false;
    std::unique_ptr<HidConnection> mainHandle_;
    // The read thread's handle as the device sees it: the thread owns the
    // connection, and unplugging only marks it closed.
    std::atomic<bool> readHandleOpen_{false};
    HidAttributes attributes_;
    bool readWriteAccess_ = false;
    uint32_t featureReportError_ = 0;
    QString productText_;
    QString serialText_;
    std::atomic<int32_t> sleepTime_{kDefaultSleepTime};
    TJvHidDataEvent dataHandler_;
    TJvHidDataErrorEvent dataErrorHandler_;
    TJvHidPlugEvent unplugHandler_;
    std::unique_ptr<TJvHidDeviceReadThread> thread_;
    // A read thread is being stopped: no other may start meanwhile.
    bool stopping_ = false;
    std::shared_ptr<char> life_ = std::make_shared<char>();
};

// The serial-number rule, over the device's serial string and its language
// list (nullopt when it cannot be read). A serial that only repeats the
// language list over the list's length is no serial number, and without a
// list nothing tells the two apart, so the serial then stays empty too.
QString AcceptedSerial(const std::u16string& serial,
                       const std::optional<std::vector<uint16_t>>& languages);

// Hands an exception that cannot be thrown where it happened (a destructor)
// to the application's event loop, where the general error handler sees it.
void PostToEventLoop(const std::exception_ptr& failure);

}  // namespace dmm
