#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "decode/text_rules.h"
#include "record/data_files.h"
#include "support/pseudo_terminal.h"

namespace dmm {
namespace {

const QString kDmmlog = QStringLiteral(DMM_BINARY_DIR "/tools/dmmlog/dmmlog");

struct Outcome {
    int exitCode = -1;
    QByteArray out, err;
};

Outcome Dmmlog(const QStringList& args, const QByteArray& input = {}) {
    QProcess p;
    p.start(kDmmlog, args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

// Tarvo frames on the line, LF first.
QByteArray TarvoBytes(std::initializer_list<const char*> frames) {
    QByteArray b("\n");
    for (const char* f : frames) {
        for (const char* c = f; *c; ++c)
            b.append(char(0x30 | HexValue(*c)));
        b.append("\r\n");
    }
    return b;
}

TEST(Dmmlog, WritesTheTextTableAndGoesOnAfterErrors) {
    const QByteArray in = TarvoBytes({"123451120", "12345C120", "000421121", "000421121"});
    const Outcome r = Dmmlog({"--no-repeat", "--recall", "10:00:00/5", "-"}, in);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.err.toStdString(), "'C' is not a valid integer value\n");
    // Three readings offered (the failed frame is none); the repeat is dropped.
    EXPECT_EQ(r.out.toStdString(),
              "No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n"
              "1\t10:00:05\tDC\t1.2345\tV\tpass\r\n"
              "2\t10:00:10\tDC\t0.0042\tV\tpass\r\n");
}

TEST(Dmmlog, JsonLimitsCountAndSavedTable) {
    QTemporaryDir dir;
    const QString xml = dir.filePath("log.xml"), txt = dir.filePath("log.txt");
    const QByteArray in = TarvoBytes({"123451120", "A00001400", "000421125", "000111120"});
    const Outcome r =
        Dmmlog({"--format", "json", "--high", "1", "--low", "0", "--count", "3", "--out", xml}, in);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QList<QByteArray> lines = r.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].contains("\"value\":\"1.2345\"")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].contains("\"judge\":\"Fail\""));
    EXPECT_TRUE(lines[0].contains("\"count\":12345"));
    EXPECT_TRUE(lines[1].contains("\"value\":\"0.L\""));
    EXPECT_TRUE(lines[1].contains("\"function\":\"OHM\""));
    EXPECT_TRUE(lines[2].contains("\"auto\":\"AUTO\""));
    EXPECT_TRUE(lines[2].contains("\"value\":\"-0.0042\""));
    EXPECT_FALSE(lines[2].contains("\"judge\":\"pass\""));

    // The snapshot holds the three rows; converting it gives the text table.
    ASSERT_EQ(Dmmlog({"--convert", xml, txt}).exitCode, 0);
    QFile f(txt);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_EQ(text.count("\r\n"), 4);
    EXPECT_TRUE(text.contains("\t0.L\t*\tFail\r\n"));
}

TEST(Dmmlog, UsageAndIoErrors) {
    for (const QStringList& bad :
         {QStringList{"--bogus"}, QStringList{"--family", "x"}, QStringList{"--interval", "0"},
          QStringList{"--recall", "25:00:00"}, QStringList{"a", "b"},
          QStringList{"--usb", "--serial", "/dev/ttyS0"}, QStringList{"--usb", "meter.bin"},
          QStringList{"--usb", "--family", "dralin"}}) {
        const Outcome r = Dmmlog(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_EQ(r.err.count('\n'), 1);
    }
    EXPECT_EQ(Dmmlog({"/nonexistent/meter.bin"}).exitCode, 1);
    EXPECT_EQ(Dmmlog({"--convert", "/nonexistent/a.txt", "/tmp/b.txt"}).exitCode, 1);
    EXPECT_EQ(Dmmlog({"--serial", "/nonexistent/ttyS9"}).exitCode, 1);
    // Without a cable (or without access to one) the reason is given; the
    // test machine may have any HID devices but has no cable.
    const Outcome usb = Dmmlog({"--usb"});
    EXPECT_EQ(usb.exitCode, 1);
    EXPECT_TRUE(usb.err.contains("USB to Serial")) << usb.err.toStdString();
}

// dmmlog has the line open once it runs at the meter's 2400 baud (a new
// pseudo-terminal starts at another speed). The purge that follows the line
// settings is long over after a pause, so nothing the meter sends is lost.
bool WaitUntilOpened(const test::PseudoTerminal& line) {
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        const termios tio = line.line();
        if (cfgetispeed(&tio) == B2400) {
            QThread::msleep(300);
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

QByteArray ReadUntilLines(QProcess& p, int lines) {
    QByteArray out;
    QElapsedTimer waited;
    waited.start();
    while (out.count("\r\n") < lines && waited.elapsed() < 10000) {
        p.waitForReadyRead(100);
        out += p.readAllStandardOutput();
    }
    return out;
}

TEST(Dmmlog, LogsASerialLineUntilItHangsUp) {
    test::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    QProcess p;
    p.start(kDmmlog, {"--serial", line.slavePath(), "--recall", "10:00:00/5"});
    ASSERT_TRUE(WaitUntilOpened(line));
    ASSERT_TRUE(line.write(TarvoBytes({"123451120", "12345C120", "000421121"})));
    const QByteArray rows = ReadUntilLines(p, 3);
    EXPECT_EQ(rows.toStdString(),
              "No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n"
              "1\t10:00:05\tDC\t1.2345\tV\tpass\r\n"
              "2\t10:00:10\tDC\t0.0042\tV\tpass\r\n");

    // A meter that goes away ends the run instead of leaving it waiting.
    line.hangUp();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.readAllStandardOutput().toStdString(), "");
    const std::string silent =
        "dmmlog: " + line.slavePath().toStdString() + ": the line went silent\n";
    EXPECT_EQ(p.readAllStandardError().toStdString(),
              "'C' is not a valid integer value\n" + silent);
}

TEST(Dmmlog, SerialRunsStopAtTheCountOrOnASignal) {
    test::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    QProcess counted;
    counted.start(kDmmlog, {"--serial", line.slavePath(), "--format", "json", "--count", "1"});
    ASSERT_TRUE(WaitUntilOpened(line));
    ASSERT_TRUE(line.write(TarvoBytes({"000421125", "123451120"})));
    ASSERT_TRUE(counted.waitForFinished(10000));
    EXPECT_EQ(counted.exitCode(), 0) << counted.readAllStandardError().toStdString();
    const QList<QByteArray> lines = counted.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains("\"value\":\"-0.0042\"")) << lines[0].toStdString();

    // A terminated run still saves its table.
    test::PseudoTerminal other;
    ASSERT_TRUE(other.ok());
    QTemporaryDir dir;
    const QString saved = dir.filePath("log.txt");
    QProcess stopped;
    stopped.start(kDmmlog, {"--serial", other.slavePath(), "--out", saved});
    ASSERT_TRUE(WaitUntilOpened(other));
    ASSERT_TRUE(other.write(TarvoBytes({"123451120"})));
    ASSERT_EQ(ReadUntilLines(stopped, 2).count("\r\n"), 2);
    stopped.terminate();
    ASSERT_TRUE(stopped.waitForFinished(10000));
    EXPECT_EQ(stopped.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(stopped.exitCode(), 0);
    EXPECT_EQ(stopped.readAllStandardError().toStdString(), "");
    QFile f(saved);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("\t1.2345\tV\t"));
}

}  // namespace
}  // namespace dmm
