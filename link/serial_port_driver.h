// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The RS-232 link to the meter. The driver opens one of the ports COM1..COM4
// (a terminal device it owns itself, through the system's terminal
// interface), sets the line, and then polls it from a timer on the owner's
// thread: every poll takes whatever bytes have arrived, without waiting, and
// hands them in one piece to OnReceiveData. Nothing is ever sent to the
// meter, there is no thread, and the line never wakes the event loop between
// polls. A port that cannot be opened stays closed and says why (OpenError).
//
// The line can go away under an open port (a USB adapter pulled, the far end
// of a pseudo-terminal closed). The driver then keeps counting as open and
// simply receives nothing until it is closed; a later open starts afresh.

#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>

namespace dmm {

// Ordinals count from 0 in the order listed; they are stored in settings.
enum TComPortNumber : uint8_t { pnCOM1, pnCOM2, pnCOM3, pnCOM4 };
enum TComPortBaudRate : uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200
};
enum TComPortDataBits : uint8_t { db5BITS, db6BITS, db7BITS, db8BITS };  // ordinal + 5 bits
enum TComPortStopBits : uint8_t { sb1BITS, sb1HALFBITS, sb2BITS };
enum TComPortParity : uint8_t { ptNONE, ptODD, ptEVEN, ptMARK, ptSPACE };
enum TComPortHwHandshaking : uint8_t { hhNONE, hhRTSCTS };
enum TComPortSwHandshaking : uint8_t { shNONE, shXONXOFF };

// The baud rate a member stands for; 0 for a value outside the table.
int32_t BaudRateOf(TComPortBaudRate rate);

// The device port COMn opens. On Linux the first that exists of
// /dev/ttyUSB{n-1}, /dev/ttyACM{n-1} and /dev/ttyS{n-1} (the last one when
// none does, so that opening it fails); on Windows COMn itself.
QString DefaultPortName(TComPortNumber port);

// What to tell a user who may not open a serial port, on Debian and its kin.
inline constexpr const char* kSerialAccessHint =
    "Serial ports belong to the dialout group: join it with \"sudo adduser $USER dialout\", "
    "then log out and in again.";

class TCommPortDriver;

// Sender, DataPtr (the driver's own buffer, overwritten by the next poll:
// copy what you keep), DataSize (at least 1).
using TComPortReceiveDataEvent =
    std::function<void(TCommPortDriver* Sender, const uint8_t* DataPtr, int32_t DataSize)>;
using TComPortNotifyEvent = std::function<void(TCommPortDriver* Sender)>;
using PortNameResolver = std::function<QString(TComPortNumber)>;

class TCommPortDriver : public QObject {
    Q_OBJECT
  public:
    explicit TCommPortDriver(QObject* owner = nullptr);
    ~TCommPortDriver() override;

    // True when the port is open afterwards. An open port is left as it is.
    // On failure OpenError() says why.
    bool OpenPort();
    // The device the last OpenPort tried, and the system's reason when it
    // could not be opened ("Permission denied").
    const QString& OpenedName() const { return openedName_; }
    const QString& OpenError() const { return openError_; }
    // The last OpenPort was refused for want of permission (see
    // kSerialAccessHint).
    bool OpenDenied() const { return openDenied_; }
    // Stops polling and closes; bytes still queued are neither delivered nor
    // purged first.
    void ClosePort();
    bool IsPortOpen() const { return open_; }
    // Sends the line settings to the open port, then purges both directions.
    // A setting the port refuses is ignored.
    void ApplyPortSettings();
    // Discards what the system holds for the open port.
    void PurgePortBuffers(bool input, bool output);

    // Taken only while closed; used by the next OpenPort.
    TComPortNumber ComPort() const { return comPort_; }
    void setComPort(TComPortNumber port);

    // Stored, and sent to the port at once while it is open.
    TComPortBaudRate ComPortSpeed() const { return speed_; }
    void setComPortSpeed(TComPortBaudRate speed);
    TComPortDataBits ComPortDataBits() const { return dataBits_; }
    void setComPortDataBits(TComPortDataBits bits);
    TComPortStopBits ComPortStopBits() const { return stopBits_; }
    void setComPortStopBits(TComPortStopBits bits);
    TComPortParity ComPortParity() const { return parity_; }
    void setComPortParity(TComPortParity parity);
    TComPortHwHandshaking ComPortHwHandshaking() const { return hwHandshaking_; }
    void setComPortHwHandshaking(TComPortHwHandshaking handshaking);
    TComPortSwHandshaking ComPortSwHandshaking() const { return swHandshaking_; }
    void setComPortSwHandshaking(TComPortSwHandshaking handshaking);

    // The input queue, the receive buffer and the most one poll delivers.
    // Taken only while closed.
    uint16_t ComPortInBufSize() const { return inBufSize_; }
    void setComPortInBufSize(uint16_t size);
    // Kept for the record: nothing is ever written to the meter.
    uint16_t ComPortOutBufSize() const { return outBufSize_; }
    void setComPortOutBufSize(uint16_t size) { outBufSize_ = size; }

    // Milliseconds between polls.
    uint16_t ComPortPollingDelay() const { return pollingDelay_; }
    void setComPortPollingDelay(uint16_t delay);

    // DTR is raised while open; takes effect at the next ApplyPortSettings.
    bool EnableDTROnOpen() const { return enableDtr_; }
    void setEnableDTROnOpen(bool enable) { enableDtr_ = enable; }

    // Called from the poll with each chunk; unassigned, chunks are dropped.
    TComPortReceiveDataEvent OnReceiveData;
    // Called once when the line of the open port goes away. The driver stays
    // open (and silent) until ClosePort.
    TComPortNotifyEvent OnHangUp;
    bool IsHungUp() const { return hungUp_; }
    // After a hang-up, try every reopenMs to open the port's device again
    // (an adapter plugged back, a meter switched on again); OnLineBack is
    // called when it opens. Off (0) by default.
    void setReopenAfterHangUp(int reopenMs);
    TComPortNotifyEvent OnLineBack;

    // Replaces the port-number-to-device mapping (DefaultPortName when null).
    void setPortNameResolver(PortNameResolver resolver);

  private:
    void PollReceive();
    qint64 ReadQueued();
    void CheckLine();
    void StartPolling();
    // Opens the device for reading and writing, without becoming its
    // controlling terminal and without waiting for its carrier, and locks it
    // against every other opener; false with openError_ and openDenied_ set.
    bool OpenDevice(const QString& name);
    void CloseDevice();
    // The modem line (TIOCM_DTR or TIOCM_RTS) raised or lowered.
    void SetModemLine(int line, bool on);

    // The terminal's descriptor while the line is there; -1 when closed or
    // when the line has gone away under the open driver.
    int fd_ = -1;
    bool open_ = false;
    bool hungUp_ = false;

    TComPortNumber comPort_ = pnCOM2;
    TComPortBaudRate speed_ = br9600;
    TComPortDataBits dataBits_ = db8BITS;
    TComPortStopBits stopBits_ = sb1BITS;
    TComPortParity parity_ = ptNONE;
    TComPortHwHandshaking hwHandshaking_ = hhNONE;
    TComPortSwHandshaking swHandshaking_ = shNONE;
    uint16_t inBufSize_ = 2048;
    uint16_t outBufSize_ = 2048;
    uint16_t pollingDelay_ = 50;
    bool enableDtr_ = true;

    void TryReopen();

    QTimer pollTimer_;
    QTimer reopenTimer_;
    int reopenMs_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    PortNameResolver resolveName_;
    QString openedName_;
    QString openError_;
    bool openDenied_ = false;
};

}  // namespace dmm
