// SPDX-License-Identifier: GPL-3.0-or-later
// Program entry: the application with its general error handler, the main
// window, and the empty second window that is never shown.
//
// usage: tarvometer [--family tarvo|mesko|dralin] [--port N=DEVICE]... [--connect] [--verbose]
//   --family mesko       decode that meter family (else the one chosen last
//                        time in the "Meter" menu, else Tarvo)
//   --port 1=/dev/pts/5  COM1 opens that device instead of the first of
//                        /dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0 (for a meter
//                        on an unusual adapter, or metersim's terminal)
//   --connect            start with the serial link of COM1 on, as a click on
//                        "COM Connection" does (a port that cannot be opened
//                        says why and stays closed)
//   --verbose            log what the program does (frames turned away, the
//                        ports, HID devices, data files, the journal) to
//                        standard error, for a bug report

#include <QCommandLineParser>
#include <QPushButton>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdio>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "decode/logging.h"
#include "decode/meter_family.h"
#include "link/serial_port_driver.h"

namespace {

class TForm1 : public QWidget {
  public:
    TForm1() {
        setObjectName(QStringLiteral("Form1"));
        setWindowTitle(QStringLiteral("Form1"));
        resize(696, 480);
    }
};

// The devices given for COM1..COM4 on the command line; empty: the usual ones.
using PortMap = std::array<QString, 4>;

bool ParsePorts(const QStringList& mappings, PortMap& ports) {
    for (const QString& mapping : mappings) {
        const qsizetype eq = mapping.indexOf(u'=');
        bool ok = false;
        const int n = mapping.left(eq).toInt(&ok);
        if (eq < 0 || !ok || n < 1 || n > 4 || eq + 1 >= mapping.size())
            return false;
        ports[size_t(n - 1)] = mapping.mid(eq + 1);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // The options come before the application, so that --help, --version and
    // a wrong option are answered on a terminal without a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Interface program for digital multimeters"));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption family(
        QStringLiteral("family"),
        QStringLiteral("The meter family to decode: tarvo, mesko or dralin (default: the one "
                       "chosen last time, else tarvo)."),
        QStringLiteral("family"));
    const QCommandLineOption port(
        QStringLiteral("port"),
        QStringLiteral("COM N (1 to 4) opens DEVICE instead of /dev/ttyUSB, /dev/ttyACM or "
                       "/dev/ttyS N-1."),
        QStringLiteral("N=DEVICE"));
    const QCommandLineOption connect(
        QStringLiteral("connect"),
        QStringLiteral("Start with the serial link of COM1 on, as \"COM Connection\" does."));
    const QCommandLineOption verbose(
        QStringLiteral("verbose"),
        QStringLiteral("Log what the program does (frames turned away, the ports, HID devices, "
                       "data files, the journal) to standard error."));
    for (const QCommandLineOption* o : {&help, &version, &family, &port, &connect, &verbose})
        parser.addOption(*o);
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "tarvometer: %s (tarvometer --help for usage)\n",
                     parser.errorText().toLocal8Bit().constData());
        return 2;
    }
    if (parser.isSet(help)) {
        QString text = parser.helpText();
        text.replace(QStringLiteral("<executable_name>"), QStringLiteral("tarvometer"));
        std::fputs(text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("tarvometer %s\n", DMM_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "tarvometer: unexpected argument '%s' (tarvometer --help for usage)\n",
                     parser.positionalArguments().first().toLocal8Bit().constData());
        return 2;
    }

    PortMap ports;
    if (!ParsePorts(parser.values(port), ports)) {
        std::fputs("tarvometer: --port takes N=DEVICE with N from 1 to 4\n", stderr);
        return 2;
    }
    std::optional<dmm::Family> chosen;
    if (parser.isSet(family)) {
        chosen = dmm::FamilyByName(parser.value(family).toStdString());
        if (!chosen) {
            std::fputs("tarvometer: --family takes tarvo, mesko or dralin\n", stderr);
            return 2;
        }
    }

    if (parser.isSet(verbose))
        dmm::EnableVerboseLogging();
    dmm::app::Application app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(DMM_VERSION));
    if (!chosen)
        chosen = dmm::app::TFCOMM::RememberedFamily();
    // No title of our own: window captions show nothing after theirs.
    QApplication::setApplicationName(QString());
    QApplication::setApplicationDisplayName(QString());

    dmm::app::TFCOMM FCOMM;
    FCOMM.comm2().setPortNameResolver([ports](dmm::TComPortNumber port) {
        const QString& given = ports[size_t(port)];
        return given.isEmpty() ? dmm::DefaultPortName(port) : given;
    });
    if (chosen)
        FCOMM.SetMeterFamily(*chosen);
    TForm1 Form1;
    FCOMM.show();
    // Over the shown window: readings a crash left unsaved are offered back.
    FCOMM.StartJournal(dmm::JournalDirectory());
    // After the journal, so that what is recorded is journalled and a port
    // that cannot be opened is told over the window, as for a click.
    if (parser.isSet(connect)) {
        if (auto* button = FCOMM.findChild<QPushButton*>(QStringLiteral("COMCon")))
            button->click();
    }
    return app.exec();
}
