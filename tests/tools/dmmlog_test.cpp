// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <signal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
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
    EXPECT_TRUE(lines[0].contains("\"si_value\":1.2345,\"si_unit\":\"V\"}"));
    EXPECT_TRUE(
        QRegularExpression(R"("timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")")
            .match(QString::fromUtf8(lines[0]))
            .hasMatch())
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains("\"si_value\":null,\"si_unit\":\"Ω\"}"));
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

// CSV for spreadsheets, in any locale: the value with the locale's comma is
// quoted, si_value is not; --opt=value and -- work as in other tools.
TEST(Dmmlog, CsvRowsWhateverTheLocale) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "de_DE.UTF-8");
    p.setProcessEnvironment(env);
    p.start(kDmmlog, {"--format=csv", "--", "-"});
    p.write(TarvoBytes({"123451120"}));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(30000));
    const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[0], "timestamp,no,function,value,unit,si_value,si_unit,range,verdict\r");
    EXPECT_TRUE(QRegularExpression(R"(^[-0-9T:.+]{29},1,DC,"?1[.,]2345"?,V,1\.2345,V,,pass\r$)")
                    .match(QString::fromUtf8(lines[1]))
                    .hasMatch())
        << lines[1].toStdString();
}

TEST(Dmmlog, UsageAndIoErrors) {
    for (const QStringList& bad :
         {QStringList{"--bogus"}, QStringList{"--family", "x"}, QStringList{"--interval", "0"},
          QStringList{"--recall", "25:00:00"}, QStringList{"a", "b"},
          QStringList{"--usb", "--serial", "/dev/ttyS0"}, QStringList{"--usb", "meter.bin"},
          QStringList{"--usb", "--family", "dralin"}, QStringList{"--high", "abc"},
          QStringList{"--low", "nan"}, QStringList{"--high", "1,5"},
          QStringList{"--interval", "86401"}, QStringList{"--convert", "a"},
          QStringList{"--format", "xml"}, QStringList{"--count", "1", "--count", "2"},
          QStringList{"--mqtt", "http://host/lab"}, QStringList{"--mqtt", "mqtt://host"},
          QStringList{"--mqtt-user", "lab"},
          QStringList{"--mqtt", "mqtt://host/lab", "--mqtt-cafile", "ca.pem"}}) {
        const Outcome r = Dmmlog(bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_EQ(r.err.count('\n'), 1);
        EXPECT_TRUE(r.err.startsWith("dmmlog: ")) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    // A regular file is read before the first tick: interval sampling on it
    // is refused. --help and --version answer on standard output.
    QTemporaryDir dir;
    QFile file(dir.filePath("meter.bin"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_EQ(Dmmlog({"--interval", "1", file.fileName()}).exitCode, 2);
    const Outcome help = Dmmlog({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("Usage: dmmlog")) << help.out.toStdString();
    EXPECT_TRUE(help.out.contains("--reconnect"));
    EXPECT_TRUE(help.out.contains("--mqtt-password-file"));
    EXPECT_TRUE(Dmmlog({"--version"}).out.startsWith("dmmlog "));
    EXPECT_EQ(Dmmlog({"/nonexistent/meter.bin"}).exitCode, 1);
    EXPECT_EQ(Dmmlog({"--convert", "/nonexistent/a.txt", "/tmp/b.txt"}).exitCode, 1);
    EXPECT_EQ(Dmmlog({"--serial", "/nonexistent/ttyS9"}).exitCode, 1);
    // Without a cable (or without access to one) the reason is given; the
    // test machine may have any HID devices but has no cable.
    const Outcome usb = Dmmlog({"--usb"});
    EXPECT_EQ(usb.exitCode, 1);
    EXPECT_TRUE(usb.err.contains("USB to Serial")) << usb.err.toStdString();
}

// A data file that cannot be read or written says so in two lines: the
// window's message, then the file and the reason. A FIFO is written into and
// stays one. A closed pipe ends a run quietly; any other failed write to
// standard output is one message and exit 1.
TEST(Dmmlog, FileAndOutputFailuresSayWhy) {
    QTemporaryDir dir;
    const QString table = dir.filePath("t.txt");
    {
        QFile f(table);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("No\tTime\r\n1\t12:00:00\tDC\t1.5\tV\tpass\r\n");
    }
    const Outcome toDir = Dmmlog({"--convert", table, dir.path()});
    EXPECT_EQ(toDir.exitCode, 1);
    EXPECT_EQ(toDir.err.toStdString(),
              "dmmlog: Could not save table to specified file: " + dir.path().toStdString() +
                  "\ndmmlog: " + dir.path().toStdString() + ": Is a directory\n");
    const QString utf16 = dir.filePath("u.txt");
    {
        QFile f(utf16);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("N\0o\0\r\0\n\0", 8));
    }
    const Outcome foreign = Dmmlog({"--convert", utf16, dir.filePath("out.txt")});
    EXPECT_EQ(foreign.exitCode, 1);
    EXPECT_TRUE(foreign.err.startsWith("dmmlog: Failed to Load File!\ndmmlog: " +
                                       utf16.toLocal8Bit() + ": line 1 holds a NUL byte"))
        << foreign.err.toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath("out.txt")));

    const QString fifo = dir.filePath("fifo.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QProcess reader;
    reader.start(QStringLiteral("cat"), {fifo});
    ASSERT_TRUE(reader.waitForStarted());
    EXPECT_EQ(Dmmlog({"--convert", table, fifo}).exitCode, 0);
    ASSERT_TRUE(reader.waitForFinished(10000));
    EXPECT_EQ(
        reader.readAllStandardOutput(),
        QByteArray("No\tTime\tDC/AC\tValue\tUnit\tAUTO\r\n1\t12:00:00\tDC\t1.5\tV\tpass\r\n"));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(fifo).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Thousands of rows into a pipe whose reader stops after one line.
    QByteArray frames;
    for (int i = 0; i < 5000; ++i)
        frames += TarvoBytes({"123451120"}).mid(1);
    const QString input = dir.filePath("meter.bin");
    {
        QFile f(input);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("\n" + frames);
    }
    QProcess pipeline;
    pipeline.start(QStringLiteral("bash"),
                   {"-c", "set -o pipefail; \"$0\" \"$1\" | head -n 1 > \"$2\"", kDmmlog, input,
                    dir.filePath("head.txt")});
    ASSERT_TRUE(pipeline.waitForFinished(30000));
    EXPECT_EQ(pipeline.exitCode(), 0) << pipeline.readAllStandardError().toStdString();
    EXPECT_TRUE(pipeline.readAllStandardError().isEmpty());

    // A file size limit on the output: "File too large", once.
    QProcess limited;
    limited.setChildProcessModifier([] {
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit small{4096, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &small);
    });
    limited.setStandardOutputFile(dir.filePath("limited.txt"));
    limited.start(kDmmlog, {input});
    ASSERT_TRUE(limited.waitForFinished(30000));
    EXPECT_EQ(limited.exitCode(), 1);
    EXPECT_EQ(limited.readAllStandardError(),
              QByteArray("dmmlog: standard output: File too large\n"));
}

// Out of memory is a message and exit 1, and the --out file is not touched.
// (An address-space limit cannot be set under AddressSanitizer, which
// reserves terabytes of it.)
TEST(Dmmlog, OutOfMemoryIsAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not work under AddressSanitizer";
#endif
    QTemporaryDir dir;
    const QString big = dir.filePath("big.txt");
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        const QByteArray block = QByteArray("1\n").repeated(1 << 20);
        f.write("h\n");
        for (int i = 0; i < 9; ++i)
            f.write(block);
    }
    QProcess p;
    p.setChildProcessModifier([] {
        rlimit small{rlim_t(200) << 20, RLIM_INFINITY};
        ::setrlimit(RLIMIT_AS, &small);
    });
    p.start(kDmmlog, {"--convert", big, dir.filePath("out.txt")});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.readAllStandardError(), QByteArray("dmmlog: out of memory\n"));
    EXPECT_FALSE(QFile::exists(dir.filePath("out.txt")));
}

// dmmlog has the line open once it has thrown away what waited on it, as a
// serial port does when it is set up: what the meter sends from then on is
// read. The line must report flushes from before dmmlog opens it.
bool WaitUntilOpened(test::PseudoTerminal& line) {
    return line.waitForInputFlush(30000);
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
    ASSERT_TRUE(line.ok() && line.reportFlushes());
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
    ASSERT_TRUE(line.ok() && line.reportFlushes());
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
    ASSERT_TRUE(other.ok() && other.reportFlushes());
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

// With --reconnect a line that goes away is waited for: a new line at the
// same path is opened by itself and its frames are recorded; the loss and the
// return are one line each on standard error.
TEST(Dmmlog, ReconnectWaitsForTheLineToComeBack) {
    QTemporaryDir dir;
    const QString link = dir.filePath("meter");
    auto line = std::make_unique<test::PseudoTerminal>();
    ASSERT_TRUE(line->ok() && line->reportFlushes());
    ASSERT_TRUE(QFile::link(line->slavePath(), link));
    QProcess p;
    p.start(kDmmlog, {"--serial", link, "--reconnect"});
    ASSERT_TRUE(WaitUntilOpened(*line));
    ASSERT_TRUE(line->write(TarvoBytes({"123451120"})));
    ASSERT_EQ(ReadUntilLines(p, 2).count("\r\n"), 2);

    line->hangUp();
    auto next = std::make_unique<test::PseudoTerminal>();
    ASSERT_TRUE(next->ok() && next->reportFlushes());
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(next->slavePath(), link));
    ASSERT_TRUE(WaitUntilOpened(*next));
    // The run the old line left open (its last LF) ends with the first new
    // frame, which it makes too long: that one is dropped, the next is read.
    ASSERT_TRUE(next->write(TarvoBytes({"543211120", "543221120"})));
    const QByteArray rows = ReadUntilLines(p, 1);
    EXPECT_FALSE(rows.contains("\t5.4321\t")) << rows.toStdString();
    EXPECT_TRUE(rows.contains("\t5.4322\t")) << rows.toStdString();
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0);
    const QByteArray err = p.readAllStandardError();
    EXPECT_EQ(err.count('\n'), 2) << err.toStdString();
    EXPECT_TRUE(err.contains("the line went silent; waiting for it to come back"));
    EXPECT_TRUE(err.contains("the line is back"));
}

// The text form of --out grows row by row: a logger killed outright leaves
// a file that loads with every row it wrote. A hang-up stops a run like
// SIGTERM, with its rows kept.
TEST(Dmmlog, OutIsWrittenAsRowsComeAndSurvivesAKill) {
    QTemporaryDir dir;
    const QString out = dir.filePath("log.txt");
    QProcess killed;
    killed.start(kDmmlog, {"--out", out, "-"});
    ASSERT_TRUE(killed.waitForStarted());
    killed.write(TarvoBytes({"123451120", "123461120", "123471120"}));
    ASSERT_TRUE(killed.waitForBytesWritten(10000));
    auto lines = [&] {
        QFile f(out);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count("\r\n") : 0;
    };
    QElapsedTimer waited;
    waited.start();
    while (lines() < 4 && waited.elapsed() < 10000)
        QThread::msleep(10);
    ::kill(pid_t(killed.processId()), SIGKILL);
    ASSERT_TRUE(killed.waitForFinished(10000));
    ReadingTable table;
    const LoadOutcome loaded = LoadTableFromFile(out, table, false);
    ASSERT_TRUE(loaded.ok) << loaded.detail;
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table.text(2, Field::Value), "1.2347");

    QProcess hungUp;
    hungUp.start(kDmmlog, {"--out", out, "-"});
    ASSERT_TRUE(hungUp.waitForStarted());
    hungUp.write(TarvoBytes({"000421125"}));
    ASSERT_EQ(ReadUntilLines(hungUp, 2).count("\r\n"), 2);
    ::kill(pid_t(hungUp.processId()), SIGHUP);
    ASSERT_TRUE(hungUp.waitForFinished(10000));
    EXPECT_EQ(hungUp.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(hungUp.exitCode(), 0);
    ReadingTable again;
    ASSERT_TRUE(LoadTableFromFile(out, again, false).ok);
    EXPECT_EQ(again.size(), 1u);
}

// An --out that cannot be written ends the run before any input is read; rows
// turned away for the capacity are said once and give exit status 3.
TEST(Dmmlog, UnwritableOutAndAFullTable) {
    QProcess waiting;
    waiting.start(kDmmlog, {"--out", "/nonexistent/dir/log.txt", "-"});
    ASSERT_TRUE(waiting.waitForFinished(10000));  // its input is never closed
    EXPECT_EQ(waiting.exitCode(), 1);
    EXPECT_TRUE(waiting.readAllStandardError().contains(
        "/nonexistent/dir/log.txt: No such file or directory"));

    const Outcome full =
        Dmmlog({"--capacity", "2", "-"}, TarvoBytes({"123451120", "123461120", "123471120"}));
    EXPECT_EQ(full.exitCode, 3);
    EXPECT_EQ(full.out.count("\r\n"), 3);
    EXPECT_EQ(full.err,
              QByteArray("dmmlog: recording stopped: the table holds its limit of 2 rows\n"));
}

}  // namespace
}  // namespace dmm
