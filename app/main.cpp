// Program entry: the application with its general error handler, the main
// window, and the empty second window that is never shown.

#include <QWidget>

#include "app/error_handler.h"
#include "app/fcomm.h"

namespace {

class TForm1 : public QWidget {
  public:
    TForm1() {
        setObjectName(QStringLiteral("Form1"));
        setWindowTitle(QStringLiteral("Form1"));
        resize(696, 480);
    }
};

}  // namespace

int main(int argc, char** argv) {
    dmm::app::Application app(argc, argv);
    // No title of our own: window captions show nothing after theirs.
    QApplication::setApplicationName(QString());
    QApplication::setApplicationDisplayName(QString());

    dmm::app::TFCOMM FCOMM;
    TForm1 Form1;
    FCOMM.show();
    return app.exec();
}
