// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serial_port_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "link/serial_custom_rate.h"

#include "link/link_logging.h"

namespace dmm {

namespace {

constexpr std::array<int32_t, 13> kBaudRates = {110,   300,   600,   1200,  2400,  4800,  9600,
                                                14400, 19200, 38400, 56000, 57600, 115200};

// The terminal's speed constant for a rate it names; B0 for one it does not
// (14400 and 56000 are set as custom rates).
speed_t SpeedConstant(int32_t rate) {
    switch (rate) {
        case 110:
            return B110;
        case 300:
            return B300;
        case 600:
            return B600;
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

tcflag_t CharacterSize(TComPortDataBits bits) {
    switch (bits) {
        case db5BITS:
            return CS5;
        case db6BITS:
            return CS6;
        case db7BITS:
            return CS7;
        default:
            return CS8;
    }
}

// A hung-up terminal polls readable for ever while every read fails or comes
// back empty; only the poll flags tell it from a quiet line.
bool LineHungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
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
    if (!OpenDevice(name)) {
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

bool TCommPortDriver::OpenDevice(const QString& name) {
    const QByteArray path = QFile::encodeName(name);
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        openError_ = SystemText(error);
        openDenied_ = error == EACCES || error == EPERM;
        return false;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        openError_ = QStringLiteral("not a serial port (no terminal device)");
        return false;
    }
    // One opener at a time, as a serial port allows: a lock every opener
    // that plays by the rules takes, and the terminal's own exclusive mode
    // against the rest.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        openError_ = QStringLiteral("the port is in use by another program");
        return false;
    }
    ::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    return true;
}

void TCommPortDriver::CloseDevice() {
    if (fd_ < 0)
        return;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // drops the lock too
    fd_ = -1;
}

void TCommPortDriver::ClosePort() {
    if (!open_)
        return;
    pollTimer_.stop();
    reopenTimer_.stop();
    CloseDevice();  // already closed if the line went away
    open_ = false;
    hungUp_ = false;
}

void TCommPortDriver::SetModemLine(int line, bool on) {
    // A pseudo-terminal has no modem lines: the call is refused and ignored.
    ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line);
}

// Raw 8-bit input, every byte as it comes, with the receiver on and the
// modem's carrier ignored. A setting the device refuses (a pseudo-terminal
// has no DTR, an adapter may lack a rate) is left as the device has it.
void TCommPortDriver::ApplyPortSettings() {
    if (fd_ < 0)
        return;
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0)
        return;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    tio.c_cflag |= CharacterSize(dataBits_);
    switch (parity_) {
        case ptODD:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case ptEVEN:
            tio.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case ptMARK:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case ptSPACE:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
#endif
        default:
            break;
    }
    // One and a half stop bits exist only for 5-bit characters, where the
    // terminal's two stop bits mean just that.
    if (stopBits_ == sb2BITS || (stopBits_ == sb1HALFBITS && dataBits_ == db5BITS))
        tio.c_cflag |= CSTOPB;
    if (hwHandshaking_ == hhRTSCTS)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    if (swHandshaking_ == shXONXOFF)
        tio.c_iflag |= IXON | IXOFF;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const int32_t rate = BaudRateOf(speed_);
    const speed_t speed = SpeedConstant(rate);
    if (speed != B0)
        ::cfsetspeed(&tio, speed);
    ::tcsetattr(fd_, TCSANOW, &tio);
    if (speed == B0 && rate > 0)
        SetCustomRate(fd_, rate);
    SetModemLine(TIOCM_DTR, enableDtr_);
    if (hwHandshaking_ != hhRTSCTS)
        SetModemLine(TIOCM_RTS, false);
    PurgePortBuffers(true, true);
}

void TCommPortDriver::PurgePortBuffers(bool input, bool output) {
    if (fd_ < 0 || (!input && !output))
        return;
    ::tcflush(fd_, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
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

// A line that has hung up delivers nothing more: the system drops its queue
// at the hang-up.
qint64 TCommPortDriver::ReadQueued() {
    if (LineHungUp(fd_))
        return 0;
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_.get(), inBufSize_);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return 0;  // nothing queued (EAGAIN), or the line is failing
    }
}

void TCommPortDriver::PollReceive() {
    if (fd_ < 0)
        return;  // closed, or the line is gone
    const qint64 count = ReadQueued();
    if (count <= 0) {
        // A quiet poll is the moment to look whether the line is still there.
        CheckLine();
        return;
    }
    if (OnReceiveData)
        OnReceiveData(this, buffer_.get(), int32_t(count));
}

// A line that has gone away is closed underneath: nothing polls it and
// nothing spins. The driver itself stays open and silent until ClosePort.
void TCommPortDriver::CheckLine() {
    if (fd_ < 0 || !LineHungUp(fd_))
        return;
    qCDebug(lcLink).noquote() << openedName_ << "hung up";
    CloseDevice();
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
    if (name.isEmpty() || !OpenDevice(name))
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
