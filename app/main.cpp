// Program entry: the application with its general error handler, the main
// window, and the empty second window that is never shown.
//
// usage: tarvometer [--port N=DEVICE]...
//   --port 1=/dev/pts/5   COM1 opens that device instead of the first of
//                         /dev/ttyUSB0, /dev/ttyACM0, /dev/ttyS0 (for a meter
//                         on an unusual adapter, or metersim's terminal)

#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdio>

#include "app/error_handler.h"
#include "app/fcomm.h"
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

bool ParsePorts(const QStringList& args, PortMap& ports) {
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg != QStringLiteral("--port") || i + 1 >= args.size())
            return false;
        const QString& mapping = args[++i];
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
    dmm::app::Application app(argc, argv);
    // No title of our own: window captions show nothing after theirs.
    QApplication::setApplicationName(QString());
    QApplication::setApplicationDisplayName(QString());

    PortMap ports;
    if (!ParsePorts(QCoreApplication::arguments(), ports)) {
        std::fputs("usage: tarvometer [--port N=DEVICE]...  (N is 1 to 4: COM1 to COM4)\n", stderr);
        return 2;
    }

    dmm::app::TFCOMM FCOMM;
    FCOMM.comm2().setPortNameResolver([ports](dmm::TComPortNumber port) {
        const QString& given = ports[size_t(port)];
        return given.isEmpty() ? dmm::DefaultPortName(port) : given;
    });
    TForm1 Form1;
    FCOMM.show();
    // Over the shown window: readings a crash left unsaved are offered back.
    FCOMM.StartJournal(dmm::JournalDirectory());
    return app.exec();
}
