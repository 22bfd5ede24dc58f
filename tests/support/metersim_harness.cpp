// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/metersim_harness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <climits>

#include "decode/frame_assembly.h"
#include "decode/meter_state.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "record/recording_session.h"

namespace dmm::metersim {
namespace {

dmm::Family CoreFamily(Family family) {
    switch (family) {
        case Family::Mesko:
            return dmm::Family::Mesko;
        case Family::Dralin:
            return dmm::Family::Dralin;
        case Family::Tarvo:
            break;
    }
    return dmm::Family::Tarvo;
}

constexpr Field kComparedFields[] = {Field::DcAc, Field::Value, Field::Unit, Field::Auto};

std::string Describe(const ReadingTable& table, size_t row) {
    std::string text;
    for (const Field f : kComparedFields) {
        text += '\'';
        text += table.text(row, f);
        text += "' ";
    }
    const auto count = table.integer(row, Field::Nval);
    text += count ? std::to_string(*count) : std::string("null");
    return text;
}

bool SameReading(const ReadingTable& a, const ReadingTable& b, size_t row) {
    for (const Field f : kComparedFields) {
        if (a.text(row, f) != b.text(row, f))
            return false;
    }
    return a.integer(row, Field::Nval) == b.integer(row, Field::Nval);
}

}  // namespace

QString MetersimProgram() {
    return QStringLiteral(METERSIM_PROGRAM);
}

HeldMeter::~HeldMeter() {
    if (process_.state() != QProcess::NotRunning)
        release(3000);
}

bool HeldMeter::open(const QStringList& args, int timeoutMs, const QString& program) {
    // Its complaints belong with ours.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(program, QStringList{QStringLiteral("--pty"), QStringLiteral("--hold")} + args);
    if (!process_.waitForStarted(timeoutMs)) {
        error_ = QStringLiteral("cannot start %1: %2").arg(program, process_.errorString());
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    while (!out_.contains('\n')) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            error_ = QStringLiteral("%1 made no terminal").arg(program);
            return false;
        }
        process_.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 100)));
        out_ += process_.readAllStandardOutput();
    }
    const qsizetype end = out_.indexOf('\n');
    terminal_ = QString::fromLocal8Bit(out_.left(end));
    out_.remove(0, end + 1);
    return true;
}

void HeldMeter::start() {
    process_.write("\n");
    process_.waitForBytesWritten(1000);
}

void HeldMeter::stop() {
    start();  // the second line stops it
}

std::optional<uint64_t> HeldMeter::framesSent() {
    process_.waitForReadyRead(0);
    out_ += process_.readAllStandardOutput();
    const QByteArray prefix = "frames ";
    const qsizetype at = out_.indexOf(prefix);
    const qsizetype end = at < 0 ? -1 : out_.indexOf('\n', at);
    if (end < 0)
        return std::nullopt;
    bool ok = false;
    const qulonglong frames =
        out_.mid(at + prefix.size(), end - at - prefix.size()).trimmed().toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return uint64_t(frames);
}

int HeldMeter::release(int timeoutMs) {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(timeoutMs)) {
        process_.kill();
        process_.waitForFinished(timeoutMs);
        return -1;
    }
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

ReadingTable ReferenceRows(Family family, uint32_t seed, uint64_t frames, std::string_view dec) {
    MeterState state;
    ApplyStartup(state, true, dec, 0);
    // The window's recording as it starts (no interval sampling, the
    // start-up limits, every reading recorded) with room for every row.
    // Times are left out of the comparison, so one fixed time saves asking
    // the clock for each row.
    RecordingSession session(state);
    session.setCapacity(INT32_MAX);
    session.setClock([] { return 0.0; });
    FrameReceiver receiver(state, session);
    FrameGenerator generator(family, seed);
    const dmm::Family core = CoreFamily(family);
    std::vector<uint8_t> bytes = generator.preamble();
    for (uint64_t i = 0; i < frames; ++i) {
        generator.next(bytes);
        try {
            receiver.feed(core, bytes.data(), int32_t(bytes.size()));
        } catch (const ConversionError&) {
            // No row, as in the program; the comparison shows the gap.
        }
        bytes.clear();
    }
    return std::move(session.table());
}

Misdecodes CompareWithReference(const ReadingTable& recorded, const ReadingTable& reference) {
    Misdecodes out;
    const size_t common = std::min(recorded.size(), reference.size());
    for (size_t row = 0; row < common; ++row) {
        if (SameReading(recorded, reference, row))
            continue;
        if (out.rows++ == 0) {
            out.first = "row " + std::to_string(row + 1) + " reads " + Describe(recorded, row) +
                        " where the meter sent " + Describe(reference, row);
        }
    }
    const size_t unmatched = std::max(recorded.size(), reference.size()) - common;
    if (unmatched > 0 && out.rows == 0) {
        out.first = std::to_string(recorded.size()) + " rows recorded where the meter sent " +
                    std::to_string(reference.size());
    }
    out.rows += unmatched;
    return out;
}

StallProbe::StallProbe(int periodMs) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        const qint64 now = clock_.nsecsElapsed();
        longestNs_ = std::max(longestNs_, now - lastNs_);
        lastNs_ = now;
    });
    timer_.start(periodMs);
    restart();
}

void StallProbe::restart() {
    clock_.start();
    lastNs_ = 0;
    longestNs_ = 0;
}

}  // namespace dmm::metersim
