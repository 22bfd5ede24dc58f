// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the soak bench and the fault tests drive the program with: metersim as
// a child process on a pseudo-terminal, held by its standard input so that it
// talks only while the program listens and says exactly how many frames it
// sent; the rows the program's own core records from the same seeded stream,
// to hold the program's table against; and a probe of the event loop's
// longest stall.

#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "record/reading_table.h"
#include "tools/metersim/frame_generator.h"

namespace dmm::metersim {

// The metersim program of this build.
QString MetersimProgram();

class HeldMeter {
  public:
    HeldMeter() = default;
    ~HeldMeter();
    HeldMeter(const HeldMeter&) = delete;
    HeldMeter& operator=(const HeldMeter&) = delete;

    // Starts the program with --pty --hold and the given arguments and waits
    // until its terminal exists. False (see errorText) when it does not come.
    bool open(const QStringList& args, int timeoutMs = 20000,
              const QString& program = MetersimProgram());
    // The terminal's path, for the program's port name.
    const QString& terminal() const { return terminal_; }

    // The meter starts talking; the next call makes it stop after the frame
    // under way.
    void start();
    void stop();
    // The frames that went out, once the meter has stopped (asked to, or at
    // its --count); nullopt before. Never waits: run the event loop between
    // calls.
    std::optional<uint64_t> framesSent();

    // Lets the terminal go and waits for the program to end: its exit code,
    // or -1 when it did not end normally.
    int release(int timeoutMs = 10000);

    const QString& errorText() const { return error_; }

  private:
    QProcess process_;
    QString terminal_;
    QByteArray out_;
    QString error_;
};

// The rows the program's core records from the first `frames` frames of
// metersim's stream for the family and seed: every frame recorded, the
// start-up limits, dec the decimal separator.
ReadingTable ReferenceRows(Family family, uint32_t seed, uint64_t frames, std::string_view dec);

// Rows of the recorded table that say something else than the reference
// (function, value, unit, verdict or count; the time and the number differ by
// nature), each row missing or extra counting as one.
struct Misdecodes {
    size_t rows = 0;
    std::string first;  // what the first of them says; empty when none
};
Misdecodes CompareWithReference(const ReadingTable& recorded, const ReadingTable& reference);

// The longest gap between the ticks of a timer of periodMs: how long the
// event loop was busy at a stretch.
class StallProbe {
  public:
    explicit StallProbe(int periodMs = 10);
    // Forgets the gaps so far.
    void restart();
    double longestGapMs() const { return double(longestNs_) / 1e6; }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0;
    qint64 longestNs_ = 0;
};

}  // namespace dmm::metersim
