// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The main window driven through its widgets, found by their design names,
// on the offscreen platform. Questions, notices and file dialogs are answered
// by a script instead of modal boxes. Shared by the window's test files; each
// of them runs under the program's own application object (WindowTestMain).

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFocusEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QValueAxis>
#include <deque>
#include <functional>
#include <set>
#include <stdexcept>
#include <vector>

#include "app/error_handler.h"
#include "app/fcomm.h"
#include "app/lcd_widgets.h"
#include "decode/model_config.h"
#include "decode/text_rules.h"
#include "link/hid_fake_backend.h"
#include "link/serial_port_driver.h"
#include "record/reading_table_model.h"
#include "support/fake_cable.h"

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace dmm::app {

using Bytes = std::vector<uint8_t>;

// A Tarvo frame as the serial line delivers it: the LF that ended the
// previous frame and opens this one, nine data bytes with the fields in their
// low digits, and the CR.
inline Bytes TarvoLine(std::string_view nine) {
    Bytes b = {0x0A};
    for (char c : nine)
        b.push_back(uint8_t(0x30 | HexValue(c)));
    b.push_back(0x0D);
    return b;
}

using test::Cable;
using test::kCablePath;

// A Tarvo frame as the cable delivers it: eight meter bytes, then the last
// one with CR LF, then an idle report that ends the frame. Byte 0 of each
// report is its ID.
inline std::vector<Bytes> CableFrame(std::string_view nine) {
    Bytes meter;
    for (char c : nine)
        meter.push_back(uint8_t(0x30 | HexValue(c)));
    meter.push_back(0x0D);
    meter.push_back(0x0A);
    Bytes first = {0x00, 0xF8};
    first.insert(first.end(), meter.begin(), meter.begin() + 8);
    Bytes second = {0x00, 0xF3};
    second.insert(second.end(), meter.begin() + 8, meter.end());
    return {first, second, Bytes{0x00, 0xF0}};
}

struct Message {
    QString title;
    QString text;
    WindowDialogs::Icon icon;
};

// What the dialogs are asked and what they answer.
struct DialogScript {
    std::deque<bool> answers;  // Yes (true) or No, in order
    std::vector<QString> questions;
    std::vector<Message> messages;
    std::vector<QString> notices;  // title|text of the notices that do not wait
    QString saveName;
    QString openName;
    QString pictureName;
    std::vector<size_t> previewedRows;    // the table's rows at each preview
    std::function<void()> duringPreview;  // runs while the preview is "open"
};

class ScriptedDialogs : public WindowDialogs {
  public:
    explicit ScriptedDialogs(DialogScript& script) : script_(script) {}

    bool ask(QWidget*, const QString& title, const QString& text) override {
        script_.questions.push_back(title + u'|' + text);
        if (script_.answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text.toStdString();
            return false;
        }
        const bool yes = script_.answers.front();
        script_.answers.pop_front();
        return yes;
    }
    void tell(QWidget*, const QString& title, const QString& text, Icon icon) override {
        script_.messages.push_back({title, text, icon});
    }
    void notice(QWidget*, const QString& title, const QString& text) override {
        script_.notices.push_back(title + u'|' + text);
    }
    QString saveFileName(QWidget*) override { return script_.saveName; }
    QString openFileName(QWidget*) override { return script_.openName; }
    QString savePictureName(QWidget*) override { return script_.pictureName; }
    void previewReport(QWidget*, const ReadingTable& table) override {
        script_.previewedRows.push_back(table.size());
        if (script_.duringPreview)
            script_.duringPreview();
    }

  private:
    DialogScript& script_;
};

inline ErrorHandler& Errors() {
    ErrorHandler* errors = Application::Errors();
    if (!errors)
        throw std::logic_error("the tests run under the program's own application object");
    return *errors;
}

inline void CloseErrorBox() {
    if (QMessageBox* box = Errors().box())
        box->done(QMessageBox::Ok);
    QCoreApplication::processEvents();
}

// Delivers a call as an event, the way the program's own handlers run, so a
// failure goes through the general error handler.
template <class F>
void RunAsEvent(QObject* context, F call) {
    QMetaObject::invokeMethod(context, call, Qt::QueuedConnection);
    QCoreApplication::processEvents();
}

// Runs the event loop until done() holds or ms have passed; false on time-out.
inline bool WaitFor(const std::function<bool()>& done, int ms = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Runs everything posted to the window thread's event loop so far (queued
// calls are served in order, so a call posted last runs after them all); the
// condition to wait on when a test must see that nothing more comes.
inline bool ServePosted() {
    bool served = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&served] { served = true; }, Qt::QueuedConnection);
    return WaitFor([&served] { return served; });
}

inline void Fire(QTimer* timer) {
    ASSERT_TRUE(timer);
    QMetaObject::invokeMethod(timer, "timeout");
}

class Window : public ::testing::Test {
  protected:
    Window() {
        w.setDialogs(std::make_unique<ScriptedDialogs>(script));
        // No test reaches a real serial port.
        w.comm2().setPortNameResolver(
            [](TComPortNumber) { return QStringLiteral("/nonexistent/ttyS0"); });
        // Each chunk fed is on the display when the feeding returns; the
        // display's pace with a live line has tests of its own.
        w.setLcdRefreshInterval(0);
    }
    ~Window() override { CloseErrorBox(); }

    template <class T = QWidget>
    T* find(const char* name) {
        T* found = w.findChild<T*>(QString::fromLatin1(name));
        if (!found)
            ADD_FAILURE() << "no " << name;
        return found;
    }
    // The chart's series and axes are its own children, not the window's.
    template <class T>
    T* chartPart(const char* name) {
        T* found = find<QChartView>("Chtshow")->chart()->findChild<T*>(QString::fromLatin1(name));
        if (!found)
            ADD_FAILURE() << "no " << name;
        return found;
    }
    QString caption(const char* name) { return find<LcdLabel>(name)->caption(); }
    bool shown(const char* name) { return !find(name)->isHidden(); }

    void feed(const Bytes& b) { w.HTarvoRData(b.data(), int(b.size())); }
    void frame(std::string_view nine) { feed(TarvoLine(nine)); }
    void syncGrid() { Fire(find<QTimer>("GridTimer")); }
    int gridRows() { return find<QTableView>("DBGrid1")->model()->rowCount(); }
    QString sep() { return QString::fromStdString(w.meterState().DecimalSep); }
    QString field(size_t row, Field f) {
        const std::string_view t = w.table().text(row, f);
        return QString::fromUtf8(t.data(), qsizetype(t.size()));
    }

    DialogScript script;
    // The window sees scripted HID devices, never the machine's own.
    std::shared_ptr<FakeHidBackend> hid = std::make_shared<FakeHidBackend>();
    TFCOMM w{nullptr, hid};
};

// The test program's main: the program's own application object, so that
// errors reach the general error handler as they do in the program.
int WindowTestMain(int argc, char** argv);

}  // namespace dmm::app
