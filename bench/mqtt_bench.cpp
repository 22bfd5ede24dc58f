// SPDX-License-Identifier: GPL-3.0-or-later
// dmmlog --mqtt to a mosquitto broker on 127.0.0.1, through the whole path:
// meter bytes into dmmlog's standard input, rows out of a subscriber.
//   mqtt_rows_per_s      a flood of frames: rows received per second
//   mqtt_latency_ms_p99  frames paced as the serial line carries them (2400
//                        baud): from a frame's last byte to the subscriber
#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "support/mqtt_broker.h"

namespace {

using dmm::test::MqttBroker;
using dmm::test::MqttSubscriber;
using dmm::test::WaitUntil;
using Clock = std::chrono::steady_clock;

const QString kDmmlog = QStringLiteral(DMM_BINARY_DIR "/tools/dmmlog/dmmlog");

void Feed(QProcess& p, const char* data, qint64 size) {
    p.write(data, size);
    while (p.bytesToWrite() > 0 && p.waitForBytesWritten(60000)) {
    }
}

int RowNo(const std::string& json) {
    const size_t at = json.find("\"no\":");
    return at == std::string::npos ? -1 : std::atoi(json.c_str() + at + 5);
}

int RowsPerSecond(const MqttBroker& broker, double& rate) {
    constexpr size_t kRows = 100000;  // the queue's default limit: none dropped
    const std::vector<uint8_t> stream = dmm::bench::TarvoStream(kRows);
    MqttSubscriber sub(broker.port(), {"bench/flood/reading"}, "bench-flood");
    if (!sub.ready())
        return 1;
    QProcess p;
    const auto start = Clock::now();
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(kDmmlog, {"--mqtt", broker.url(QStringLiteral("bench/flood"))});
    Feed(p, reinterpret_cast<const char*>(stream.data()), qint64(stream.size()));
    p.closeWriteChannel();
    if (!WaitUntil([&] { return sub.count("bench/flood/reading") >= kRows; }, 300000)) {
        std::fprintf(stderr, "mqtt_bench: %zu of %zu rows arrived\n",
                     sub.count("bench/flood/reading"), kRows);
        return 1;
    }
    const auto rows = sub.on("bench/flood/reading");
    rate = double(kRows) / std::chrono::duration<double>(rows.back().at - start).count();
    p.waitForFinished(60000);
    return 0;
}

int Latency(const MqttBroker& broker, double& p99, double& median) {
    constexpr size_t kFrames = 400;
    constexpr size_t kFrameBytes = 11;
    constexpr double kByteSeconds = 10.0 / 2400;  // 8N1 at 2400 baud
    const std::vector<uint8_t> stream = dmm::bench::TarvoStream(kFrames);
    MqttSubscriber sub(broker.port(), {"bench/line/reading"}, "bench-line");
    if (!sub.ready())
        return 1;
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(kDmmlog, {"--mqtt", broker.url(QStringLiteral("bench/line"))});
    if (!p.waitForStarted(60000))
        return 1;
    // The leading LF, then each frame when the line would have carried it.
    Feed(p, reinterpret_cast<const char*>(stream.data()), 1);
    std::vector<Clock::time_point> sent(kFrames);
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(kFrameBytes * kByteSeconds));
    auto next = Clock::now() + period;
    for (size_t i = 0; i < kFrames; ++i) {
        std::this_thread::sleep_until(next);
        next += period;
        sent[i] = Clock::now();
        Feed(p, reinterpret_cast<const char*>(stream.data()) + 1 + i * kFrameBytes,
             qint64(kFrameBytes));
    }
    p.closeWriteChannel();
    if (!WaitUntil([&] { return sub.count("bench/line/reading") >= kFrames; }, 120000))
        return 1;
    std::vector<double> ms;
    for (const auto& m : sub.on("bench/line/reading")) {
        const int no = RowNo(m.payload);
        if (no < 1 || size_t(no) > kFrames)
            return 1;
        ms.push_back(
            std::chrono::duration<double, std::milli>(m.at - sent[size_t(no - 1)]).count());
    }
    std::sort(ms.begin(), ms.end());
    p99 = ms[std::min(ms.size() - 1, size_t(double(ms.size()) * 0.99))];
    median = ms[ms.size() / 2];
    p.waitForFinished(60000);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (!MqttBroker::available()) {
        std::fprintf(stderr, "mqtt_bench: no mosquitto broker installed\n");
        return 1;
    }
    MqttBroker broker;
    if (!broker.start()) {
        std::fprintf(stderr, "mqtt_bench: the broker did not start\n");
        return 1;
    }
    double rate = 0, p99 = 0, median = 0;
    if (RowsPerSecond(broker, rate) != 0 || Latency(broker, p99, median) != 0) {
        std::fprintf(stderr, "mqtt_bench: rows were lost\n");
        return 1;
    }
    std::printf("mqtt_rows_per_s %.0f rows/s\n", rate);
    std::printf("mqtt_latency_ms_p99 %.2f ms\n", p99);
    std::printf("mqtt_latency_ms_median %.2f ms\n", median);
    return 0;
}
