// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The USB interface cable ("USB to Serial", a HID device), as the window and
// dmmlog both use it: which device is the cable, its set-up report, the
// watchdog that finds a silent cable, and the devices the application has
// claimed, held by owning pointers. QtCore only; the window's widgets and
// dmmlog's messages stay with them.
//
// The rule. The cable is a device whose product string is exactly "USB to
// Serial" and which gives no serial number. When several are plugged in, the
// last one in the controller's list (the one plugged in last) is the cable.

#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "link/hid_backend.h"
#include "link/hid_events.h"

namespace dmm {

class TJvHidDevice;
class TJvHidDeviceController;

// The cable's product string.
inline constexpr char16_t kCableProduct[] = u"USB to Serial";

// The cable's set-up: report ID 0, then 2400 as a 32-bit little-endian number,
// a fixed 3 and four zeros.
inline constexpr std::array<uint8_t, 10> kCableSetupReport = {0x00, 0x60, 0x09, 0x00, 0x00,
                                                              0x03, 0x00, 0x00, 0x00, 0x00};

// The set-up report as the window's log shows it: the bytes after the report
// ID in hex, each followed by a space.
QString CableSetupText();

// Whether the device (claimed, or being offered) is a cable by the rule.
bool IsMeterCable(TJvHidDevice& device);

// The outcome of sending the set-up report.
struct CableSetup {
    bool ok = false;
    uint32_t error = 0;  // errno-style, when it failed
    QString reason;      // the system's text for error, when it failed
};
CableSetup SetUpCable(TJvHidDevice& device);

// The link watchdog, ticked every kTickMs (the window's ConTimer). The
// decoders reset the state's NoFrameTicks with every frame, and the cable's
// collection counts the idle reports in a row.
//
//  - The third tick without a frame shows the link as silent (LinkSilent).
//  - If by then 1,900 idle reports have come in a row, the cable answers but
//    the meter says nothing (MeterSilent): the window gives the link up.
//  - With a silent limit, a link without a frame for that long is reported
//    as CableSilent, once per limit: a cable that was not set up, or that
//    sends nothing at all, never reaches 1,900 idle reports.
class CableWatchdog {
  public:
    static constexpr int kTickMs = 100;
    static constexpr int32_t kIdleReportLimit = 1900;
    // dmmlog's limit.
    static constexpr int kDefaultSilentLimitMs = 10000;

    enum class Verdict { Quiet, LinkSilent, MeterSilent, CableSilent };

    // silentLimitMs 0: no CableSilent (the window).
    explicit CableWatchdog(int silentLimitMs = 0);

    Verdict tick(int32_t& noFrameTicks, int32_t& idleReports);
    // A frame came between the last two ticks. A frame in the tick right
    // after a LinkSilent is seen one tick later.
    bool frameSeen() const { return frameSeen_; }
    // Counts the silence from now (the cable was just set up).
    void restart();
    int silentLimitMs() const { return limitTicks_ * kTickMs; }

  private:
    int limitTicks_;
    int quietTicks_ = 0;
    bool frameSeen_ = false;
    int32_t left_ = 0;  // NoFrameTicks as the last tick left it
};

// The devices the application has claimed, in the controller's order, and the
// cable among them. Destroying it, or releaseAll, gives every device back
// (their readers stop first).
class MeterCable {
  public:
    explicit MeterCable(TJvHidDeviceController& controller);
    ~MeterCable();
    MeterCable(const MeterCable&) = delete;
    MeterCable& operator=(const MeterCable&) = delete;

    // Claims the controller's device at index (as OnEnumerate offers it) and
    // holds it. A device that cannot be claimed keeps its place as null, so
    // that place n is the nth device offered. Returns the device or null.
    TJvHidDevice* claim(int32_t index);
    // Claims every present device that nobody holds yet.
    void claimAll();
    // Gives every device back.
    void releaseAll();
    // Gives back every device but the cable.
    void keepCableOnly();

    size_t size() const { return held_.size(); }
    // Null for a place whose device could not be claimed, or out of range.
    TJvHidDevice* device(size_t index) const;
    // The place of the cable by the rule among the present held devices; -1
    // when there is none.
    int cableIndex() const;
    TJvHidDevice* cable() const;

    TJvHidDeviceController& controller() const { return controller_; }
    CableWatchdog& watchdog() { return watchdog_; }
    void setWatchdog(const CableWatchdog& watchdog) { watchdog_ = watchdog; }

  private:
    TJvHidDeviceController& controller_;
    std::vector<std::unique_ptr<TJvHidDevice>> held_;
    CableWatchdog watchdog_;
};

// The cable read without a window (dmmlog): found, checked, set up and read,
// watched for silence, and with reconnect taken up again after a loss. Runs
// on the thread of the event loop its controller notifies on.
//
// A loss is a read error or the cable unplugged; a silence is the
// watchdog's MeterSilent or CableSilent. Without reconnect the first loss or
// silence ends the reading (ended()). With it, a lost cable is looked for
// again at every device change (and once per silent limit), and a cable found
// is set up and read again; a silent cable gets its set-up report again once
// per silent limit and is back at its next frame.
class CableReader {
  public:
    enum class Event {
        Lost,         // detail: why (the system's text, or that it was unplugged)
        Silent,       // detail: how long without a frame
        Back,         // reading again after a loss or a silence
        SetUpFailed,  // found again, but the set-up failed; detail: the reason
    };
    struct Handlers {
        // Each input report, on the event loop's thread.
        std::function<void(uint8_t reportId, const uint8_t* data, uint16_t size)> report;
        std::function<void(Event event, const QString& detail)> event;
    };
    enum class Start { Reading, NoCable, NoAccess, SetUpFailed };

    CableReader(std::shared_ptr<HidBackend> backend, bool reconnect, int silentLimitMs,
                Handlers handlers);
    ~CableReader();
    CableReader(const CableReader&) = delete;
    CableReader& operator=(const CableReader&) = delete;

    // The first take-up; detail says why it is not Reading (the cable's path
    // for NoAccess, the reason for SetUpFailed).
    Start start(QString& detail);
    // One watchdog tick, every CableWatchdog::kTickMs, with the counters the
    // window's watchdog uses.
    void tick(int32_t& noFrameTicks, int32_t& idleReports);

    bool reading() const { return state_ == State::Reading || state_ == State::Silent; }
    bool waiting() const { return state_ == State::Waiting; }
    bool ended() const { return state_ == State::Ended; }
    TJvHidDevice* cable() const { return cables_ ? cables_->cable() : nullptr; }
    TJvHidDeviceController& controller() const { return *controller_; }

  private:
    enum class State { Idle, Reading, Silent, Waiting, Ended };

    Start takeUp(QString& detail);
    void read(TJvHidDevice& cable);
    void stopReading();
    void lose(const QString& why);
    void retry();
    void deviceChange(QObject*);
    void data(TJvHidDevice*, uint8_t reportId, const uint8_t* data, uint16_t size);
    void dataError(TJvHidDevice*, uint32_t error);
    void unplugged(TJvHidDevice*);
    void emitEvent(Event event, const QString& detail);

    bool reconnect_;
    Handlers handlers_;
    std::unique_ptr<TJvHidDeviceController> controller_;
    std::unique_ptr<MeterCable> cables_;
    State state_ = State::Idle;
    int waitTicks_ = 0;
    bool setUpFailureSaid_ = false;
};

}  // namespace dmm
