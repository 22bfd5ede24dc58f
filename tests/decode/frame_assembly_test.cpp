// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QStringList>
#include <vector>

#include "decode/frame_assembly.h"
#include "decode/logging.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "support/recording_host.h"

namespace dmm {
namespace {

using Bytes = std::vector<uint8_t>;

// A Tarvo frame on the line: nine data bytes with the fields in their low
// digits, then CR LF.
Bytes TarvoLine(std::string_view nine) {
    Bytes b;
    for (char c : nine)
        b.push_back(uint8_t(0x30 | HexValue(c)));
    b.push_back(0x0D);
    b.push_back(0x0A);
    return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class Assembly : public ::testing::Test {
  protected:
    Assembly() : host(state), rx(state, host) { ApplyStartup(state, true, ".", 0); }
    void feed(const Bytes& b, Family f = Family::Tarvo) { rx.feed(f, b.data(), int32_t(b.size())); }
    void report(std::initializer_list<uint8_t> data, Family f = Family::Tarvo) {
        const Bytes b(data);
        rx.feedReport(f, 0, b.data(), uint16_t(b.size()));
    }
    MeterState state;
    test::RecordingHost host;
    FrameReceiver rx;
};

TEST_F(Assembly, TarvoFramesAcrossChunks) {
    const Bytes lf = {0x0A};
    const Bytes a = TarvoLine("123451120"), b = TarvoLine("543211120"), c = TarvoLine("000011120");
    // The first run after connecting starts mid-frame and is dropped.
    feed({0x35, 0x31, 0x0D});
    EXPECT_EQ(host.offered, 0);
    // Split 3, 5, 3 (the LF of the previous frame opens this one).
    const Bytes first = Concat({lf, Bytes(a.begin(), a.end() - 1)});
    feed(Bytes(first.begin(), first.begin() + 3));
    feed(Bytes(first.begin() + 3, first.begin() + 8));
    EXPECT_EQ(host.offered, 0);
    feed(Bytes(first.begin() + 8, first.end()));
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.FrameText, "123451120DA");
    EXPECT_EQ(state.Lcd.caption(El::USBtxt), "123451120DA");

    // One chunk: the end of a frame, a whole frame, the start of a third.
    const Bytes chunk = Concat({{0x0A}, b, Bytes(c.begin(), c.begin() + 4)});
    feed(chunk);
    EXPECT_EQ(host.offered, 2);
    EXPECT_EQ(state.Reading.ValueText, "5.4321");
    feed(Bytes(c.begin() + 4, c.end()));
    EXPECT_EQ(host.offered, 3);
    EXPECT_EQ(state.Reading.ValueText, "0.0001");
}

TEST_F(Assembly, TarvoRejectsShortFramesAndOnlyCrEnds) {
    feed({0x0A});
    // Eight data bytes: character 11 is empty.
    feed(Concat({TarvoLine("12345112"), {}}));
    EXPECT_EQ(host.offered, 0);
    // A data byte 0x3D (low digit D) does not end the frame; only 0x0D does.
    Bytes f = TarvoLine("123451120");
    f[6] = 0x3D;  // function code D
    feed(f);
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.FrameText, "123451D20DA");
    EXPECT_EQ(state.Reading.UnitText, "?");
}

TEST_F(Assembly, DecoderFailureDropsRestOfChunkOnly) {
    const Bytes bad = TarvoLine("12345C120");  // range C
    const Bytes good = TarvoLine("123451120");
    const Bytes chunk = Concat({{0x0A}, bad, good});
    EXPECT_THROW(feed(chunk), ConversionError);
    EXPECT_EQ(rx.consumed(), 11u);  // up to the failed frame's CR
    EXPECT_EQ(host.offered, 0);
    EXPECT_EQ(rx.serial().size(), 0u);
    // The next chunk decodes as usual.
    feed(Concat({{0x0A}, good}));
    EXPECT_EQ(host.offered, 1);
}

TEST_F(Assembly, MeskoNeedsFourteenCountedBytes) {
    const Bytes frame = {0x1A, 0x20, 0x35, 0x45, 0x5B, 0x69, 0x7F,
                         0x82, 0x97, 0xA0, 0xB0, 0xC0, 0xD4, 0xE0};
    feed(frame, Family::Mesko);
    EXPECT_EQ(state.FrameText, "A055B9F2700040");
    EXPECT_EQ(state.Lcd.visible(El::CONok), true);
    // The byte with high digit 6 lost: dropped at the 0xE byte.
    state.Lcd.hide(El::CONok);
    Bytes lost = frame;
    lost.erase(lost.begin() + 5);
    feed(lost, Family::Mesko);
    EXPECT_FALSE(state.Lcd.visible(El::CONok));
    // An extra byte is as bad.
    Bytes extra = frame;
    extra.insert(extra.begin() + 3, 0x33);
    feed(extra, Family::Mesko);
    EXPECT_FALSE(state.Lcd.visible(El::CONok));
    feed(frame, Family::Mesko);
    EXPECT_TRUE(state.Lcd.visible(El::CONok));
}

TEST_F(Assembly, DralinKeepsAllElevenDigits) {
    feed({0x0A, 0x31, 0x30, 0x31, 0x32, 0x33, 0x3B, 0x30, 0x30, 0x3A, 0x0D}, Family::Dralin);
    EXPECT_EQ(state.FrameText, "A10123B00AD");
    EXPECT_TRUE(state.Lcd.visible(El::CONok));
}

TEST_F(Assembly, LongRunsAreBoundedAndAreNoFrames) {
    // Ten thousand bytes without a frame end keep only a bounded prefix. The
    // run shows "A" at its first digit and "D" at its eleventh, but it is no
    // frame: only a run of exactly eleven bytes is.
    Bytes noise(10000, 0x35);
    noise[0] = 0x0A;
    noise[10] = 0x3D;
    feed(noise);
    EXPECT_EQ(rx.serial().size(), 10000u);
    EXPECT_LE(rx.serial().lowNibbles().size(), SerialCollector::kKept);
    feed({0x0D});
    EXPECT_EQ(host.offered, 0);
    // Nor is a run of twelve: the rest of a frame cut off when the line
    // closed, then the first bytes of the next one.
    feed({0x0A, 0x33, 0x34, 0x0A, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x3D, 0x32, 0x0D, 0x0A});
    EXPECT_EQ(host.offered, 0);
    feed(TarvoLine("123451120"));
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.FrameText, "123451120DA");
}

TEST_F(Assembly, CableReportsMakeOneFrame) {
    std::vector<std::string> history;
    rx.onHistory = [&](const std::string& line) { history.push_back(line); };
    // Eight then three meter bytes, then an idle report.
    report({0xF8, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x31, 0x32});
    report({0xF3, 0x30, 0x0D, 0x0A});
    EXPECT_EQ(host.offered, 0);
    EXPECT_EQ(rx.reports().IdleReportCount, 0);
    report({0xF0, 0x00});
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.FrameText, "123451120DA");
    // The decoder writes the frame over the high digits that assembly showed.
    EXPECT_EQ(state.Lcd.caption(El::USBtxt), "123451120DA");
    EXPECT_EQ(state.Lcd.caption(El::USBtxt1), "DA");
    EXPECT_EQ(rx.reports().IdleReportCount, 1);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[1], "R 00  F3 30 0D 0A ");
    // A second idle report only counts.
    report({0xF0});
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(rx.reports().IdleReportCount, 2);
}

TEST_F(Assembly, CableEdgeReports) {
    // An empty report is neither idle nor data but ends a frame in progress.
    report({0xF5, 0x31, 0x32, 0x33, 0x34, 0x35});
    rx.feedReport(Family::Tarvo, 0, nullptr, 0);
    EXPECT_EQ(rx.reports().IdleReportCount, 0);
    EXPECT_FALSE(rx.reports().InReportFrame);
    EXPECT_TRUE(rx.reports().reportHexText().empty());
    // A count beyond the report's bytes contributes the bytes present.
    report({0xF9, 0x31, 0x32});
    EXPECT_EQ(rx.reports().reportHexText(), "3132");
    report({0xF0});
    // Thirteen meter bytes: a frame only if bytes 10 and 11 end in D and A.
    report({0xF9, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x31, 0x32, 0x30});
    report({0xF4, 0x0D, 0x0A, 0x77, 0x77});
    report({0xF0});
    EXPECT_EQ(host.offered, 1);
    EXPECT_EQ(state.FrameText, "123451120DA");
    report({0xF9, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x31, 0x32, 0x30});
    report({0xF4, 0x0D, 0x0B, 0x0D, 0x0A});
    report({0xF0});
    EXPECT_EQ(host.offered, 1);
}

TEST_F(Assembly, CableFailureStillEmptiesTheRun) {
    report({0xF9, 0x31, 0x32, 0x33, 0x34, 0x35, 0x3C, 0x31, 0x32, 0x30});
    report({0xF2, 0x0D, 0x0A});
    EXPECT_THROW(report({0xF0}), ConversionError);
    EXPECT_FALSE(rx.reports().InReportFrame);
    EXPECT_TRUE(rx.reports().reportHexText().empty());
    report({0xF9, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x31, 0x32, 0x30});
    report({0xF2, 0x0D, 0x0A});
    report({0xF0});
    EXPECT_EQ(host.offered, 1);
}

TEST_F(Assembly, MeskoCable) {
    report({0xF7, 0x1A, 0x20, 0x35, 0x45, 0x5B, 0x69, 0x7F}, Family::Mesko);
    report({0xF7, 0x82, 0x97, 0xA0, 0xB0, 0xC0, 0xD4, 0xE0}, Family::Mesko);
    report({0xF0}, Family::Mesko);
    EXPECT_EQ(state.FrameText, "A055B9F2700040");
    EXPECT_EQ(state.Lcd.caption(El::USBtxt), "A055B9F2700040");
    EXPECT_TRUE(state.Lcd.visible(El::CONok));
}

// What dmm.frames says while a test runs.
QStringList g_frameLog;
void KeepFrameLog(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (QLatin1String(context.category) == QLatin1String("dmm.frames"))
        g_frameLog << text;
}

TEST_F(Assembly, AFrameTurnedAwayIsLoggedAsHexOnlyWhenAsked) {
    const QtMessageHandler previous = qInstallMessageHandler(KeepFrameLog);
    g_frameLog.clear();
    // One data byte short, and no LF after it to open another run.
    const Bytes eight = {0x0A, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x0D};
    feed(eight);
    EXPECT_TRUE(g_frameLog.isEmpty()) << "silent by default";

    QLoggingCategory::setFilterRules(QStringLiteral("dmm.frames.debug=true"));
    feed(eight);
    report({0xF2, 0x31, 0x32});  // a cable run without its frame end
    report({0xF0});
    QLoggingCategory::setFilterRules(QString());
    qInstallMessageHandler(previous);

    EXPECT_EQ(host.offered, 0);
    ASSERT_EQ(g_frameLog.size(), 2) << g_frameLog.join(u'\n').toStdString();
    EXPECT_EQ(g_frameLog[0], QStringLiteral("tarvo serial frame turned away (10 bytes): "
                                            "0A 31 32 33 34 35 36 37 38 0D"));
    EXPECT_EQ(g_frameLog[1], QStringLiteral("tarvo cable frame turned away (2 bytes): 31 32"));
}

}  // namespace
}  // namespace dmm
