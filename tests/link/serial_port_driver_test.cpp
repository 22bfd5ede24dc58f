// SPDX-License-Identifier: GPL-3.0-or-later
#include "link/serial_port_driver.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>
#include <QTimer>
#include <stdexcept>
#include <vector>

#include "support/pseudo_terminal.h"

namespace dmm {
namespace {

using test::PseudoTerminal;

// Stands in for the program's general error handler: an exception that
// escapes an event handler ends that handler only.
class CatchingApplication : public QCoreApplication {
  public:
    using QCoreApplication::QCoreApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QCoreApplication::notify(receiver, event);
        } catch (const std::exception&) {
            ++caught;
            return true;
        }
    }
    int caught = 0;
};

constexpr int kPatience = 10000;  // ms; generous for a loaded machine

// Collects what the driver hands over, chunk by chunk.
struct Received {
    std::vector<QByteArray> chunks;
    std::vector<TCommPortDriver*> senders;

    void attach(TCommPortDriver& driver) {
        driver.OnReceiveData = [this](TCommPortDriver* sender, const uint8_t* data, int32_t size) {
            senders.push_back(sender);
            chunks.emplace_back(reinterpret_cast<const char*>(data), size);
        };
    }
    QByteArray all() const {
        QByteArray bytes;
        for (const QByteArray& c : chunks)
            bytes += c;
        return bytes;
    }
    bool waitFor(const QByteArray& expected) {
        return QTest::qWaitFor([&] { return all().size() >= expected.size(); }, kPatience) &&
               all() == expected;
    }
};

// A driver on the given pseudo-terminals: port n opens lines[n], remembering
// which numbers were asked for.
struct Rig {
    TCommPortDriver driver;
    Received received;
    std::vector<TComPortNumber> asked;

    explicit Rig(std::vector<const PseudoTerminal*> lines) {
        driver.setPortNameResolver([this, lines](TComPortNumber n) {
            asked.push_back(n);
            return size_t(n) < lines.size() && lines[n] ? lines[n]->slavePath() : QString();
        });
        received.attach(driver);
    }
    QTimer* pollTimer() { return driver.findChild<QTimer*>(QStringLiteral("pollTimer")); }
    // Waits until the driver has polled n more times (each poll of the
    // driver runs before the count goes up).
    bool waitPolls(int n) {
        int polls = 0;
        const QMetaObject::Connection counting =
            QObject::connect(pollTimer(), &QTimer::timeout, [&polls] { ++polls; });
        const bool done = QTest::qWaitFor([&] { return polls >= n; }, kPatience);
        QObject::disconnect(counting);
        return done;
    }
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(SerialPortDriver, DefaultsTableAndClosedPortCalls) {
    TCommPortDriver driver;
    EXPECT_EQ(driver.ComPort(), pnCOM2);
    EXPECT_EQ(driver.ComPortSpeed(), br9600);
    EXPECT_EQ(driver.ComPortDataBits(), db8BITS);
    EXPECT_EQ(driver.ComPortStopBits(), sb1BITS);
    EXPECT_EQ(driver.ComPortParity(), ptNONE);
    EXPECT_EQ(driver.ComPortHwHandshaking(), hhNONE);
    EXPECT_EQ(driver.ComPortSwHandshaking(), shNONE);
    EXPECT_EQ(driver.ComPortInBufSize(), 2048);
    EXPECT_EQ(driver.ComPortOutBufSize(), 2048);
    EXPECT_EQ(driver.ComPortPollingDelay(), 50);
    EXPECT_TRUE(driver.EnableDTROnOpen());
    EXPECT_FALSE(driver.OnReceiveData);
    EXPECT_FALSE(driver.IsPortOpen());

    const int32_t bauds[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                             14400, 19200, 38400, 56000, 57600, 115200};
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(BaudRateOf(TComPortBaudRate(i)), bauds[i]) << i;
    EXPECT_EQ(BaudRateOf(TComPortBaudRate(13)), 0);

    // Calls on a closed port change nothing and start nothing.
    driver.ClosePort();
    driver.ApplyPortSettings();
    driver.PurgePortBuffers(true, true);
    driver.setComPortSpeed(br2400);
    driver.setComPort(pnCOM4);
    EXPECT_FALSE(driver.IsPortOpen());
    EXPECT_EQ(driver.ComPort(), pnCOM4);
    EXPECT_EQ(driver.ComPortSpeed(), br2400);
    const QTimer* timer = driver.findChild<QTimer*>(QStringLiteral("pollTimer"));
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());

    // COMn is the first present of the USB, ACM and on-board device n-1.
    for (int n = 0; n < 4; ++n) {
        const QString name = DefaultPortName(TComPortNumber(n));
        const QString usb = QStringLiteral("/dev/ttyUSB%1").arg(n);
        const QString acm = QStringLiteral("/dev/ttyACM%1").arg(n);
        const QString onboard = QStringLiteral("/dev/ttyS%1").arg(n);
        if (QFileInfo::exists(usb))
            EXPECT_EQ(name, usb);
        else if (QFileInfo::exists(acm))
            EXPECT_EQ(name, acm);
        else
            EXPECT_EQ(name, onboard);
    }
}

TEST(SerialPortDriver, OpensTheLineWithItsSettingsAndReappliesThemWhileOpen) {
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    Rig rig({&line});
    rig.driver.setComPort(pnCOM1);
    rig.driver.setComPortSpeed(br2400);
    ASSERT_TRUE(rig.driver.OpenPort());
    EXPECT_TRUE(rig.driver.IsPortOpen());
    EXPECT_EQ(rig.asked, std::vector<TComPortNumber>{pnCOM1});
    ASSERT_NE(rig.pollTimer(), nullptr);
    EXPECT_TRUE(rig.pollTimer()->isActive());
    EXPECT_EQ(rig.pollTimer()->interval(), 50);

    termios tio = line.line();
    EXPECT_EQ(cfgetispeed(&tio), speed_t(B2400));
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B2400));
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);  // raw: every byte as it comes

    // Each setter reaches the open port at once.
    rig.driver.setComPortSpeed(br9600);
    rig.driver.setComPortDataBits(db7BITS);
    rig.driver.setComPortParity(ptODD);
    rig.driver.setComPortStopBits(sb2BITS);
    rig.driver.setComPortHwHandshaking(hhRTSCTS);
    rig.driver.setComPortSwHandshaking(shXONXOFF);
    // A pseudo-terminal always reports 8 bits without parity enable, so the
    // parity shows only in its odd and stick flags.
    tio = line.line();
    EXPECT_EQ(cfgetispeed(&tio), speed_t(B9600));
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_NE(tio.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));

    const std::pair<TComPortParity, tcflag_t> parities[] = {{ptMARK, PARODD | CMSPAR},
                                                            {ptSPACE, CMSPAR},
                                                            {ptEVEN, 0},
                                                            {ptMARK, PARODD | CMSPAR},
                                                            {ptODD, PARODD}};
    for (const auto& [parity, flags] : parities) {
        rig.driver.setComPortParity(parity);
        tio = line.line();
        EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR), flags) << int(parity);
    }
    rig.driver.setComPortStopBits(sb1BITS);
    rig.driver.setComPortHwHandshaking(hhNONE);
    rig.driver.setComPortSwHandshaking(shNONE);
    tio = line.line();
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);

    rig.driver.ClosePort();
    EXPECT_FALSE(rig.driver.IsPortOpen());
    EXPECT_FALSE(rig.pollTimer()->isActive());
    rig.driver.ClosePort();  // closing twice is harmless
    EXPECT_FALSE(rig.driver.IsPortOpen());
}

TEST(SerialPortDriver, DeliversBytesInOrderAcrossPollsAndNothingForEmptyPolls) {
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    ASSERT_TRUE(line.watchInput());
    Rig rig({&line});
    rig.driver.setComPort(pnCOM1);
    ASSERT_TRUE(rig.driver.OpenPort());

    ASSERT_TRUE(rig.waitPolls(3));  // several polls with nothing on the line
    EXPECT_TRUE(rig.received.chunks.empty());

    // A frame split over polls arrives whole and in order.
    ASSERT_TRUE(line.write("\n1234"));
    ASSERT_TRUE(rig.received.waitFor("\n1234"));
    ASSERT_TRUE(line.write(QByteArray("56\x00\xff", 4) + "789\r\n"));
    const QByteArray expected = "\n123456" + QByteArray("\x00\xff", 2) + "789\r\n";
    ASSERT_TRUE(rig.received.waitFor(expected));
    EXPECT_GE(rig.received.chunks.size(), 2u);
    for (size_t i = 0; i < rig.received.chunks.size(); ++i) {
        EXPECT_FALSE(rig.received.chunks[i].isEmpty());
        EXPECT_EQ(rig.received.senders[i], &rig.driver);
    }

    const size_t calls = rig.received.chunks.size();
    ASSERT_TRUE(rig.waitPolls(3));
    EXPECT_EQ(rig.received.chunks.size(), calls);

    // Without a handler the bytes are read and dropped; a new one sees only
    // what comes after.
    rig.driver.OnReceiveData = nullptr;
    const uint16_t delay = rig.driver.ComPortPollingDelay();
    rig.driver.setComPortPollingDelay(60000);
    ASSERT_TRUE(line.write("dropped"));
    ASSERT_TRUE(line.waitForQueued(7));
    rig.driver.setComPortPollingDelay(delay);
    ASSERT_TRUE(QTest::qWaitFor([&] { return line.queuedInput() == 0; }, kPatience));
    rig.received.chunks.clear();
    rig.received.senders.clear();
    rig.received.attach(rig.driver);
    ASSERT_TRUE(line.write("kept"));
    EXPECT_TRUE(rig.received.waitFor("kept"));
}

TEST(SerialPortDriver, ReopeningKeepsTheQueueAndASpeedChangePurgesIt) {
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    Rig rig({&line});
    rig.driver.setComPort(pnCOM1);
    rig.driver.setComPortSpeed(br2400);
    rig.driver.setComPortPollingDelay(60000);  // no poll until the test says so
    ASSERT_TRUE(line.watchInput());
    ASSERT_TRUE(rig.driver.OpenPort());

    // Bytes queued before a second OpenPort survive it: no reopen, no purge.
    ASSERT_TRUE(line.write("queued"));
    ASSERT_TRUE(line.waitForQueued(6));
    EXPECT_TRUE(rig.driver.OpenPort());
    EXPECT_EQ(rig.asked.size(), 1u);
    rig.driver.setComPortPollingDelay(20);
    EXPECT_TRUE(rig.received.waitFor("queued"));

    // A new speed re-sends the line settings and drops what was waiting.
    rig.driver.setComPortPollingDelay(60000);
    ASSERT_TRUE(line.write("stale"));
    ASSERT_TRUE(line.waitForQueued(5));
    rig.driver.setComPortSpeed(br9600);
    termios tio = line.line();
    EXPECT_EQ(cfgetispeed(&tio), speed_t(B9600));
    rig.driver.setComPortPollingDelay(20);
    ASSERT_TRUE(rig.waitPolls(3));
    EXPECT_EQ(rig.received.all(), "queued");
    ASSERT_TRUE(line.write("fresh"));
    EXPECT_TRUE(rig.received.waitFor("queuedfresh"));

    // So does an explicit purge of the input.
    rig.driver.setComPortPollingDelay(60000);
    ASSERT_TRUE(line.write("purged"));
    ASSERT_TRUE(line.waitForQueued(6));
    rig.driver.PurgePortBuffers(true, false);
    rig.driver.setComPortPollingDelay(20);
    ASSERT_TRUE(rig.waitPolls(3));
    EXPECT_EQ(rig.received.all(), "queuedfresh");
}

TEST(SerialPortDriver, PollingDelayRestartsTheTimerOnlyWhenItChanges) {
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    Rig rig({&line});
    rig.driver.setComPort(pnCOM1);
    rig.driver.setComPortPollingDelay(5000);
    ASSERT_TRUE(rig.driver.OpenPort());
    QTimer* timer = rig.pollTimer();
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->interval(), 5000);

    // A good part of the period passes (more than a coarse timer's slack of
    // 5 %, so that a timer started over shows).
    ASSERT_TRUE(QTest::qWaitFor([&] { return timer->remainingTime() <= 4000; }, kPatience));
    const int before = timer->remainingTime();
    ASSERT_GE(before, 0);
    rig.driver.setComPortPollingDelay(5000);
    EXPECT_TRUE(timer->isActive());
    EXPECT_LE(timer->remainingTime(), before);  // not started over

    rig.driver.setComPortPollingDelay(5001);
    EXPECT_TRUE(timer->isActive());
    EXPECT_EQ(timer->interval(), 5001);
    EXPECT_GT(timer->remainingTime(), before);

    // While closed the value is stored, and the next open polls with it.
    rig.driver.ClosePort();
    rig.driver.setComPortPollingDelay(30);
    EXPECT_FALSE(timer->isActive());
    ASSERT_TRUE(rig.driver.OpenPort());
    EXPECT_EQ(timer->interval(), 30);
}

TEST(SerialPortDriver, NoPollDeliversMoreThanTheInputBufferSize) {
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    Rig rig({&line});
    rig.driver.setComPort(pnCOM1);
    rig.driver.setComPortInBufSize(8);
    rig.driver.setComPortPollingDelay(60000);
    ASSERT_TRUE(line.watchInput());
    ASSERT_TRUE(rig.driver.OpenPort());
    rig.driver.setComPortInBufSize(100);  // ignored while open
    EXPECT_EQ(rig.driver.ComPortInBufSize(), 8);

    QByteArray sent;
    for (int i = 0; i < 50; ++i)
        sent += char('A' + i % 26);
    ASSERT_TRUE(line.write(sent));
    ASSERT_TRUE(line.waitForQueued(int(sent.size())));
    rig.driver.setComPortPollingDelay(10);
    ASSERT_TRUE(rig.received.waitFor(sent));
    EXPECT_GE(rig.received.chunks.size(), 7u);
    for (const QByteArray& chunk : rig.received.chunks)
        EXPECT_LE(chunk.size(), 8);

    // Taken again once closed.
    rig.driver.ClosePort();
    rig.driver.setComPortInBufSize(100);
    EXPECT_EQ(rig.driver.ComPortInBufSize(), 100);
}

TEST(SerialPortDriver, PortNumberChangesOnlyWhileClosed) {
    PseudoTerminal first, third;
    ASSERT_TRUE(first.ok() && third.ok());
    Rig rig({&first, nullptr, &third});
    rig.driver.setComPort(pnCOM1);
    ASSERT_TRUE(rig.driver.OpenPort());
    rig.driver.setComPort(pnCOM3);
    EXPECT_EQ(rig.driver.ComPort(), pnCOM1);
    ASSERT_TRUE(third.write("third"));
    ASSERT_TRUE(first.write("first"));
    EXPECT_TRUE(rig.received.waitFor("first"));

    rig.driver.ClosePort();
    rig.driver.setComPort(pnCOM3);
    EXPECT_EQ(rig.driver.ComPort(), pnCOM3);
    ASSERT_TRUE(rig.driver.OpenPort());
    ASSERT_TRUE(third.write("3"));
    EXPECT_TRUE(rig.received.waitFor("first3"));
    EXPECT_EQ(rig.asked, (std::vector<TComPortNumber>{pnCOM1, pnCOM3}));

    // A number with no device behind it stays closed.
    rig.driver.ClosePort();
    rig.driver.setComPort(pnCOM2);
    EXPECT_FALSE(rig.driver.OpenPort());
    EXPECT_FALSE(rig.driver.IsPortOpen());
}

TEST(SerialPortDriver, MissingOrBusyPortsStayClosed) {
    TCommPortDriver missing;
    missing.setPortNameResolver([](TComPortNumber) { return QStringLiteral("/nonexistent/tty"); });
    EXPECT_FALSE(missing.OpenPort());
    EXPECT_FALSE(missing.IsPortOpen());
    EXPECT_FALSE(missing.findChild<QTimer*>(QStringLiteral("pollTimer"))->isActive());

    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    auto owner = std::make_unique<Rig>(std::vector<const PseudoTerminal*>{&line});
    owner->driver.setComPort(pnCOM1);
    ASSERT_TRUE(owner->driver.OpenPort());
    Rig other({&line});
    other.driver.setComPort(pnCOM1);
    EXPECT_FALSE(other.driver.OpenPort());  // opened exclusively
    EXPECT_FALSE(other.driver.IsPortOpen());
    ASSERT_TRUE(line.write("owner"));
    EXPECT_TRUE(owner->received.waitFor("owner"));

    // Destroying the driver closes the port and frees it for another.
    owner.reset();
    ASSERT_TRUE(other.driver.OpenPort());
    ASSERT_TRUE(line.write("other"));
    EXPECT_TRUE(other.received.waitFor("other"));
}

TEST(SerialPortDriver, AHungUpLineGoesQuietWithoutSpinningAndReopens) {
    auto line = std::make_unique<PseudoTerminal>();
    ASSERT_TRUE(line->ok());
    TCommPortDriver driver;
    Received received;
    received.attach(driver);
    QString path = line->slavePath();
    driver.setPortNameResolver([&path](TComPortNumber) { return path; });
    int hangUps = 0;
    driver.OnHangUp = [&](TCommPortDriver* sender) {
        EXPECT_EQ(sender, &driver);
        ++hangUps;
    };
    ASSERT_TRUE(driver.OpenPort());
    ASSERT_TRUE(line->write("\n12345"));
    ASSERT_TRUE(received.waitFor("\n12345"));

    line->hangUp();  // mid-frame
    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = CpuSeconds();
    QTest::qWait(1000);
    const double cpu = CpuSeconds() - cpuBefore;
    const double elapsed = double(wall.elapsed()) / 1000.0;
    EXPECT_LT(cpu, 0.3 * elapsed) << cpu << " s of CPU in " << elapsed << " s";
    EXPECT_TRUE(driver.IsPortOpen());  // silent, not closed
    EXPECT_TRUE(driver.IsHungUp());
    EXPECT_EQ(hangUps, 1);
    EXPECT_EQ(received.all(), "\n12345");
    for (const QByteArray& chunk : received.chunks)
        EXPECT_FALSE(chunk.isEmpty());

    // Settings and purges on the dead line are harmless.
    driver.setComPortSpeed(br2400);
    driver.PurgePortBuffers(true, true);

    // Close and open again on a new line, as after plugging an adapter back.
    driver.ClosePort();
    EXPECT_FALSE(driver.IsPortOpen());
    EXPECT_FALSE(driver.IsHungUp());
    line = std::make_unique<PseudoTerminal>();
    ASSERT_TRUE(line->ok());
    path = line->slavePath();
    ASSERT_TRUE(driver.OpenPort());
    ASSERT_TRUE(line->write("678\r\n"));
    EXPECT_TRUE(received.waitFor("\n12345678\r\n"));
    EXPECT_EQ(hangUps, 1);
}

TEST(SerialPortDriver, AThrowingHandlerEndsOnlyItsOwnPoll) {
    auto* app = static_cast<CatchingApplication*>(QCoreApplication::instance());
    PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    Rig rig({&line});
    rig.driver.setComPort(pnCOM1);
    QByteArray seen;
    rig.driver.OnReceiveData = [&](TCommPortDriver*, const uint8_t* data, int32_t size) {
        seen.append(reinterpret_cast<const char*>(data), size);
        if (seen.contains('!'))
            throw std::runtime_error("'!' is not a valid integer value");
    };
    ASSERT_TRUE(rig.driver.OpenPort());
    const int caughtBefore = app->caught;
    ASSERT_TRUE(line.write("bad!"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return app->caught > caughtBefore; }, kPatience));
    rig.driver.OnReceiveData = [&](TCommPortDriver*, const uint8_t* data, int32_t size) {
        seen.append(reinterpret_cast<const char*>(data), size);
    };
    ASSERT_TRUE(line.write("good"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return seen.endsWith("good"); }, kPatience));
    EXPECT_EQ(seen, "bad!good");
    EXPECT_TRUE(rig.driver.IsPortOpen());
}

}  // namespace
}  // namespace dmm

int main(int argc, char** argv) {
    dmm::CatchingApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
