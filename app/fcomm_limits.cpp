// SPDX-License-Identifier: GPL-3.0-or-later
// The limit boxes: their key filter and the delayed check that puts back the
// last accepted text one second after the last change.

#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>

#include "app/fcomm.h"
#include "decode/limit_rules.h"

namespace dmm::app {
namespace {

// True when the limit filter drops the key.
bool LimitKeyDropped(const QKeyEvent& event, const QLineEdit& box, const QLineEdit& separator,
                     const std::string& decimalSep) {
    const char32_t typed = TypedCharacter(event);
    if (typed == 0)
        return false;
    return LimitKeyPress(typed, box.text().toStdString(), separator.text().toStdString(),
                         decimalSep) != KeyAction::Accept;
}

}  // namespace

bool TFCOMM::T1HIKeyPress(QKeyEvent* event) {
    return LimitKeyDropped(*event, *T1HI, *systeminfomation, state_.DecimalSep);
}

bool TFCOMM::T1LOKeyPress(QKeyEvent* event) {
    return LimitKeyDropped(*event, *T1LO, *systeminfomation, state_.DecimalSep);
}

void TFCOMM::T1HIChange() {
    Timer3->start();
}

void TFCOMM::T1LOChange() {
    Timer4->start();
}

void TFCOMM::Timer3Timer() {
    const QString text = QString::fromStdString(
        LimitDelayedCheck(T1HI->text().toStdString(), LastGoodHigh_, state_.DecimalSep));
    if (T1HI->text() != text)
        T1HI->setText(text);
    Timer3->stop();
}

void TFCOMM::Timer4Timer() {
    const QString text = QString::fromStdString(
        LimitDelayedCheck(T1LO->text().toStdString(), LastGoodLow_, state_.DecimalSep));
    if (T1LO->text() != text)
        T1LO->setText(text);
    Timer4->stop();
}

}  // namespace dmm::app
