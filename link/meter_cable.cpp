// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/meter_cable.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "link/hid_controller.h"
#include "link/hid_device.h"

namespace dmm {

QString CableSetupText() {
    QString line;
    for (size_t i = 1; i < kCableSetupReport.size(); ++i)
        line += QString::asprintf("%.2X ", unsigned(kCableSetupReport[i]));
    return line;
}

bool IsMeterCable(TJvHidDevice& device) {
    return device.ProductText() == QString::fromUtf16(kCableProduct) &&
           device.SerialText().isEmpty();
}

CableSetup SetUpCable(TJvHidDevice& device) {
    CableSetup result;
    result.ok = device.SendFeatureReport(kCableSetupReport.data(), kCableSetupReport.size());
    if (!result.ok) {
        result.error = device.FeatureReportError();
        result.reason = HidErrorText(result.error);
    }
    return result;
}

// --- The watchdog ------------------------------------------------------------

CableWatchdog::CableWatchdog(int silentLimitMs)
    : limitTicks_(silentLimitMs > 0 ? (silentLimitMs + kTickMs - 1) / kTickMs : 0) {}

void CableWatchdog::restart() {
    quietTicks_ = 0;
    frameSeen_ = false;
}

CableWatchdog::Verdict CableWatchdog::tick(int32_t& noFrameTicks, int32_t& idleReports) {
    // The decoders set the count back to 0 with every frame.
    frameSeen_ = noFrameTicks < left_;
    quietTicks_ = frameSeen_ ? 0 : quietTicks_ + 1;
    Verdict verdict = Verdict::LinkSilent;
    if (noFrameTicks != 2) {
        ++noFrameTicks;
        verdict = Verdict::Quiet;
    } else {
        noFrameTicks = 0;
        if (idleReports >= kIdleReportLimit) {
            idleReports = 0;
            verdict = Verdict::MeterSilent;
        }
    }
    left_ = noFrameTicks;
    if (verdict != Verdict::MeterSilent && limitTicks_ > 0 && quietTicks_ >= limitTicks_) {
        quietTicks_ = 0;
        return Verdict::CableSilent;
    }
    return verdict;
}

// --- The claimed devices -----------------------------------------------------

MeterCable::MeterCable(TJvHidDeviceController& controller) : controller_(controller) {}

MeterCable::~MeterCable() {
    releaseAll();
}

TJvHidDevice* MeterCable::claim(int32_t index) {
    TJvHidDevice* claimed = nullptr;
    controller_.ClaimByIndex(claimed, index);
    held_.emplace_back(claimed);
    return claimed;
}

void MeterCable::claimAll() {
    const std::vector<TJvHidDevice*>& list = controller_.DeviceList();
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i]->Present() && !list[i]->Claimed())
            claim(static_cast<int32_t>(i));
    }
}

void MeterCable::releaseAll() {
    // Taken out of the list first: a handler served while a reader stops
    // may look at the list, or claim anew.
    std::vector<std::unique_ptr<TJvHidDevice>> devices = std::exchange(held_, {});
    for (auto& device : devices)
        device.reset();
}

void MeterCable::keepCableOnly() {
    const int keep = cableIndex();
    std::unique_ptr<TJvHidDevice> cable =
        keep >= 0 ? std::move(held_[static_cast<size_t>(keep)]) : nullptr;
    releaseAll();
    if (cable)
        held_.push_back(std::move(cable));
}

TJvHidDevice* MeterCable::device(size_t index) const {
    return index < held_.size() ? held_[index].get() : nullptr;
}

int MeterCable::cableIndex() const {
    for (size_t i = held_.size(); i-- > 0;) {
        TJvHidDevice* d = held_[i].get();
        if (d && d->Present() && IsMeterCable(*d))
            return static_cast<int>(i);
    }
    return -1;
}

TJvHidDevice* MeterCable::cable() const {
    const int index = cableIndex();
    return index >= 0 ? held_[static_cast<size_t>(index)].get() : nullptr;
}

// --- The cable read without a window -----------------------------------------

CableReader::CableReader(std::shared_ptr<HidBackend> backend, bool reconnect, int silentLimitMs,
                         Handlers handlers)
    : reconnect_(reconnect),
      handlers_(std::move(handlers)),
      controller_(std::make_unique<TJvHidDeviceController>(nullptr, std::move(backend))),
      cables_(std::make_unique<MeterCable>(*controller_)) {
    cables_->setWatchdog(CableWatchdog(silentLimitMs));
    controller_->SetOnDeviceChange(TNotifyEvent(this, &CableReader::deviceChange));
}

CableReader::~CableReader() {
    state_ = State::Ended;
    controller_->SetOnDeviceChange({});
    cables_.reset();  // the readers stop before the controller goes
    controller_.reset();
}

CableReader::Start CableReader::start(QString& detail) {
    const Start result = takeUp(detail);
    if (result != Start::Reading)
        state_ = State::Ended;
    return result;
}

CableReader::Start CableReader::takeUp(QString& detail) {
    cables_->releaseAll();
    cables_->claimAll();
    cables_->keepCableOnly();
    TJvHidDevice* found = cables_->cable();
    if (!found)
        return Start::NoCable;
    if (!found->ReadWriteAccess()) {
        detail = QString::fromStdString(found->InterfacePath());
        return Start::NoAccess;
    }
    const CableSetup setup = SetUpCable(*found);
    if (!setup.ok) {
        detail = setup.reason;
        return Start::SetUpFailed;
    }
    read(*found);
    return Start::Reading;
}

void CableReader::read(TJvHidDevice& cable) {
    state_ = State::Reading;
    waitTicks_ = 0;
    setUpFailureSaid_ = false;
    cables_->watchdog().restart();
    cable.SetDataErrorHandler(TJvHidDataErrorEvent(this, &CableReader::dataError));
    cable.SetUnplugHandler(TJvHidPlugEvent(this, &CableReader::unplugged));
    cable.SetDataHandler(TJvHidDataEvent(this, &CableReader::data));
}

void CableReader::stopReading() {
    // Every held device: a cable being unplugged is no longer found as one.
    for (size_t i = 0; i < cables_->size(); ++i) {
        if (TJvHidDevice* d = cables_->device(i))
            d->SetDataHandler(TJvHidDataEvent());
    }
}

void CableReader::lose(const QString& why) {
    if (!reading())
        return;
    state_ = reconnect_ ? State::Waiting : State::Ended;
    waitTicks_ = 0;
    // Also from inside the cable's own handler: the device lets a reader
    // stop there. The device itself is given back at the next take-up.
    stopReading();
    emitEvent(Event::Lost, why);
}

// Looks for the cable again while waiting.
void CableReader::retry() {
    QString detail;
    switch (takeUp(detail)) {
        case Start::Reading:
            emitEvent(Event::Back, {});
            return;
        case Start::NoCable:
            state_ = State::Waiting;
            return;
        case Start::NoAccess:
            detail = QStringLiteral("no read and write access to %1").arg(detail);
            break;
        case Start::SetUpFailed:
            break;
    }
    state_ = State::Waiting;
    // Said once while waiting; it is tried again all the same.
    if (!setUpFailureSaid_) {
        setUpFailureSaid_ = true;
        emitEvent(Event::SetUpFailed, detail);
    }
}

void CableReader::tick(int32_t& noFrameTicks, int32_t& idleReports) {
    const CableWatchdog::Verdict verdict = cables_->watchdog().tick(noFrameTicks, idleReports);
    const bool silent = verdict == CableWatchdog::Verdict::MeterSilent ||
                        verdict == CableWatchdog::Verdict::CableSilent;
    switch (state_) {
        case State::Reading:
            if (!silent)
                return;
            if (!reconnect_) {
                state_ = State::Ended;
                stopReading();
            } else {
                state_ = State::Silent;
                if (TJvHidDevice* c = cable())
                    SetUpCable(*c);
            }
            emitEvent(Event::Silent,
                      QStringLiteral("%1 s").arg(cables_->watchdog().silentLimitMs() / 1000));
            return;
        case State::Silent:
            if (cables_->watchdog().frameSeen()) {
                state_ = State::Reading;
                emitEvent(Event::Back, {});
            } else if (silent) {
                if (TJvHidDevice* c = cable())
                    SetUpCable(*c);
            }
            return;
        case State::Waiting: {
            const int limit = std::max(cables_->watchdog().silentLimitMs(), 1000);
            if (++waitTicks_ * CableWatchdog::kTickMs >= limit) {
                waitTicks_ = 0;
                retry();
            }
            return;
        }
        case State::Idle:
        case State::Ended:
            return;
    }
}

void CableReader::deviceChange(QObject*) {
    if (state_ == State::Waiting)
        retry();
}

void CableReader::data(TJvHidDevice*, uint8_t reportId, const uint8_t* data, uint16_t size) {
    if (reading() && handlers_.report)
        handlers_.report(reportId, data, size);
}

void CableReader::dataError(TJvHidDevice*, uint32_t error) {
    lose(HidErrorText(error));
}

void CableReader::unplugged(TJvHidDevice*) {
    lose(QStringLiteral("unplugged"));
}

void CableReader::emitEvent(Event event, const QString& detail) {
    if (handlers_.event)
        handlers_.event(event, detail);
}

}  // namespace dmm
