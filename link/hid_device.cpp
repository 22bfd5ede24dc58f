// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/hid_device.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "link/hid_controller.h"
#include "link/link_logging.h"

namespace dmm {

// What the read thread and the window thread share for one hand-over at a
// time. The reader fills the buffer only while the stage is Idle; the window
// thread reads it only between Pending and Idle, so the mutex orders every
// access to it.
struct HidHandOverState {
    enum class Stage { Idle, Pending, Serving };
    enum class Kind { Data, Error };

    std::mutex mutex;
    std::condition_variable changed;
    Stage stage = Stage::Idle;
    Kind kind = Kind::Data;
    bool terminate = false;
    bool finished = false;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(TJvHidDeviceReadThread::kReportCapacity);
    size_t bytes = 0;
    uint32_t error = 0;
    // Touched on the window thread only; the device stops the reader before
    // it goes, so it is alive whenever a hand-over is served.
    TJvHidDevice* device = nullptr;
    // Window thread only: the read error logged last, so that a device that
    // fails every read logs its error once, not once per SleepTime.
    uint32_t loggedError = 0;

    // Window thread: runs the handler of a pending hand-over, if there is one.
    // self is held by value because the handler may destroy the device, and
    // with it the thread object and the relay.
    static void Serve(std::shared_ptr<HidHandOverState> self);
};

// NOLINTNEXTLINE(performance-unnecessary-value-param): held by value on purpose
void HidHandOverState::Serve(std::shared_ptr<HidHandOverState> self) {
    Kind kind;
    {
        std::lock_guard lock(self->mutex);
        if (self->stage != Stage::Pending)
            return;
        self->stage = Stage::Serving;
        kind = self->kind;
    }
    // The reader is released however the handler leaves: a handler that
    // throws must not stop the reading.
    struct Release {
        HidHandOverState& state;
        ~Release() {
            {
                std::lock_guard lock(state.mutex);
                state.stage = Stage::Idle;
            }
            state.changed.notify_all();
        }
    } release{*self};

    TJvHidDevice* device = self->device;
    if (kind == Kind::Error && self->error != self->loggedError) {
        qCDebug(lcHid).noquote() << "read error" << self->error << "("
                                 << qt_error_string(int(self->error)) << ") on"
                                 << QString::fromStdString(device->InterfacePath())
                                 << "- tried again every" << device->SleepTime() << "ms";
    }
    self->loggedError = kind == Kind::Error ? self->error : 0;
    if (kind == Kind::Data) {
        // A copy: the handler may replace itself.
        const TJvHidDataEvent handler = device->DataHandler();
        if (handler)
            handler(device, self->buffer[0], self->buffer.data() + 1,
                    static_cast<uint16_t>(std::min<size_t>(self->bytes - 1, UINT16_MAX)));
    } else {
        const TJvHidDataErrorEvent handler = device->DataErrorHandler();
        if (handler)
            handler(device, self->error);
    }
}

void HidHandOverRelay::serve() {
    HidHandOverState::Serve(state_);
}

// ---------------------------------------------------------------------------
// Read thread

TJvHidDeviceReadThread::TJvHidDeviceReadThread(TJvHidDevice& device,
                                               std::unique_ptr<HidConnection> readHandle)
    : device_(device),
      readHandle_(std::move(readHandle)),
      state_(std::make_shared<HidHandOverState>()),
      relay_(std::make_unique<HidHandOverRelay>(state_)) {
    state_->device = &device;
    thread_ = std::thread([this] { execute(); });
}

TJvHidDeviceReadThread::~TJvHidDeviceReadThread() {
    stop();
}

bool TJvHidDeviceReadThread::handOverPending() const {
    std::lock_guard lock(state_->mutex);
    return state_->stage == HidHandOverState::Stage::Pending;
}

bool TJvHidDeviceReadThread::terminating() {
    std::lock_guard lock(state_->mutex);
    return state_->terminate;
}

void TJvHidDeviceReadThread::execute() {
    HidHandOverState& s = *state_;
    while (!terminating()) {
        std::fill(s.buffer.begin(), s.buffer.end(), uint8_t{0});
        if (!device_.readHandleOpen_.load() || !readHandle_) {
            if (!handOverError(EBADF))
                break;
            continue;
        }
        const HidReadResult read =
            readHandle_->read(s.buffer.data(), s.buffer.size(), device_.SleepTime());
        if (read.error != 0) {
            if (!handOverError(read.error))
                break;
        } else if (read.size >= 1) {
            if (!handOverData(std::min(read.size, s.buffer.size())))
                break;
        }
    }
    {
        std::lock_guard lock(s.mutex);
        s.finished = true;
    }
    s.changed.notify_all();
}

bool TJvHidDeviceReadThread::handOverData(size_t bytes) {
    {
        std::lock_guard lock(state_->mutex);
        state_->kind = HidHandOverState::Kind::Data;
        state_->bytes = bytes;
    }
    return handOver();
}

bool TJvHidDeviceReadThread::handOverError(uint32_t error) {
    {
        std::lock_guard lock(state_->mutex);
        state_->kind = HidHandOverState::Kind::Error;
        state_->error = error;
    }
    if (!handOver())
        return false;
    // A device that fails every read would otherwise flood the window with
    // errors as fast as the failures come back.
    std::unique_lock lock(state_->mutex);
    const auto pause = std::chrono::milliseconds(device_.SleepTime());
    return !state_->changed.wait_for(lock, pause, [this] { return state_->terminate; });
}

bool TJvHidDeviceReadThread::handOver() {
    using Stage = HidHandOverState::Stage;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->terminate)
            return false;
        state_->stage = Stage::Pending;
    }
    // Wakes the window thread; whichever comes first, this call or a stop,
    // serves the hand-over, and the later one finds nothing to do.
    QMetaObject::invokeMethod(relay_.get(), "serve", Qt::QueuedConnection);
    std::unique_lock lock(state_->mutex);
    // A stop serves what is pending, so the reader waits for that too; a
    // stop from inside the handler being served releases the reader at once,
    // as that handler cannot finish before the stop does.
    state_->changed.wait(lock, [this] {
        return state_->stage == Stage::Idle ||
               (state_->terminate && state_->stage != Stage::Pending);
    });
    return !state_->terminate;
}

std::exception_ptr TJvHidDeviceReadThread::stop() {
    if (!thread_.joinable())
        return {};
    {
        std::lock_guard lock(state_->mutex);
        state_->terminate = true;
    }
    state_->changed.notify_all();
    std::exception_ptr failure;
    for (;;) {
        {
            std::unique_lock lock(state_->mutex);
            state_->changed.wait(lock, [this] {
                return state_->finished || state_->stage == HidHandOverState::Stage::Pending;
            });
            if (state_->finished)
                break;
        }
        try {
            HidHandOverState::Serve(state_);
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    thread_.join();
    return failure;
}

// ---------------------------------------------------------------------------
// Device

namespace {

constexpr size_t kStringEntries = 254;  // 508-byte string buffers

// A device string as its buffer holds it: up to the first NUL, at most the
// buffer's length.
QString BufferText(const char16_t* text, size_t size) {
    const size_t n = std::min(size, kStringEntries);
    const size_t end = std::find(text, text + n, u'\0') - text;
    return QString::fromUtf16(text, static_cast<qsizetype>(end));
}

}  // namespace

QString AcceptedSerial(const std::u16string& serial,
                       const std::optional<std::vector<uint16_t>>& languages) {
    std::array<char16_t, kStringEntries> serialBuffer{};
    std::copy_n(serial.begin(), std::min(serial.size(), kStringEntries), serialBuffer.begin());
    std::array<uint16_t, kStringEntries> languageBuffer;
    languageBuffer.fill(0xFFFF);
    if (languages) {
        const size_t n = std::min(languages->size(), kStringEntries);
        std::copy_n(languages->begin(), n, languageBuffer.begin());
        if (n < kStringEntries)
            languageBuffer[n] = 0;
    }
    // The list ends at its last entry that was written: a NUL there is the
    // terminator, not part of the list.
    size_t length = 0;
    for (size_t i = kStringEntries; i-- > 0;) {
        if (languageBuffer[i] != 0xFFFF) {
            length = languageBuffer[i] == 0 ? i : i + 1;
            break;
        }
    }
    for (size_t i = 0; i < length; ++i) {
        if (serialBuffer[i] != languageBuffer[i])
            return BufferText(serialBuffer.data(), serialBuffer.size());
    }
    return {};
}

void PostToEventLoop(const std::exception_ptr& failure) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !failure)
        return;
    QMetaObject::invokeMethod(
        app, [failure] { std::rethrow_exception(failure); }, Qt::QueuedConnection);
}

TJvHidDevice::TJvHidDevice(const HidDeviceInfo& pnp, TJvHidDeviceController& controller,
                           std::shared_ptr<HidBackend> backend)
    : controller_(&controller), backend_(std::move(backend)), pnp_(pnp) {
    SetDataHandler(controller.OnDeviceData());
    unplugHandler_ = controller.OnDeviceUnplug();
    mainHandle_ = Open();
    if (!mainHandle_)
        throw EControllerError("device cannot be opened");
    const std::optional<HidAttributes> attributes = mainHandle_->attributes();
    if (!attributes)
        throw EControllerError("device cannot be identified");
    attributes_ = *attributes;
    CloseMainHandle();
}

TJvHidDevice::~TJvHidDevice() {
    const TJvHidDataEvent dataHandler = dataHandler_;
    const TJvHidPlugEvent unplugHandler = unplugHandler_;
    const std::exception_ptr failure = StopReadThread();
    dataHandler_ = {};
    unplugHandler_ = {};
    CloseHandles();
    if (controller_)
        controller_->GiveBack(this, dataHandler, unplugHandler);
    PostToEventLoop(failure);
}

std::unique_ptr<HidConnection> TJvHidDevice::Open() {
    std::unique_ptr<HidConnection> handle = backend_ ? backend_->open(pnp_) : nullptr;
    readWriteAccess_ = handle && handle->readWriteAccess();
    return handle;
}

bool TJvHidDevice::OpenMainHandle() {
    if (IsReachable() && !mainHandle_)
        mainHandle_ = Open();
    return mainHandle_ != nullptr;
}

void TJvHidDevice::CloseHandles() {
    CloseMainHandle();
    readHandleOpen_.store(false);
}

QString TJvHidDevice::ProductText() {
    if (productText_.isEmpty() && OpenMainHandle()) {
        if (const std::optional<std::u16string> text = mainHandle_->productString())
            productText_ = BufferText(text->data(), text->size());
        CloseMainHandle();
    }
    return productText_;
}

QString TJvHidDevice::SerialText() {
    if (serialText_.isEmpty() && OpenMainHandle()) {
        if (const std::optional<std::u16string> serial = mainHandle_->serialString())
            serialText_ = AcceptedSerial(*serial, mainHandle_->languageIds());
        CloseMainHandle();
    }
    return serialText_;
}

bool TJvHidDevice::SendFeatureReport(const uint8_t* report, size_t size) {
    featureReportError_ = 0;
    if (!report || size == 0) {
        featureReportError_ = EINVAL;
        return false;
    }
    if (!OpenMainHandle()) {
        featureReportError_ = ENODEV;
        return false;
    }
    if (mainHandle_->sendFeatureReport(report, size))
        return true;
    featureReportError_ = mainHandle_->featureReportError();
    if (featureReportError_ == 0)
        featureReportError_ = EIO;
    return false;
}

void TJvHidDevice::SetSleepTime(int32_t ms) {
    if (ms >= kMinSleepTime && ms <= kMaxSleepTime)
        sleepTime_.store(ms);
}

void TJvHidDevice::SetDataHandler(const TJvHidDataEvent& handler) {
    std::exception_ptr failure;
    if (!handler) {
        const std::weak_ptr<char> watch = life_;
        failure = StopReadThread();
        // A handler served while stopping may have given this device back.
        if (watch.expired()) {
            if (failure)
                std::rethrow_exception(failure);
            return;
        }
    }
    dataHandler_ = handler;
    StartReading();
    if (failure)
        std::rethrow_exception(failure);
}

void TJvHidDevice::StartReading() {
    if (!dataHandler_ || !Present() || !Claimed() || !readWriteAccess_ || thread_ || stopping_)
        return;
    // Opened here rather than by the thread, so that every call but the read
    // itself stays on the window thread.
    std::unique_ptr<HidConnection> readHandle = backend_ ? backend_->open(pnp_) : nullptr;
    if (readHandle && !readHandle->readWriteAccess())
        readHandle.reset();
    readHandleOpen_.store(readHandle != nullptr);
    thread_ = std::make_unique<TJvHidDeviceReadThread>(*this, std::move(readHandle));
}

std::exception_ptr TJvHidDevice::StopReadThread() {
    if (!thread_ || stopping_)
        return {};
    stopping_ = true;
    const std::weak_ptr<char> watch = life_;
    // Taken out first: a handler served while stopping sees no thread.
    std::unique_ptr<TJvHidDeviceReadThread> thread = std::move(thread_);
    std::exception_ptr failure = thread->stop();
    thread.reset();
    if (!watch.expired()) {
        stopping_ = false;
        readHandleOpen_.store(false);
    }
    return failure;
}

void TJvHidDevice::MarkUnplugged() {
    CloseHandles();
    present_.store(false);
    const TJvHidPlugEvent handler = std::exchange(unplugHandler_, {});
    if (handler)
        handler(this);
}

}  // namespace dmm
