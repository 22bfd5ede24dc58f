// SPDX-License-Identifier: GPL-3.0-or-later
// metersim held by its standard input and paced like a serial line, driven
// through the harness the soak bench and the window's fault tests use; and
// the harness's reading of the simulated stream.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <functional>
#include <string>
#include <vector>

#include "tools/metersim/frame_generator.h"
#include "support/metersim_harness.h"

namespace dmm::metersim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Stream(uint32_t seed, uint64_t frames) {
    FrameGenerator generator(Family::Tarvo, seed);
    Bytes out = generator.preamble();
    for (uint64_t i = 0; i < frames; ++i)
        generator.next(out);
    return out;
}

// The reading end of the meter's terminal.
class Listener {
  public:
    explicit Listener(const QString& terminal)
        : fd_(::open(terminal.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK)) {}
    ~Listener() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Takes what has arrived within ms; false once the line has hung up.
    bool take(int ms) {
        pollfd p = {fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return true;
        uint8_t buffer[65536];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        return n > 0 || (n < 0 && errno == EAGAIN);
    }
    // Keeps taking until done() holds; false after a guard time.
    bool takeUntil(const std::function<bool()>& done, int guardMs = 20000) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.elapsed() > guardMs)
                return false;
            take(20);
        }
        return true;
    }

    Bytes bytes;

  private:
    int fd_;
};

TEST(HeldMeter, TalksOnlyBetweenStartAndStopAndSaysHowMuch) {
    HeldMeter meter;
    ASSERT_TRUE(
        meter.open({QStringLiteral("--flood"), QStringLiteral("--seed"), QStringLiteral("4")}))
        << meter.errorText().toStdString();
    Listener line(meter.terminal());
    ASSERT_TRUE(line.ok());

    // Held: a flooding meter would have filled the line by now.
    for (int i = 0; i < 10; ++i)
        line.take(30);
    EXPECT_TRUE(line.bytes.empty());
    EXPECT_FALSE(meter.framesSent().has_value());

    meter.start();
    ASSERT_TRUE(line.takeUntil([&] { return line.bytes.size() >= 20000; }));
    meter.stop();
    std::optional<uint64_t> frames;
    ASSERT_TRUE(line.takeUntil([&] { return (frames = meter.framesSent()).has_value(); }));
    // Stopped after a whole frame, and every frame it counts reaches the line.
    ASSERT_TRUE(line.takeUntil([&] { return line.bytes.size() >= 1 + 11 * *frames; }));
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(line.take(30)) << "the terminal went before it was let go";
    EXPECT_EQ(line.bytes, Stream(4, *frames));

    EXPECT_EQ(meter.release(), 0);
    EXPECT_FALSE(line.take(1000)) << "the terminal stays up after the release";
}

TEST(HeldMeter, ACountEndsTheTalkAndTheTerminalWaitsForTheReader) {
    HeldMeter meter;
    ASSERT_TRUE(
        meter.open({QStringLiteral("--rate"), QStringLiteral("200"), QStringLiteral("--count"),
                    QStringLiteral("30"), QStringLiteral("--seed"), QStringLiteral("9")}));
    Listener line(meter.terminal());
    ASSERT_TRUE(line.ok());
    meter.start();
    std::optional<uint64_t> frames;
    ASSERT_TRUE(line.takeUntil([&] { return (frames = meter.framesSent()).has_value(); }));
    EXPECT_EQ(*frames, 30u);
    ASSERT_TRUE(line.takeUntil([&] { return line.bytes.size() >= Stream(9, 30).size(); }));
    EXPECT_EQ(line.bytes, Stream(9, 30));
    EXPECT_EQ(meter.release(), 0);
}

TEST(HeldMeter, InputEndingBeforeTheStartSendsNothing) {
    HeldMeter meter;
    ASSERT_TRUE(meter.open({QStringLiteral("--flood")}));
    Listener line(meter.terminal());
    EXPECT_EQ(meter.release(), 0);
    EXPECT_EQ(meter.framesSent(), std::optional<uint64_t>(0));
    line.take(100);
    EXPECT_TRUE(line.bytes.empty());
}

TEST(HeldMeter, AProgramThatMakesNoTerminalFailsToOpen) {
    HeldMeter meter;
    EXPECT_FALSE(meter.open({}, 5000, QStringLiteral("/nonexistent/metersim")));
    EXPECT_FALSE(meter.errorText().isEmpty());
    HeldMeter wrong;
    // Bad usage: the program ends at once, without a terminal.
    EXPECT_FALSE(wrong.open({QStringLiteral("--rate"), QStringLiteral("0")}, 5000));
    EXPECT_FALSE(wrong.errorText().isEmpty());
}

TEST(Metersim, BaudPacesTheBytesOfTheSameStream) {
    QProcess sim;
    sim.start(MetersimProgram(),
              {QStringLiteral("--baud"), QStringLiteral("2400"), QStringLiteral("--count"),
               QStringLiteral("22"), QStringLiteral("--seed"), QStringLiteral("5")});
    ASSERT_TRUE(sim.waitForStarted(10000));
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    int pieces = 0;
    while (sim.state() != QProcess::NotRunning || sim.bytesAvailable() > 0) {
        sim.waitForReadyRead(100);
        const QByteArray piece = sim.readAllStandardOutput();
        pieces += piece.isEmpty() ? 0 : 1;
        out += piece;
        if (clock.elapsed() > 20000)
            break;
    }
    const Bytes expected = Stream(5, 22);
    EXPECT_EQ(Bytes(out.begin(), out.end()), expected);
    EXPECT_EQ(sim.exitCode(), 0);
    // 243 bytes at 240 a second take about a second, and come in many
    // pieces rather than in one write.
    EXPECT_GE(clock.elapsed(), 500);
    EXPECT_GE(pieces, 10);
}

TEST(Metersim, PacingAndHoldingOptionsAreChecked) {
    const QStringList bad[] = {
        {QStringLiteral("--hold")},
        {QStringLiteral("--baud"), QStringLiteral("0")},
        {QStringLiteral("--baud"), QStringLiteral("fast")},
        {QStringLiteral("--baud"), QStringLiteral("2400"), QStringLiteral("--rate"),
         QStringLiteral("3")},
        {QStringLiteral("--baud"), QStringLiteral("2400"), QStringLiteral("--flood")},
        {QStringLiteral("--flood"), QStringLiteral("--rate"), QStringLiteral("3")},
        {QStringLiteral("--pty"), QStringLiteral("--hold=yes")},
    };
    for (const QStringList& args : bad) {
        QProcess sim;
        sim.start(MetersimProgram(), args);
        ASSERT_TRUE(sim.waitForFinished(10000)) << args.join(' ').toStdString();
        EXPECT_EQ(sim.exitCode(), 2) << args.join(' ').toStdString();
        EXPECT_TRUE(sim.readAllStandardOutput().isEmpty());
        EXPECT_FALSE(sim.readAllStandardError().isEmpty());
    }
}

TEST(Reference, ReadsEveryFrameAndFindsWhatDiffers) {
    const ReadingTable rows = ReferenceRows(Family::Tarvo, 7, 500, ".");
    ASSERT_EQ(rows.size(), 500u);
    EXPECT_EQ(CompareWithReference(rows, rows).rows, 0u);
    EXPECT_TRUE(CompareWithReference(rows, rows).first.empty());
    // The decimal separator reaches the values.
    const ReadingTable comma = ReferenceRows(Family::Tarvo, 7, 500, ",");
    EXPECT_GT(CompareWithReference(comma, rows).rows, 0u);

    // One value changed, one row missing, one row too many.
    ReadingTable changed;
    for (size_t i = 0; i < rows.size(); ++i) {
        RowData row = rows.row(i);
        if (i == 17)
            row.value = "9.9999";
        changed.append(row);
    }
    const Misdecodes one = CompareWithReference(changed, rows);
    EXPECT_EQ(one.rows, 1u);
    EXPECT_NE(one.first.find("row 18 reads"), std::string::npos) << one.first;
    EXPECT_NE(one.first.find("9.9999"), std::string::npos) << one.first;

    ReadingTable shorter;
    for (size_t i = 0; i + 1 < rows.size(); ++i)
        shorter.append(rows.row(i));
    EXPECT_EQ(CompareWithReference(shorter, rows).rows, 1u);
    EXPECT_EQ(CompareWithReference(rows, shorter).rows, 1u);
    EXPECT_NE(CompareWithReference(rows, shorter).first.find("500 rows recorded"),
              std::string::npos);
}

}  // namespace
}  // namespace dmm::metersim

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
