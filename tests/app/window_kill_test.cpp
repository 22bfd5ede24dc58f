// SPDX-License-Identifier: GPL-3.0-or-later
// The window killed outright keeps its readings: the program runs as a child
// process on the offscreen platform, its serial link on from the start and fed
// metersim's frames through a pseudo-terminal, and is killed with SIGKILL once
// its rows have had over a second to reach the disk. Its journal then holds
// exactly those rows, and the next start restores them.
//
// The test owns the terminal rather than metersim's --pty: setting the port up
// throws away whatever already waits on the line, and the terminal's master
// tells when that has happened, so no frame is sent too early.

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "record/journal.h"
#include "support/metersim_harness.h"
#include "support/pseudo_terminal.h"
#include "window_fixture.h"

namespace dmm::app {
namespace {

constexpr uint64_t kFrames = 60;
constexpr uint32_t kSeed = 20240917;
// Generous: a loaded machine, a sanitizer build, a program that starts cold.
constexpr int kDeadlineMs = 60000;
// The journal syncs at least once a second; this much after the last row was
// seen in the file, every row is on the disk.
constexpr int kSyncMarginMs = 1100;

// metersim's first frames for the seed, as the meter sends them.
QByteArray MeterBytes() {
    QProcess sim;
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(metersim::MetersimProgram(),
              {QStringLiteral("--count"), QString::number(kFrames), QStringLiteral("--seed"),
               QString::number(kSeed), QStringLiteral("--flood")});
    if (!sim.waitForFinished(kDeadlineMs) || sim.exitStatus() != QProcess::NormalExit ||
        sim.exitCode() != 0) {
        return {};
    }
    return sim.readAllStandardOutput();
}

// The journal files directly in the folder.
QStringList JournalFiles(const QString& directory) {
    QStringList files;
    for (const QString& name :
         QDir(directory).entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Name))
        files << QDir(directory).filePath(name);
    return files;
}

// Whole lines in the file (a row being written may still lack its end).
qsizetype WholeLines(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

class KilledWindow : public Window {};

TEST_F(KilledWindow, JournalHoldsTheRowsUpToASecondBeforeAndTheNextStartRestoresThem) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString state = home.filePath(QStringLiteral("state"));
    const QString journalDir = state + QStringLiteral("/tarvometer/journal");
    const QByteArray frames = MeterBytes();
    ASSERT_FALSE(frames.isEmpty()) << "metersim gave no frames";

    test::PseudoTerminal line;
    ASSERT_TRUE(line.ok());
    ASSERT_TRUE(line.reportFlushes());

    QProcess window;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_STATE_HOME"), state);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    window.setProcessEnvironment(env);
    window.setProcessChannelMode(QProcess::ForwardedChannels);
    window.start(QStringLiteral(TARVOMETER_PROGRAM),
                 {QStringLiteral("--family"), QStringLiteral("tarvo"), QStringLiteral("--port"),
                  QStringLiteral("1=") + line.slavePath(), QStringLiteral("--connect")});
    ASSERT_TRUE(window.waitForStarted(kDeadlineMs)) << window.errorString().toStdString();

    // The meter talks once the program has set its port up.
    ASSERT_TRUE(line.waitForInputFlush(kDeadlineMs)) << "the program never opened the line";
    ASSERT_TRUE(line.write(frames));
    QString journalPath;
    ASSERT_TRUE(WaitFor(
        [&] {
            const QStringList files = JournalFiles(journalDir);
            journalPath = files.size() == 1 ? files.front() : QString();
            return !journalPath.isEmpty() && WholeLines(journalPath) >= qsizetype(kFrames);
        },
        kDeadlineMs))
        << "journal files: " << JournalFiles(journalDir).join(u' ').toStdString();
    QElapsedTimer sinceLastRow;
    sinceLastRow.start();
    WaitFor([&] { return sinceLastRow.hasExpired(kSyncMarginMs); }, 2 * kSyncMarginMs);
    ASSERT_EQ(window.state(), QProcess::Running) << "the program ended before the kill";
    ASSERT_EQ(::kill(pid_t(window.processId()), SIGKILL), 0);
    ASSERT_TRUE(window.waitForFinished(kDeadlineMs));
    EXPECT_EQ(window.exitStatus(), QProcess::CrashExit);

    // Every frame is a row, in order, numbered from 1, read as the meter meant
    // it.
    ReadingTable journalled;
    const LoadOutcome read = RestoreJournal(journalPath, journalled);
    ASSERT_TRUE(read.ok) << read.detail;
    ASSERT_EQ(journalled.size(), kFrames);
    for (size_t r = 0; r < journalled.size(); ++r)
        EXPECT_EQ(journalled.integer(r, Field::No), int32_t(r + 1)) << "row " << r;
    const metersim::Misdecodes misdecodes = metersim::CompareWithReference(
        journalled, metersim::ReferenceRows(metersim::Family::Tarvo, kSeed, kFrames,
                                            w.meterState().DecimalSep));
    EXPECT_EQ(misdecodes.rows, 0u) << misdecodes.first;

    // The next start offers them back; Yes brings back every field of every
    // row, and that journal carries on.
    script.answers = {true};
    w.StartJournal(journalDir);
    ASSERT_EQ(script.questions.size(), 1u);
    EXPECT_TRUE(script.questions.front().contains(QStringLiteral("%1 readings").arg(kFrames)))
        << script.questions.front().toStdString();
    EXPECT_TRUE(script.messages.empty());
    ASSERT_EQ(w.table().size(), kFrames);
    for (size_t r = 0; r < kFrames; ++r)
        EXPECT_EQ(w.table().row(r), journalled.row(r)) << "row " << r;
    ASSERT_TRUE(w.journal());
    EXPECT_EQ(w.journal()->path(), journalPath);
}

}  // namespace
}  // namespace dmm::app

int main(int argc, char** argv) {
    return dmm::app::WindowTestMain(argc, argv);
}
