// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The program's general error handler. An exception that escapes an event
// handler ends that handler only: its text is shown in a message box and the
// program goes on with the next event. Errors never pile up as a stack of
// modal boxes: while one box is open, later errors update it to show the
// latest text and how many more errors came meanwhile.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QString>

namespace dmm::app {

// A message box's title as it is to be shown. Qt hands an empty window title
// to the window manager as the program's name; a box meant to have no title
// gets a single blank instead, which shows as an empty title bar.
QString BoxTitle(const QString& title);

class ErrorHandler : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    ~ErrorHandler() override;

    // Shows an error: opens the box, or updates the one already open.
    void report(const QString& text);

    // The open box, or null.
    QMessageBox* box() const { return box_; }
    // Errors that came while the box was open, beyond the first.
    int pendingCount() const { return pending_; }
    // Every error reported since start.
    long long reportedCount() const { return reported_; }

    // "(3 more errors)"; empty for none.
    static QString MoreErrorsText(int count);

  private:
    void boxClosed();

    QPointer<QMessageBox> box_;
    int pending_ = 0;
    long long reported_ = 0;
};

// Hands the exception being handled to the running application's error
// handler. Call it inside a catch block; with no handler of ours (another
// application object) the exception goes on up.
void ReportCurrentException();

// Runs one event handler of ours: an exception ends the handler and goes to
// the general error handler right here, rather than unwinding through the
// toolkit's own frames on its way to notify.
template <class F>
void RunHandler(F&& handler) {
    try {
        handler();
    } catch (...) {
        ReportCurrentException();
    }
}

// The application object: every event passes through notify, where the
// general error handler catches what an event handler let escape.
class Application : public QApplication {
    Q_OBJECT
  public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    ErrorHandler& errors() { return errors_; }

    // The running application's error handler, or null when the application
    // object is not ours.
    static ErrorHandler* Errors();

  private:
    ErrorHandler errors_;
};

}  // namespace dmm::app
