// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/error_handler.h"

#include <QMessageBox>
#include <exception>

namespace dmm::app {

QString BoxTitle(const QString& title) {
    return title.isEmpty() ? QStringLiteral(" ") : title;
}

ErrorHandler::~ErrorHandler() {
    delete box_.data();
}

QString ErrorHandler::MoreErrorsText(int count) {
    if (count <= 0)
        return {};
    return count == 1 ? QStringLiteral("(1 more error)")
                      : QStringLiteral("(%1 more errors)").arg(count);
}

void ErrorHandler::report(const QString& text) {
    ++reported_;
    if (box_) {
        ++pending_;
        box_->setText(text);
        box_->setInformativeText(MoreErrorsText(pending_));
        return;
    }
    pending_ = 0;
    // The application title is empty, and so is the box's.
    auto* box = new QMessageBox(QMessageBox::Critical, BoxTitle(QString()), text, QMessageBox::Ok,
                                QApplication::activeWindow());
    box->setObjectName(QStringLiteral("ErrorBox"));
    box->setWindowModality(Qt::ApplicationModal);
    connect(box, &QMessageBox::finished, this, &ErrorHandler::boxClosed);
    box_ = box;
    // Not exec(): the handler that failed has already ended, and a nested
    // event loop here would stack one box per error while errors keep coming.
    box->show();
}

void ErrorHandler::boxClosed() {
    if (box_)
        box_->deleteLater();
    box_ = nullptr;
    pending_ = 0;
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportCurrentException();
    }
    return false;
}

void ReportCurrentException() {
    ErrorHandler* errors = Application::Errors();
    if (!errors)
        throw;
    try {
        throw;
    } catch (const std::exception& error) {
        errors->report(QString::fromUtf8(error.what()));
    } catch (...) {
        errors->report(QStringLiteral("Unknown error"));
    }
}

ErrorHandler* Application::Errors() {
    auto* app = qobject_cast<Application*>(QCoreApplication::instance());
    return app ? &app->errors() : nullptr;
}

}  // namespace dmm::app
