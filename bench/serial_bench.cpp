// SPDX-License-Identifier: GPL-3.0-or-later
// The serial link at full speed, offscreen.
//   serial_cpu_per_frame_us  processor time of the program per decoded frame
//                            while metersim floods COM1 through a
//                            pseudo-terminal for 10 seconds (an optional
//                            argument gives other seconds)
//   serial_frames_per_s      frames decoded and recorded per second meanwhile

#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "link/hid_fake_backend.h"
#include "link/serial_port_driver.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

void Settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    dmm::app::Application app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;

    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("meter"));
    QProcess meter;
    meter.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    meter.start(
        QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/metersim/metersim"),
        {QStringLiteral("--pty"), QStringLiteral("--link"), link, QStringLiteral("--flood")});
    for (int i = 0; i < 500 && !QFileInfo::exists(link); ++i)
        Settle(10);
    if (!QFileInfo::exists(link)) {
        std::fprintf(stderr, "serial_bench: metersim made no terminal\n");
        return 1;
    }

    dmm::app::TFCOMM w(nullptr, std::make_shared<dmm::FakeHidBackend>());
    w.show();
    w.limitessClick();
    w.comm2().setPortNameResolver([&link](dmm::TComPortNumber) { return link; });
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    w.findChild<QPushButton*>(QStringLiteral("COMCon"))->click();
    Settle(seconds * 1000);
    w.findChild<QPushButton*>(QStringLiteral("COMCon"))->click();
    const double cpu = CpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    meter.terminate();
    meter.waitForFinished(3000);

    const size_t frames = w.table().size();
    if (frames == 0) {
        std::fprintf(stderr, "serial_bench: no frame arrived\n");
        return 1;
    }
    std::printf("serial_cpu_per_frame_us %.2f us\n", cpu * 1e6 / double(frames));
    std::printf("serial_frames_per_s %.0f frames/s\n", double(frames) / wall);
    return 0;
}
