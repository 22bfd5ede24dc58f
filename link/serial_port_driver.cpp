// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serial_port_driver.h"

#include <QFileInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <array>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "link/link_logging.h"

namespace dmm {

namespace {

constexpr std::array<int32_t, 13> kBaudRates = {110,   300,   600,   1200,  2400,  4800,  9600,
                                                14400, 19200, 38400, 56000, 57600, 115200};

QSerialPort::Parity QtParity(TComPortParity parity) {
    switch (parity) {
        case ptODD:
            return QSerialPort::OddParity;
        case ptEVEN:
            return QSerialPort::EvenParity;
        case ptMARK:
            return QSerialPort::MarkParity;
        case ptSPACE:
            return QSerialPort::SpaceParity;
        default:
            return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits QtStopBits(TComPortStopBits bits) {
    switch (bits) {
        case sb1HALFBITS:
            return QSerialPort::OneAndHalfStop;
        case sb2BITS:
            return QSerialPort::TwoStop;
        default:
            return QSerialPort::OneStop;
    }
}

// A hung-up terminal polls readable for ever while every read fails or comes
// back empty; only the poll flags tell it from a quiet line.
bool LineHungUp([[maybe_unused]] const QSerialPort& port) {
#ifdef Q_OS_UNIX
    pollfd p{port.handle(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
    return false;  // a failed read just ends that poll
#endif
}

}  // namespace

int32_t BaudRateOf(TComPortBaudRate rate) {
    return size_t(rate) < kBaudRates.size() ? kBaudRates[size_t(rate)] : 0;
}

QString DefaultPortName(TComPortNumber port) {
#ifdef Q_OS_WIN
    return QStringLiteral("COM") + QString::number(int(port) + 1);
#else
    const QString number = QString::number(int(port));
    QString path;
    for (const char* stem : {"/dev/ttyUSB", "/dev/ttyACM", "/dev/ttyS"}) {
        path = QLatin1String(stem) + number;
        if (QFileInfo::exists(path))
            break;
    }
    return path;
#endif
}

TCommPortDriver::TCommPortDriver(QObject* owner)
    : QObject(owner),
      pollTimer_(this),
      reopenTimer_(this),
      buffer_(std::make_unique<uint8_t[]>(inBufSize_)),
      resolveName_(DefaultPortName) {
    pollTimer_.setObjectName(QStringLiteral("pollTimer"));  // tests watch it by name
    connect(&pollTimer_, &QTimer::timeout, this, &TCommPortDriver::PollReceive);
    reopenTimer_.setObjectName(QStringLiteral("reopenTimer"));
    connect(&reopenTimer_, &QTimer::timeout, this, &TCommPortDriver::TryReopen);
    // The poll takes the bytes; QSerialPort's readyRead is left unconnected.
    connect(&port_, &QSerialPort::errorOccurred, this, &TCommPortDriver::ReadErrorOccurred);
}

TCommPortDriver::~TCommPortDriver() {
    ClosePort();
}

bool TCommPortDriver::OpenPort() {
    if (open_)
        return true;
    const QString name = resolveName_(comPort_);
    openedName_ = name;
    openError_.clear();
    openDenied_ = false;
    if (name.isEmpty()) {
        openError_ = QStringLiteral("no device stands for this port");
        qCDebug(lcLink).noquote() << "COM" << int(comPort_) + 1 << "cannot open:" << openError_;
        return false;
    }
    port_.setPortName(name);
    // Exclusive: QSerialPort locks the device against every other opener.
    if (!port_.open(QIODevice::ReadWrite)) {
        openError_ = port_.errorString();
        openDenied_ = port_.error() == QSerialPort::PermissionError;
        qCDebug(lcLink).noquote() << name << "cannot open:" << openError_;
        return false;
    }
    qCDebug(lcLink).noquote() << name << "is open";
    open_ = true;
    hungUp_ = false;
    ApplyPortSettings();
    StartPolling();
    return true;
}

void TCommPortDriver::ClosePort() {
    if (!open_)
        return;
    pollTimer_.stop();
    reopenTimer_.stop();
    port_.close();  // already closed if the line went away
    open_ = false;
    hungUp_ = false;
}

void TCommPortDriver::ApplyPortSettings() {
    if (!port_.isOpen())
        return;
    // Every call below may be refused (a pseudo-terminal has no DTR, an
    // adapter may lack a rate); the port keeps what it accepted.
    port_.setBaudRate(BaudRateOf(speed_));
    port_.setDataBits(QSerialPort::DataBits(5 + std::min<int>(dataBits_, db8BITS)));
    port_.setParity(QtParity(parity_));
    port_.setStopBits(QtStopBits(stopBits_));
    port_.setFlowControl(hwHandshaking_ == hhRTSCTS ? QSerialPort::HardwareControl
                                                    : QSerialPort::NoFlowControl);
    SetTerminalFlags();
    port_.setDataTerminalReady(enableDtr_);
    if (hwHandshaking_ != hhRTSCTS)
        port_.setRequestToSend(false);
    PurgePortBuffers(true, true);
    port_.setReadBufferSize(ReadBufferSize());
    QuietReadNotifier();  // a new buffer size turns it back on
}

// QSerialPort takes bytes from the system as they come, waking the event loop
// for each; at 2400 baud a UART or a USB adapter that passes bytes on one by
// one costs as much in wake-ups as the whole window does. Where the poll can
// read the system's queue itself, QSerialPort's notifier is kept off (see
// QuietReadNotifier) and its buffer holds one byte at most. Elsewhere its
// buffer is the input queue: it stops taking bytes when full and leaves the
// rest with the system until a poll makes room; an unlimited one (size 0)
// would grow for ever.
qint64 TCommPortDriver::ReadBufferSize() const {
#ifdef Q_OS_UNIX
    return 1;
#else
    return std::max<qint64>(inBufSize_, 1);
#endif
}

// What QSerialPort holds comes first, then what the system holds. A line
// that has hung up delivers nothing more: the system drops its queue at the
// hang-up, and the byte QSerialPort kept goes the same way.
qint64 TCommPortDriver::ReadQueued() {
    char* const buffer = reinterpret_cast<char*>(buffer_.get());
#ifdef Q_OS_UNIX
    if (LineHungUp(port_))
        return 0;
#endif
    qint64 count = 0;
#ifdef Q_OS_UNIX
    if (port_.bytesAvailable() > 0) {
        count = port_.read(buffer, inBufSize_);
        QuietReadNotifier();  // reading QSerialPort turns it back on
    }
    if (count >= 0 && count < inBufSize_) {
        const ssize_t more = ::read(port_.handle(), buffer + count, size_t(inBufSize_ - count));
        if (more > 0)
            count += more;
    }
#else
    count = port_.read(buffer, inBufSize_);
#endif
    return count;
}

// Where the poll reads the system's queue itself, QSerialPort's read notifier
// would only wake the event loop as each byte arrives, to take that one byte.
// It stays off: QSerialPort turns it on again only when it is opened, given a
// buffer size or read, and the poll reads it only while it still holds a byte. Should the notifier
// not be found, the one-byte buffer still bounds what it costs.
void TCommPortDriver::QuietReadNotifier() {
#ifdef Q_OS_UNIX
    for (QSocketNotifier* notifier : port_.findChildren<QSocketNotifier*>()) {
        if (notifier->type() == QSocketNotifier::Read)
            notifier->setEnabled(false);
    }
#endif
}

// What QSerialPort's setters cannot express goes to the terminal directly:
// both handshakes at once (it has a single flow-control choice), and plain
// parity after mark or space (it leaves the stick-parity flag set).
void TCommPortDriver::SetTerminalFlags() {
#ifdef Q_OS_UNIX
    termios tio{};
    if (::tcgetattr(port_.handle(), &tio) != 0)
        return;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    if (swHandshaking_ == shXONXOFF)
        tio.c_iflag |= IXON | IXOFF;
#ifdef CMSPAR
    if (parity_ != ptMARK && parity_ != ptSPACE)
        tio.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    ::tcsetattr(port_.handle(), TCSANOW, &tio);
#else
    if (swHandshaking_ == shXONXOFF && hwHandshaking_ != hhRTSCTS)
        port_.setFlowControl(QSerialPort::SoftwareControl);
#endif
}

void TCommPortDriver::PurgePortBuffers(bool input, bool output) {
    if (!port_.isOpen())
        return;
    QSerialPort::Directions directions;
    if (input)
        directions |= QSerialPort::Input;
    if (output)
        directions |= QSerialPort::Output;
    if (directions)
        port_.clear(directions);
}

void TCommPortDriver::setComPort(TComPortNumber port) {
    if (!open_)
        comPort_ = port;
}

void TCommPortDriver::setComPortSpeed(TComPortBaudRate speed) {
    speed_ = speed;
    if (open_)
        ApplyPortSettings();
}

void TCommPortDriver::setComPortDataBits(TComPortDataBits bits) {
    dataBits_ = bits;
    if (open_)
        ApplyPortSettings();
}

void TCommPortDriver::setComPortStopBits(TComPortStopBits bits) {
    stopBits_ = bits;
    if (open_)
        ApplyPortSettings();
}

void TCommPortDriver::setComPortParity(TComPortParity parity) {
    parity_ = parity;
    if (open_)
        ApplyPortSettings();
}

void TCommPortDriver::setComPortHwHandshaking(TComPortHwHandshaking handshaking) {
    hwHandshaking_ = handshaking;
    if (open_)
        ApplyPortSettings();
}

void TCommPortDriver::setComPortSwHandshaking(TComPortSwHandshaking handshaking) {
    swHandshaking_ = handshaking;
    if (open_)
        ApplyPortSettings();
}

void TCommPortDriver::setComPortInBufSize(uint16_t size) {
    if (open_)
        return;
    inBufSize_ = size;
    buffer_.reset();
    buffer_ = std::make_unique<uint8_t[]>(size);
}

void TCommPortDriver::setComPortPollingDelay(uint16_t delay) {
    if (delay == pollingDelay_)
        return;
    pollingDelay_ = delay;
    if (open_) {
        pollTimer_.stop();
        StartPolling();
    }
}

void TCommPortDriver::setPortNameResolver(PortNameResolver resolver) {
    resolveName_ = resolver ? std::move(resolver) : PortNameResolver(DefaultPortName);
}

void TCommPortDriver::StartPolling() {
    // A zero period would poll on every pass of the event loop.
    pollTimer_.start(std::max<int>(pollingDelay_, 1));
}

void TCommPortDriver::PollReceive() {
    if (!port_.isOpen())
        return;  // closed, or the line is gone
    const qint64 count = ReadQueued();
    if (count <= 0) {
        // Not every Qt version reports a hung-up line as a read error; a quiet
        // poll is the moment to look.
        CheckLine();
        return;
    }
    if (OnReceiveData)
        OnReceiveData(this, buffer_.get(), int32_t(count));
}

// QSerialPort reports a hung-up line on every pass of the event loop and keeps
// its read notifier armed, so the loop would spin. The check runs queued: the
// error comes from inside the notifier, which closing the port deletes.
void TCommPortDriver::ReadErrorOccurred(QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError)
        return;
    if (lineCheckQueued_)
        return;
    lineCheckQueued_ = true;
    QMetaObject::invokeMethod(this, &TCommPortDriver::CheckLine, Qt::QueuedConnection);
}

// A line that has gone away is closed underneath: no notifier, no spinning.
// The driver itself stays open and silent until ClosePort.
void TCommPortDriver::CheckLine() {
    lineCheckQueued_ = false;
    if (!port_.isOpen() || !LineHungUp(port_))
        return;
    qCDebug(lcLink).noquote() << port_.portName() << "hung up";
    port_.close();
    hungUp_ = true;
    if (reopenMs_ > 0)
        reopenTimer_.start(reopenMs_);
    if (OnHangUp)
        OnHangUp(this);
}

void TCommPortDriver::setReopenAfterHangUp(int reopenMs) {
    reopenMs_ = std::max(reopenMs, 0);
    if (reopenMs_ == 0)
        reopenTimer_.stop();
}

// The device is looked up again, as at the first opening: an adapter plugged
// back may have come back under the same port but another node. The bytes of
// the frame the hang-up cut are still in the collection; the frame rules drop
// that run when the first new frame ends it.
void TCommPortDriver::TryReopen() {
    if (!open_ || !hungUp_) {
        reopenTimer_.stop();
        return;
    }
    const QString name = resolveName_(comPort_);
    if (name.isEmpty())
        return;
    port_.setPortName(name);
    if (!port_.open(QIODevice::ReadWrite))
        return;
    openedName_ = name;
    qCDebug(lcLink).noquote() << name << "is back after the hang-up";
    reopenTimer_.stop();
    hungUp_ = false;
    ApplyPortSettings();
    if (OnLineBack)
        OnLineBack(this);
}

}  // namespace dmm
