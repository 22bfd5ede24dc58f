// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shared by the HID tests: an application object whose notify catches what
// an event handler lets escape, as the window's general error handler does,
// and an event loop that runs until a condition holds.

#include <QCoreApplication>
#include <functional>
#include <string>

namespace dmm::test {

class HidTestApp : public QCoreApplication {
  public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject* receiver, QEvent* event) override;

    // Exceptions caught in notify since the last reset, and the last one's text.
    int caught() const { return caught_; }
    const std::string& lastError() const { return lastError_; }
    void reset() {
        caught_ = 0;
        lastError_.clear();
    }

    static HidTestApp& instance() {
        return *static_cast<HidTestApp*>(QCoreApplication::instance());
    }

  private:
    int caught_ = 0;
    std::string lastError_;
};

// Runs the event loop until done() holds or timeoutMs have passed; returns
// done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 20000);

// Runs the event loop for ms milliseconds.
void RunEventLoop(int ms);

}  // namespace dmm::test
