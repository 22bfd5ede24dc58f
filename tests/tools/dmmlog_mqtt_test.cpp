// SPDX-License-Identifier: GPL-3.0-or-later
// dmmlog --mqtt against a real broker on 127.0.0.1.
#include <gtest/gtest.h>

#include <signal.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <map>

#include "support/mqtt_broker.h"
#include "tools/dmmlog/mqtt_publisher.h"

namespace dmm {
namespace {

using test::MqttBroker;
using test::MqttSubscriber;
using test::WaitUntil;

const QString kDmmlog = QStringLiteral(DMM_BINARY_DIR "/tools/dmmlog/dmmlog");
constexpr int kLong = 60000;  // generous: the machine is loaded, maybe under a sanitizer

// Tarvo frames reading first, first + 1, ... on the 2 V range.
QByteArray TarvoFrames(int first, int count) {
    QByteArray b;
    if (first == 1)
        b.append('\n');
    for (int i = first; i < first + count; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%05d1120", i % 20000);
        for (const char* c = text; *c; ++c)
            b.append(char(0x30 | (*c - '0')));
        b.append("\r\n");
    }
    return b;
}

// Bytes to the logger's standard input, written out at once.
void Feed(QProcess& p, const QByteArray& bytes) {
    p.write(bytes);
    while (p.bytesToWrite() > 0 && p.waitForBytesWritten(kLong)) {
    }
}

int RowNo(const std::string& json) {
    const auto m =
        QRegularExpression(QStringLiteral("\"no\":(\\d+)")).match(QString::fromStdString(json));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

#define REQUIRE_BROKER()          \
    if (!MqttBroker::available()) \
        GTEST_SKIP() << "no mosquitto broker installed (Debian: mosquitto)";

// Every row once and in order, as --format json writes it; the status ends
// "offline" and the discovery configuration names the unit.
TEST(DmmlogMqtt, EveryRowArrivesOnceInOrder) {
    REQUIRE_BROKER();
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber sub(broker.port(), {"lab/m1/#", "homeassistant/#"});
    ASSERT_TRUE(sub.ready());

    constexpr int kRows = 2000;
    QProcess p;
    p.start(kDmmlog, {"--format", "json", "--mqtt", broker.url("lab/m1"), "--mqtt-discovery"});
    Feed(p, TarvoFrames(1, kRows));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(kLong));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(lines.size(), kRows);

    ASSERT_TRUE(WaitUntil([&] { return sub.count("lab/m1/reading") >= size_t(kRows); }, kLong));
    const auto rows = sub.on("lab/m1/reading");
    ASSERT_EQ(rows.size(), size_t(kRows));
    for (int i = 0; i < kRows; ++i) {
        ASSERT_EQ(rows[size_t(i)].payload, lines[i].toStdString()) << "row " << i + 1;
        ASSERT_EQ(RowNo(rows[size_t(i)].payload), i + 1);
    }
    ASSERT_TRUE(WaitUntil([&] { return sub.last("lab/m1/status") == "offline"; }, kLong));
    EXPECT_EQ(sub.on("lab/m1/status").front().payload, "online");
    const std::string config = sub.last("homeassistant/sensor/dmmlog_lab_m1/config");
    EXPECT_NE(config.find("\"unit_of_measurement\":\"V\""), std::string::npos) << config;
    EXPECT_NE(config.find("\"state_topic\":\"lab/m1/reading\""), std::string::npos);
    EXPECT_NE(config.find("\"availability_topic\":\"lab/m1/status\""), std::string::npos);
    EXPECT_NE(config.find("{{ value_json.si_value }}"), std::string::npos);
}

// The broker stopped while rows are recorded and started again: no row is
// lost, the --out file has them all at once, and a row seen twice is the same
// row (same no and timestamp), sent again around the restart.
TEST(DmmlogMqtt, BrokerRestartLosesNoRow) {
    REQUIRE_BROKER();
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber sub(broker.port(), {"lab/m2/reading"}, "dmm-test-restart");
    ASSERT_TRUE(sub.ready());
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("rows.txt"));

    QProcess p;
    p.start(kDmmlog, {"--format", "json", "--out", out, "--mqtt", broker.url("lab/m2")});
    ASSERT_TRUE(p.waitForStarted(kLong));
    Feed(p, TarvoFrames(1, 100));
    ASSERT_TRUE(WaitUntil([&] { return sub.count("lab/m2/reading") >= 100; }, kLong));

    broker.stop();
    Feed(p, TarvoFrames(101, 100));
    auto outRows = [&] {
        QFile f(out);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count("\r\n") - 1 : -1;
    };
    ASSERT_TRUE(WaitUntil([&] { return outRows() == 200; }, kLong));
    ASSERT_TRUE(broker.start());
    Feed(p, TarvoFrames(201, 100));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(kLong * 2));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();

    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto rows = sub.on("lab/m2/reading");
            return !rows.empty() && RowNo(rows.back().payload) == 300;
        },
        kLong));
    std::map<int, std::string> seen;
    int last = 0;
    for (const auto& m : sub.on("lab/m2/reading")) {
        const int no = RowNo(m.payload);
        ASSERT_GE(no, 1);
        if (no == last + 1) {
            seen[no] = m.payload;
            last = no;
        } else {
            // Only a row already seen may come again, unchanged.
            ASSERT_TRUE(seen.count(no)) << "row " << no << " came out of order after " << last;
            ASSERT_EQ(seen[no], m.payload);
        }
    }
    EXPECT_EQ(last, 300);
}

// At the start the broker must be there and take the login.
TEST(DmmlogMqtt, WrongPasswordOrNoBrokerIsAnError) {
    REQUIRE_BROKER();
    MqttBroker broker(QStringLiteral("meter"), QStringLiteral("right"));
    ASSERT_TRUE(broker.start());
    QTemporaryDir dir;
    auto run = [&](const QString& password) {
        const QString file = dir.filePath(QStringLiteral("password"));
        QFile f(file);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(password.toUtf8() + "\n");
        f.close();
        QProcess p;
        p.start(kDmmlog, {"--mqtt", broker.url("lab/m3"), "--mqtt-user", "meter",
                          "--mqtt-password-file", file});
        Feed(p, TarvoFrames(1, 3));
        p.closeWriteChannel();
        p.waitForFinished(kLong);
        return std::make_pair(p.exitCode(), p.readAllStandardError());
    };
    const auto wrong = run(QStringLiteral("wrong"));
    EXPECT_EQ(wrong.first, 1);
    EXPECT_TRUE(wrong.second.startsWith("dmmlog: the MQTT broker at 127.0.0.1:"))
        << wrong.second.toStdString();
    EXPECT_TRUE(wrong.second.contains("refused the connection: Connection Refused: not authorised"))
        << wrong.second.toStdString();
    EXPECT_EQ(wrong.second.count('\n'), 1);
    const auto right = run(QStringLiteral("right"));
    EXPECT_EQ(right.first, 0) << right.second.toStdString();

    broker.stop();
    QProcess p;
    p.start(kDmmlog, {"--mqtt", broker.url("lab/m3")});
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(kLong));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(
        p.readAllStandardError().startsWith("dmmlog: cannot reach the MQTT broker at 127.0.0.1:"));
}

// The status follows the link: online, silent after 10 s without bytes,
// online again, and the last will "offline" when the logger is killed.
TEST(DmmlogMqtt, StatusAndLastWill) {
    REQUIRE_BROKER();
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber sub(broker.port(), {"lab/m4/status"});
    ASSERT_TRUE(sub.ready());
    QProcess p;
    p.start(kDmmlog, {"--mqtt", broker.url("lab/m4")});
    ASSERT_TRUE(p.waitForStarted(kLong));
    Feed(p, TarvoFrames(1, 2));
    ASSERT_TRUE(WaitUntil([&] { return sub.last("lab/m4/status") == "online"; }, kLong));
    ASSERT_TRUE(WaitUntil([&] { return sub.last("lab/m4/status") == "silent"; }, kLong));
    Feed(p, TarvoFrames(3, 1));
    ASSERT_TRUE(WaitUntil([&] { return sub.last("lab/m4/status") == "online"; }, kLong));
    ::kill(pid_t(p.processId()), SIGKILL);
    p.waitForFinished(kLong);
    ASSERT_TRUE(WaitUntil([&] { return sub.last("lab/m4/status") == "offline"; }, kLong));
}

// Rows beyond the queue's limit while the broker is away: the oldest go, one
// message gives their count, the newest reach the broker when it is back.
TEST(DmmlogMqtt, FullQueueDropsTheOldestAndSaysHowMany) {
    REQUIRE_BROKER();
    MqttBroker broker;
    ASSERT_TRUE(broker.start());
    MqttSubscriber sub(broker.port(), {"lab/m5/reading"}, "dmm-test-queue");
    ASSERT_TRUE(sub.ready());
    QProcess p;
    p.start(kDmmlog, {"--format", "json", "--mqtt", broker.url("lab/m5"), "--mqtt-queue", "10"});
    ASSERT_TRUE(p.waitForStarted(kLong));
    Feed(p, TarvoFrames(1, 5));
    ASSERT_TRUE(WaitUntil([&] { return sub.count("lab/m5/reading") >= 5; }, kLong));
    broker.stop();
    // Once the logger knows, rows wait in its queue.
    QByteArray err;
    ASSERT_TRUE(WaitUntil(
        [&] {
            p.waitForReadyRead(10);
            err += p.readAllStandardError();
            return err.contains("the MQTT broker went away");
        },
        kLong));
    Feed(p, TarvoFrames(6, 30));
    QByteArray stdoutSoFar;
    ASSERT_TRUE(WaitUntil(
        [&] {
            p.waitForReadyRead(10);
            stdoutSoFar += p.readAllStandardOutput();
            return stdoutSoFar.count('\n') == 35;
        },
        kLong));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto rows = sub.on("lab/m5/reading");
            return !rows.empty() && RowNo(rows.back().payload) == 35;
        },
        kLong));
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(kLong));
    EXPECT_EQ(p.exitCode(), 0);
    err += p.readAllStandardError();
    EXPECT_EQ(err.count("were dropped"), 1) << err.toStdString();
    EXPECT_TRUE(err.contains(" 20 rows for the MQTT broker were dropped")) << err.toStdString();
    // The rows that reached the broker: 1 to 5, then the newest 10 (a row
    // sent around the restart may come twice).
    std::vector<int> nos;
    for (const auto& m : sub.on("lab/m5/reading"))
        if (nos.empty() || RowNo(m.payload) > nos.back())
            nos.push_back(RowNo(m.payload));
    EXPECT_EQ(nos, (std::vector<int>{1, 2, 3, 4, 5, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35}));
}

TEST(DmmlogMqtt, UrlsAndDiscovery) {
    std::string why;
    const auto t = ParseMqttUrl("mqtts://[::1]:9000/lab/bench 3/", why);
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->tls);
    EXPECT_EQ(t->host, "::1");
    EXPECT_EQ(t->port, 9000);
    EXPECT_EQ(t->prefix, "lab/bench 3");
    EXPECT_EQ(ParseMqttUrl("mqtt://broker/x", why)->port, 1883);
    for (const char* bad : {"http://h/x", "mqtt://h", "mqtt://h/", "mqtt://h:0/x",
                            "mqtt://h:99999/x", "mqtt://:1883/x", "mqtt://h/a/#", "mqtt://[::1/x"})
        EXPECT_FALSE(ParseMqttUrl(bad, why)) << bad;
    const DiscoveryMessage d = DiscoveryConfig("lab/bench 3", "Ω");
    EXPECT_EQ(d.topic, "homeassistant/sensor/dmmlog_lab_bench_3/config");
    EXPECT_EQ(d.payload,
              "{\"name\":\"Multimeter lab/bench 3\",\"unique_id\":\"dmmlog_lab_bench_3\","
              "\"state_topic\":\"lab/bench 3/reading\",\"unit_of_measurement\":\"Ω\","
              "\"value_template\":\"{{ value_json.si_value }}\","
              "\"availability_topic\":\"lab/bench 3/status\",\"payload_available\":\"online\","
              "\"payload_not_available\":\"offline\"}");
}

// The service unit as systemd reads it, for an instance.
TEST(DmmlogService, UnitVerifies) {
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    QTemporaryDir dir;
    const QString unit = dir.filePath(QStringLiteral("dmmlog@ttyUSB0.service"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(DMM_TEST_DATA_DIR "/../../packaging/dmmlog@.service"),
                            dir.filePath(QStringLiteral("dmmlog@.service"))));
    ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("dmmlog@.service")), unit));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(analyze, {QStringLiteral("verify"), QStringLiteral("--man=no"), unit});
    ASSERT_TRUE(p.waitForFinished(kLong));
    const QByteArray said = p.readAll();
    EXPECT_EQ(p.exitCode(), 0) << said.toStdString();
    // Warnings about the unit itself (not about the machine's other units).
    EXPECT_FALSE(said.contains("dmmlog@")) << said.toStdString();
}

}  // namespace
}  // namespace dmm
