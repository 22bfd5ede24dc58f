// SPDX-License-Identifier: GPL-3.0-or-later
// The serial driver while bytes trickle in one at a time, as a UART or many
// USB adapters pass them on at 2400 baud: every byte reaches the receive
// handler in order, and the event loop wakes for the polls rather than for
// every byte.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "link/serial_port_driver.h"
#include "support/pseudo_terminal.h"

namespace dmm {
namespace {

// Counts the socket notifier activations the whole application sees.
class WakeCounter : public QObject {
  public:
    WakeCounter() { QCoreApplication::instance()->installEventFilter(this); }
    ~WakeCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::SockAct)
            ++wakes;
        return false;
    }
    int wakes = 0;
};

TEST(SerialTrickle, BytesComeWholeAndTheLoopWakesPerPollNotPerByte) {
    test::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    TCommPortDriver driver;
    driver.setPortNameResolver([path = line.slavePath()](TComPortNumber) { return path; });
    QByteArray received;
    int chunks = 0;
    driver.OnReceiveData = [&](TCommPortDriver*, const uint8_t* data, int32_t size) {
        received.append(reinterpret_cast<const char*>(data), size);
        ++chunks;
    };
    ASSERT_TRUE(driver.OpenPort());
    QSignalSpy polls(driver.findChild<QTimer*>(QStringLiteral("pollTimer")), &QTimer::timeout);

    constexpr int kBytes = 150;
    QByteArray sent;
    for (int i = 0; i < kBytes; ++i)
        sent.append(char(i * 37 + 11));
    WakeCounter counter;
    std::atomic<bool> written{false};
    std::thread meter([&] {
        for (int i = 0; i < kBytes; ++i) {
            line.write(sent.mid(i, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        written = true;
    });
    const bool whole =
        QTest::qWaitFor([&] { return written && received.size() >= sent.size(); }, 20000);
    meter.join();
    ASSERT_TRUE(whole);
    EXPECT_EQ(received, sent);
    EXPECT_GE(chunks, 2);

    // A notifier that read every byte as it came would wake the loop for
    // nearly every byte; the driver leaves the line alone between polls but
    // for a byte or two.
    EXPECT_LE(counter.wakes, 3 * int(polls.size()) + 4) << polls.size() << " polls";

    // What the driver holds when the line hangs up goes with the line, as the
    // system's own queue does, and the hang-up is noticed though no notifier
    // watches the line any more. No poll runs until the line is gone.
    driver.setComPortPollingDelay(5000);
    ASSERT_TRUE(line.write(QByteArray("\x0A\x31", 2)));
    QTest::qWait(50);
    line.hangUp();
    const QByteArray before = received;
    driver.setComPortPollingDelay(20);
    EXPECT_TRUE(QTest::qWaitFor([&] { return driver.IsHungUp(); }, 10000));
    EXPECT_EQ(received, before);
    EXPECT_TRUE(driver.IsPortOpen());
    driver.ClosePort();
}

}  // namespace
}  // namespace dmm

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
